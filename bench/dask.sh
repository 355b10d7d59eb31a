#!/usr/bin/env bash
# Windowing a CT-like 512 x 512 x 1024 float32 zlib volume (1 GiB of
# voxels) with vrd.to_dask, map_blocks(vrd.window) and vrd.store on a Dask
# LocalCluster of 1 and of 2 worker processes (one thread each), beside
# volmap (default threads) on the same volume: wall time and MB/s of voxel
# data (1 MB = 10^6 bytes). Then the calling process's peak resident memory
# (its own, not the workers') for 256 and 1024 slices of the same size.
# Usage: bench/dask.sh; BENCH_DIR sets where the volumes go (default a
# temporary directory, removed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target volmap vrd_bench_volume vrd_python >/dev/null
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"
for nz in 256 1024; do
  [ -f "$dir/a$nz.vrd" ] || build/bin/vrd_bench_volume "$dir/a$nz.vrd" 512 512 $nz zlib little 1
done
PYTHONPATH="$PWD/build/python${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 bench/dask_window.py build/bin "$dir"
