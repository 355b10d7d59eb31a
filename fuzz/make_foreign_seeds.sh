#!/usr/bin/env bash
# Writes the seed corpus of fuzz_foreign: NIfTI-1 and NRRD files that
# vrdconvert writes from small volumes of several types and grids, and NRRD
# files teem's unu re-encodes (big-endian, raw, ascii), each behind the
# target's selector byte (0 NIfTI, 1 NRRD).
# Usage: fuzz/make_foreign_seeds.sh [BIN] [OUTDIR]   (defaults build/bin, fuzz/corpus/foreign)
#        fuzz/make_foreign_seeds.sh nhdr_seeds OUTDIR  (the detached-header seeds alone)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/bin} out=${2:-fuzz/corpus/foreign}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"
seed() { # selector file
  printf "\\x0$1" | cat - "$2" >"$tmp/seed"
  cp "$tmp/seed" "$out/$(sha1sum "$tmp/seed" | cut -c1-40)"
}
# Headers that name a data file: the target writes its input as in.nrrd, so
# a header can take its data from itself past line or byte skips; the other
# names must be refused (elsewhere, devices, standard input, LIST forms).
# Repeated fields too. Usage alone: nhdr_seeds OUTDIR (no build needed).
nhdr_seeds() {
  local head='NRRD0004\ntype: uchar\ndimension: 3\nsizes: 2 2 1\n' f
  for f in 'encoding: raw\ndata file: in.nrrd\nline skip: 6\n' \
           'encoding: raw\ndata file: in.nrrd\nbyte skip: 12\n' \
           'encoding: raw\ndatafile: in.nrrd\nbyte skip: -1\n' \
           'encoding: ascii\ndata file: in.nrrd\nline skip: 7\n\n1 2\n3 4\n' \
           'encoding: gzip\ndata file: in.nrrd\nlineskip: 1\nbyteskip: 1000000000000000\n' \
           'encoding: raw\ndata file: in.nrrd\nline skip: 1000000000000\n' \
           'encoding: raw\ndata file: ./in.nrrd\n' \
           'encoding: raw\ndata file: ../in.nrrd\n' \
           'encoding: raw\ndata file: /etc/passwd\n' \
           'encoding: raw\ndata file: /dev/zero\n' \
           'encoding: raw\ndata file: -\n' \
           'encoding: raw\ndata file: LIST\nin.nrrd\n' \
           'encoding: raw\ndata file: in%%03d.raw 1 4 1\n' \
           'encoding: raw\ndata file: in.nrrd\ndata file: in.nii\n' \
           'encoding: raw\nencoding: raw\n\nABCD' \
           'encoding: raw\nline skip: 1\nline skip: 1\n\nABCD'; do
    printf "\\x01$head$f" >"$tmp/seed"
    cp "$tmp/seed" "$1/$(sha1sum "$tmp/seed" | cut -c1-40)"
  done
}
if [ "${1:-}" = nhdr_seeds ]; then nhdr_seeds "$2"; exit 0; fi

"$bin/vrd_phantom" "$tmp/p.vrd" 6 5 4
for t in uint8:1 int16:2 float32:4 float64:8; do
  type=${t%:*}
  head -c $((6 * 5 * 4 * ${t#*:})) /dev/urandom >"$tmp/$type.raw"
  "$bin/vrdconvert" --size 6 5 4 --type $type "$tmp/$type.raw" "$tmp/$type.vrd" 2>/dev/null
done
for v in "$tmp"/*.vrd; do
  name=$(basename "$v" .vrd)
  "$bin/vrdconvert" "$v" "$tmp/$name.nii" 2>/dev/null
  "$bin/vrdconvert" "$v" "$tmp/$name.nii.gz" 2>/dev/null
  "$bin/vrdconvert" "$v" "$tmp/$name.nrrd" 2>/dev/null
  "$bin/vrdconvert" --encoding raw "$v" "$tmp/$name-raw.nrrd" 2>/dev/null
  seed 0 "$tmp/$name.nii"; seed 0 "$tmp/$name.nii.gz"; seed 1 "$tmp/$name.nrrd"; seed 1 "$tmp/$name-raw.nrrd"
done
if command -v teem-unu >/dev/null; then
  for e in "-e raw -en big" "-e ascii" "-e gzip -en big"; do
    teem-unu save -f nrrd $e -i "$tmp/p.nrrd" -o "$tmp/unu.nrrd"
    # unu's two preamble comment lines are dropped by the reader anyway.
    sed -i -e '/^# Complete NRRD/d' -e '/^# http:\/\/teem/d' "$tmp/unu.nrrd"
    seed 1 "$tmp/unu.nrrd"
  done
fi
nhdr_seeds "$out"
echo "seeds in $out: $(ls "$out" | wc -l)"
