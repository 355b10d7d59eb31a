#!/usr/bin/env bash
# vrdconvert on a CT-like 512 x 512 x 256 float32 volume (256 MiB of voxels):
# wall time, MB/s of voxel data (1 MB = 10^6 bytes) and peak resident memory
# (/usr/bin/time's %M) of each conversion, with the default threads, beside
# MRtrix3's mrconvert on the nearest conversion it has (it reads neither vrd
# nor NRRD, so it starts from the plain .nii). Usage: bench/convert.sh;
# BENCH_DIR sets where the volumes go (default a temporary directory,
# removed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target vrdconvert vrd_bench_volume >/dev/null
bin=build/bin
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"

nx=512 ny=512 nz=256
bytes=$((nx * ny * nz * 4))
[ -f "$dir/a.vrd" ] || $bin/vrd_bench_volume "$dir/a.vrd" $nx $ny $nz zlib little 1
$bin/vrdconvert "$dir/a.vrd" "$dir/a.nii" 2>/dev/null
$bin/vrdconvert "$dir/a.vrd" "$dir/a.nii.gz" 2>/dev/null

# One timed run: name, then the command; prints seconds, MB/s, peak MiB and output size.
measure() {
  local name=$1 out=${*: -1}
  shift
  /usr/bin/time -f '%e %M' -o "$dir/time" "$@" >/dev/null 2>"$dir/err" || { cat "$dir/err"; exit 1; }
  read -r seconds kib <"$dir/time"
  awk -v n="$name" -v s="$seconds" -v k="$kib" -v b=$bytes -v o="$(stat -c %s "$out")" \
    'BEGIN {printf "%-34s %7.2f s %7.0f MB/s %7.1f MiB %9.1f MB\n", n, s, b / (s > 0 ? s : 0.01) / 1e6, k / 1024, o / 1e6}'
}

printf '%-34s %9s %12s %11s %12s\n' conversion time rate "peak RSS" output
measure "vrdconvert vrd -> nii.gz" $bin/vrdconvert "$dir/a.vrd" "$dir/o.nii.gz"
measure "vrdconvert vrd -> nrrd (gzip)" $bin/vrdconvert "$dir/a.vrd" "$dir/o.nrrd"
measure "vrdconvert vrd -> nii" $bin/vrdconvert "$dir/a.vrd" "$dir/o.nii"
measure "vrdconvert nii -> vrd (zlib)" $bin/vrdconvert "$dir/a.nii" "$dir/o.vrd"
measure "vrdconvert nii.gz -> vrd (zlib)" $bin/vrdconvert "$dir/a.nii.gz" "$dir/o.vrd"
measure "vrdconvert nrrd -> vrd (zlib)" $bin/vrdconvert "$dir/o.nrrd" "$dir/o.vrd"
measure "vrdconvert nii -> nii.gz" $bin/vrdconvert "$dir/a.nii" "$dir/o.nii.gz"
measure "vrdconvert nii.gz -> nii" $bin/vrdconvert "$dir/a.nii.gz" "$dir/o.nii"
# A 4-D file of two such volumes (a.nii's little-endian header with dim[0] 4
# and dim[4] 2, then the data twice): the second volume is read, the first
# skipped, which a plain file seeks over.
{ head -c 40 "$dir/a.nii"; printf '\004\000'; dd if="$dir/a.nii" bs=1 skip=42 count=6 status=none
  printf '\002\000'; tail -c +51 "$dir/a.nii"; tail -c +353 "$dir/a.nii"; } >"$dir/b.nii"
measure "vrdconvert nii 4-D --volume 1 -> vrd" $bin/vrdconvert --raw --volume 1 "$dir/b.nii" "$dir/o.vrd"
measure "vrdconvert vrd -> nii (NIfTI-2)" $bin/vrdconvert --nifti2 "$dir/a.vrd" "$dir/o.nii"
if command -v mrconvert >/dev/null; then
  measure "mrconvert nii -> nii.gz" mrconvert -quiet -force "$dir/a.nii" "$dir/m.nii.gz"
  measure "mrconvert nii.gz -> nii" mrconvert -quiet -force "$dir/a.nii.gz" "$dir/m.nii"
else
  echo "mrconvert not installed (Debian package mrtrix3): no comparison"
fi
