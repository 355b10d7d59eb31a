#!/usr/bin/env bash
# vrdconvert on a 1 GiB TIFF stack (512 ImageJ pages of 1024 x 1024 uint16,
# written by tifffile page by page): the stack to a raw vrd file beside `cp`
# of the stack, the stack to headerless raw data (TIFF reading alone), and
# the vrd file back to a TIFF stack. Each run starts from
# the page cache with no output file; the runs alternate and the median
# wall time of RUNS (default 5) is printed with the largest peak resident
# memory (/usr/bin/time's %M) and the speed relative to cp.
# Usage: bench/tiff.sh [RUNS]; BENCH_DIR sets where the files go (default a
# temporary directory, removed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target vrdconvert >/dev/null
convert=$PWD/build/bin/vrdconvert
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"
cd "$dir"

if [ ! -f stack.tif ]; then
  /usr/bin/python3 - <<'EOF'
import numpy as np
import tifffile

nx, ny, nz = 1024, 1024, 512
def pages():
    rng = np.random.default_rng(1)
    base = (np.add.outer(np.arange(ny), np.arange(nx)) % 4096).astype(np.uint16)
    for _ in range(nz):
        yield base + rng.integers(0, 64, size=(ny, nx), dtype=np.uint16)
tifffile.imwrite("stack.tif", pages(), shape=(nz, ny, nx), dtype=np.uint16, imagej=True,
                 resolution=(1 / 0.65, 1 / 0.65), metadata={"spacing": 2.0, "unit": "um", "axes": "ZYX"})
EOF
fi
bytes=$(stat -c %s stack.tif)
cat stack.tif >/dev/null

# One timed run: its label, then the command; appends "seconds KiB" to label's file.
timed() {
  local label=$1
  shift
  /usr/bin/time -f '%e %M' -o time.txt "$@" >/dev/null 2>err.txt || { cat err.txt; exit 1; }
  cat time.txt >>"$label.times"
}
rm -f ./*.times
"$convert" --raw stack.tif back.vrd 2>/dev/null
for ((i = 0; i < runs; ++i)); do
  rm -f copy.tif out.vrd out.tif out.raw
  timed cp cp stack.tif copy.tif
  rm -f copy.tif
  timed tiff-to-vrd "$convert" --raw stack.tif out.vrd
  rm -f out.vrd
  timed vrd-to-tiff "$convert" back.vrd out.tif
  rm -f out.tif
  timed tiff-to-raw "$convert" stack.tif out.raw
  rm -f out.raw
done

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
cpTime=$(cut -d' ' -f1 cp.times | median)
printf '%-22s %9s %10s %11s %9s\n' run "median" rate "peak RSS" "vs cp"
for label in cp tiff-to-vrd tiff-to-raw vrd-to-tiff; do
  t=$(cut -d' ' -f1 $label.times | median)
  kib=$(cut -d' ' -f2 $label.times | sort -n | tail -1)
  awk -v l=$label -v t="$t" -v k="$kib" -v b="$bytes" -v c="$cpTime" \
    'BEGIN {printf "%-22s %7.2f s %6.0f MB/s %7.1f MiB %8.2fx\n", l, t, b / (t > 0 ? t : 0.01) / 1e6, k / 1024, c / (t > 0 ? t : 0.01)}'
done
