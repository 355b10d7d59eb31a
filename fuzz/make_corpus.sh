#!/usr/bin/env bash
# Writes the seed corpus of the fuzz targets with the library's own writer.
# Usage: fuzz/make_corpus.sh [OUTDIR]   (default fuzz/corpus; makes
# OUTDIR/header, OUTDIR/slices, OUTDIR/program and OUTDIR/inflate)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-fuzz/corpus}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"${CXX:-c++}" -std=c++17 -O1 -Wall -Wextra -I. fuzz/make_seeds.cpp vrd/*.cpp -lz -ldeflate -pthread -o "$tmp/make_seeds"
"$tmp/make_seeds" "$out"
echo "seeds in $out: $(ls "$out"/header | wc -l) header, $(ls "$out"/slices | wc -l) slices, $(ls "$out"/program | wc -l) program, $(ls "$out"/inflate | wc -l) inflate"
