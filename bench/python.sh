#!/usr/bin/env bash
# The Python package's figures, each the median of RUNS runs (default 3),
# every run in a fresh /usr/bin/python3:
#  1. vrd.read of the 256 MiB zlib float32 volume (512 x 512 x 256) against
#     nibabel reading the same values from .nii.gz (np.asanyarray(img.dataobj),
#     the file made by vrdconvert), with the peak resident memory of each;
#  2. vrd.open(p)[z] of the middle slice of a 1 GiB float32 volume (512 x 512 x
#     1024, zlib and raw): time, and the bytes the process read (rchar of
#     /proc/self/io) against the length fields plus that one block;
#  3. vrd.write of the values volmap writes for the 256 MiB volume against
#     volmap's own throughput (MB/s of float32 data), with each VRD_DEFLATE
#     setting, and the write's peak memory beyond the array.
# Usage: bench/python.sh [RUNS]; BENCH_DIR keeps the volumes.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target volmap vrdconvert vrd_bench_volume vrd_python >/dev/null
bin=build/bin
py=/usr/bin/python3
export PYTHONPATH=$PWD/build/python VRD_PROGRESS=0
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"

[ -f "$dir/a.vrd" ] || $bin/vrd_bench_volume "$dir/a.vrd" 512 512 256 zlib little 1
[ -f "$dir/a.nii.gz" ] || $bin/vrdconvert "$dir/a.vrd" "$dir/a.nii.gz"
[ -f "$dir/big_zlib.vrd" ] || $bin/vrd_bench_volume "$dir/big_zlib.vrd" 512 512 1024 zlib little 3
[ -f "$dir/big_none.vrd" ] || $bin/vrd_bench_volume "$dir/big_none.vrd" 512 512 1024 none little 3

# The median line (by its first field) of RUNS runs of a command.
median() {
  for ((i = 0; i < runs; i++)); do "$@"; done | sort -n | awk '{a[NR] = $0} END {print a[int((NR + 1) / 2)]}'
}

echo "1. whole volume, 256 MiB float32 (seconds, peak RSS MiB, array MiB)"
nib=$(median $py bench/python.py nibabel "$dir/a.nii.gz")
mine=$(median $py bench/python.py read "$dir/a.vrd")
echo "   nibabel .nii.gz  $nib"
echo "   vrd.read         $mine"
awk -v n="$nib" -v m="$mine" 'BEGIN {split(n, a); split(m, b); printf "   vrd.read is %.1fx faster; peak memory %.0f MiB beyond the array\n", a[1] / b[1], b[2] - b[3]}'

echo "2. one middle slice of a 1 GiB volume (ms, bytes read, length fields + block)"
for c in zlib none; do
  echo "   $c  $(median $py bench/python.py slice "$dir/big_$c.vrd" 512)"
done

echo "3. writing float32 (seconds, MB/s, for vrd.write also peak MiB beyond the array)"
for setting in zlib libdeflate zlib:1; do
  start=$(date +%s%N)
  VRD_DEFLATE=$setting $bin/volmap "$dir/a.vrd" "$dir/mapped.vrd" 0 40 80 700
  end=$(date +%s%N)
  volmap=$(awk -v t=$(((end - start) / 1000)) 'BEGIN {printf "%.3f %.0f", t / 1e6, 512 * 512 * 256 * 4 / (t / 1e6) / 1e6}')
  write=$(median $py bench/python.py write "$dir/mapped.vrd" "$dir/written.vrd" "$setting")
  cmp -s "$dir/mapped.vrd" "$dir/written.vrd" && same="same bytes" || same="bytes differ"
  echo "   $setting: volmap $volmap  vrd.write $write  ($same)"
  awk -v v="$volmap" -v w="$write" 'BEGIN {split(v, a); split(w, b); printf "     vrd.write / volmap throughput: %.2f\n", b[2] / a[2]}'
done
