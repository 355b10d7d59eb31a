#!/usr/bin/env bash
# Throughput of volmap and volcmp with one thread and with the default
# (one per core), on CT-like float32 volumes of about 256 MiB, zlib and raw.
# Prints the median over RUNS runs of MB/s of voxel data read (1 MB = 10^6
# bytes; volcmp reads two volumes) and the speedup of the default over one
# thread; then, on the zlib volumes with the default threads, each deflate
# setting (VRD_DEFLATE) with its output size; then the block inflation
# benchmark (every block through the library's decoder, one thread). Usage: bench/run.sh [RUNS] (default 5); BENCH_DIR sets where the
# volumes go (default a temporary directory, removed at the end);
# BENCH_BASELINE=DIR also runs the programs in DIR (another build's bin/) in
# the same run and prints their MB/s and this build's speed over theirs.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target volmap volcmp vrd_bench_volume vrd_bench_inflate >/dev/null
bin=build/bin
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"

nx=512 ny=512 nz=256   # 256 MiB of float32 voxels
bytes=$((nx * ny * nz * 4))
for c in zlib none; do
  [ -f "$dir/a_$c.vrd" ] || $bin/vrd_bench_volume "$dir/a_$c.vrd" $nx $ny $nz $c little 1
  [ -f "$dir/b_$c.vrd" ] || $bin/vrd_bench_volume "$dir/b_$c.vrd" $nx $ny $nz $c little 2
done

# Median wall time in seconds of RUNS runs of a command.
median() {
  for ((i = 0; i < runs; i++)); do
    local start end
    start=$(date +%s%N)
    "$@"
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
  done | sort -n | awk '{a[NR] = $1} END {m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; print m / 1e6}'
}

base=${BENCH_BASELINE:-}
if [ -n "$base" ]; then
  printf '%-7s %-5s %12s %12s %8s %14s %14s\n' program blocks "1 thread" "default" speedup "vs base 1" "vs base dflt"
else
  printf '%-7s %-5s %12s %12s %8s\n' program blocks "1 thread" "default" speedup
fi
for c in zlib none; do
  for prog in volmap volcmp; do
    if [ $prog = volmap ]; then
      args=("$dir/a_$c.vrd" "$dir/out.vrd" 0 40 80 700); input=$bytes
    else
      args=("$dir/a_$c.vrd" "$dir/b_$c.vrd" - - "$dir/out.vrd"); input=$((2 * bytes))
    fi
    one=$(export VRD_THREADS=1; median $bin/$prog "${args[@]}")
    many=$(unset VRD_THREADS; median $bin/$prog "${args[@]}")
    if [ -n "$base" ]; then
      base_one=$(export VRD_THREADS=1; median "$base/$prog" "${args[@]}")
      base_many=$(unset VRD_THREADS; median "$base/$prog" "${args[@]}")
      awk -v p=$prog -v c=$c -v n=$input -v one="$one" -v many="$many" -v b1="$base_one" -v bm="$base_many" \
        'BEGIN {printf "%-7s %-5s %7.0f MB/s %7.0f MB/s %7.2fx %8.0f MB/s %4.2f %6.0f MB/s %4.2f\n", p, c, n / one / 1e6, n / many / 1e6, one / many, n / b1 / 1e6, b1 / one, n / bm / 1e6, bm / many}'
    else
      awk -v p=$prog -v c=$c -v n=$input -v one="$one" -v many="$many" \
        'BEGIN {printf "%-7s %-5s %7.0f MB/s %7.0f MB/s %7.2fx\n", p, c, n / one / 1e6, n / many / 1e6, one / many}'
    fi
  done
done
echo
printf '%-7s %-13s %12s %14s %7s%s\n' program VRD_DEFLATE speed "output bytes" size "${base:+   vs base dflt}"
for prog in volmap volcmp; do
  if [ $prog = volmap ]; then
    args=("$dir/a_zlib.vrd" "$dir/out.vrd" 0 40 80 700); input=$bytes
  else
    args=("$dir/a_zlib.vrd" "$dir/b_zlib.vrd" - - "$dir/out.vrd"); input=$((2 * bytes))
  fi
  base_many=
  [ -n "$base" ] && base_many=$(unset VRD_THREADS VRD_DEFLATE; median "$base/$prog" "${args[@]}")
  standard=
  for setting in zlib libdeflate zlib:1; do
    t=$(unset VRD_THREADS; export VRD_DEFLATE=$setting; median $bin/$prog "${args[@]}")
    size=$(stat -c %s "$dir/out.vrd")
    [ -n "$standard" ] || standard=$size
    awk -v p=$prog -v s=$setting -v n=$input -v t="$t" -v size="$size" -v std="$standard" -v bm="$base_many" \
      'BEGIN {printf "%-7s %-13s %7.0f MB/s %14d %6.3f", p, s, n / t / 1e6, size, size / std;
              if (bm != "") printf "   %5.2fx", bm / t; printf "\n"}'
  done
done
echo
$bin/vrd_bench_inflate "$dir/a_zlib.vrd" "$runs"
echo "($(nproc) cores; $runs runs each; volumes in $dir)"
