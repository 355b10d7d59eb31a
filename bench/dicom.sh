#!/usr/bin/env bash
# vrdconvert on a CT-like DICOM series of 512 files of 512 x 512 int16
# values (256 MiB of voxels, written by pydicom: bench/make_dicom_series.py)
# beside dcm2niix converting the same series to an uncompressed .nii: wall
# time, MB/s of voxel data (1 MB = 10^6 bytes) and peak resident memory
# (/usr/bin/time's %M), median of RUNS runs. Two series: 12-bit unsigned
# stored values (the type follows from the tags) and 16-bit signed ones
# (their values are read once more to choose the type); then vrdconvert's
# peak memory for 64 slices, to show that it does not grow with the count.
# Usage: bench/dicom.sh [RUNS] (default 3); BENCH_DIR keeps the series.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target vrdconvert >/dev/null
bin=build/bin
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"
for s in 512:12 512:16 64:12; do
  [ -d "$dir/ct${s%:*}-${s#*:}" ] || /usr/bin/python3 bench/make_dicom_series.py "$dir/ct${s%:*}-${s#*:}" ${s%:*} ${s#*:}
done

# name, voxel bytes, then the command: median seconds of $runs runs, MB/s, the largest peak RSS.
measure() {
  local name=$1 bytes=$2
  shift 2
  : >"$dir/times"
  for _ in $(seq "$runs"); do
    rm -rf "$dir/nii" && mkdir "$dir/nii"
    /usr/bin/time -f '%e %M' -a -o "$dir/times" "$@" >/dev/null 2>"$dir/err" || { cat "$dir/err"; exit 1; }
  done
  sort -n "$dir/times" | awk -v n="$name" -v b="$bytes" '{s[NR] = $1; if ($2 > m) m = $2}
    END {t = s[int((NR + 1) / 2)]; printf "%-40s %7.2f s %7.0f MB/s %7.1f MiB\n", n, t, b / (t > 0 ? t : 0.01) / 1e6, m / 1024}'
}

big=$((512 * 512 * 512 * 2)) small=$((512 * 512 * 64 * 2))
printf '%-40s %9s %12s %11s\n' conversion "time" rate "peak RSS"
for bits in 12 16; do
  measure "dcm2niix (${bits}-bit) -> .nii" $big dcm2niix -z n -f s -o "$dir/nii" "$dir/ct512-$bits"
  measure "vrdconvert --raw (${bits}-bit) -> vrd" $big $bin/vrdconvert --raw "$dir/ct512-$bits" "$dir/o.vrd"
  measure "vrdconvert (${bits}-bit) -> vrd (zlib)" $big $bin/vrdconvert "$dir/ct512-$bits" "$dir/o.vrd"
done
measure "vrdconvert --raw, 64 slices" $small $bin/vrdconvert --raw "$dir/ct64-12" "$dir/o.vrd"
