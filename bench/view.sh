#!/usr/bin/env bash
# vrdview on a CT-like 512 x 512 x 1024 float32 zlib volume (1 GiB of
# voxels), in headless chromium: first slice on screen after the page opens,
# slider and window-handle changes until the plane shows them (the page's
# performance measures), and the server's peak resident memory.
# Usage: bench/view.sh; BENCH_DIR sets where the volume goes (default a
# temporary directory, removed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target vrdview vrd_bench_volume >/dev/null
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"
[ -f "$dir/big.vrd" ] || build/bin/vrd_bench_volume "$dir/big.vrd" 512 512 1024 zlib little 1
/usr/bin/python3 -B bench/view.py build/bin/vrdview "$dir/big.vrd"
