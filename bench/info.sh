#!/usr/bin/env bash
# vrdinfo on a CT-like 512 x 512 x 256 float32 zlib volume (256 MiB of
# voxels) beside volmap on the same volume: wall time, MB/s of voxel data
# (1 MB = 10^6 bytes) and peak resident memory (/usr/bin/time's %M), with
# one thread and the default (one per core); then vrdinfo's peak memory on
# 64 and 256 slices of the same size, which must not grow with nz.
# Usage: bench/info.sh; BENCH_DIR sets where the volumes go (default a
# temporary directory, removed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target vrdinfo volmap vrd_bench_volume >/dev/null
bin=build/bin
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"

nx=512 ny=512
for nz in 64 256; do
  [ -f "$dir/a$nz.vrd" ] || $bin/vrd_bench_volume "$dir/a$nz.vrd" $nx $ny $nz zlib little 1
done

# One timed run: name, voxel bytes, then the command; prints seconds, MB/s and peak MiB.
measure() {
  local name=$1 bytes=$2
  shift 2
  /usr/bin/time -f '%e %M' -o "$dir/time" "$@" >/dev/null 2>"$dir/err" || { cat "$dir/err"; exit 1; }
  read -r seconds kib <"$dir/time"
  awk -v n="$name" -v s="$seconds" -v k="$kib" -v b="$bytes" \
    'BEGIN {printf "%-36s %7.2f s %7.0f MB/s %8.1f MiB\n", n, s, b / (s > 0 ? s : 0.01) / 1e6, k / 1024}'
}

bytes=$((nx * ny * 256 * 4))
printf '%-36s %9s %12s %12s\n' run time rate "peak RSS"
for threads in 1 default; do
  if [ $threads = 1 ]; then export VRD_THREADS=1; else unset VRD_THREADS; fi
  measure "vrdinfo, $threads thread(s)" $bytes $bin/vrdinfo "$dir/a256.vrd"
  measure "vrdinfo --json --slices, $threads" $bytes $bin/vrdinfo --json --slices "$dir/a256.vrd"
  measure "volmap, $threads thread(s)" $bytes $bin/volmap "$dir/a256.vrd" "$dir/out.vrd" 0 40 80 700
done
unset VRD_THREADS
echo
for nz in 64 256; do
  measure "vrdinfo, nz $nz, default threads" $((nx * ny * nz * 4)) $bin/vrdinfo "$dir/a$nz.vrd"
done
echo "($(nproc) cores; volumes in $dir)"
