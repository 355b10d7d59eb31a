#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each once
# over its committed corpus and the regression inputs (-runs=0: replay, no
# fuzzing). Installs clang and its runtime when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVRD_BUILD_TESTS=OFF -DVRD_BUILD_FUZZ=ON >/dev/null
cmake --build build-fuzz --target fuzz_header fuzz_slices fuzz_inflate fuzz_foreign -j"$(nproc)"
for t in header slices inflate foreign; do
  dirs=()
  for d in fuzz/corpus/$t fuzz/regress/$t; do [ -d "$d" ] && dirs+=("$d"); done
  build-fuzz/bin/fuzz_$t -runs=0 -rss_limit_mb=2048 "${dirs[@]}" 2>build-fuzz/replay-$t.log ||
    { tail -40 build-fuzz/replay-$t.log >&2; exit 1; }
  echo "fuzz_$t: corpus replayed, $(grep -o 'INITED.*' build-fuzz/replay-$t.log | head -1)"
done
