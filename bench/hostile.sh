#!/usr/bin/env bash
# Hostile files (bench/hostile_files.py) through every program: per file and
# program the exit status, the input's bytes, the bytes written (output file
# or standard output) against 1032 x input + 1 MiB, CPU time (user + system)
# and peak resident memory (/usr/bin/time's %M). Then 2,000,000 one-voxel
# slices with the default threads against VRD_THREADS=1 (median of RUNS).
# Usage: bench/hostile.sh [RUNS]; BENCH_DIR keeps the files (default: a
# temporary directory, removed at the end). Each run is cut at 300 s.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target volmap volcmp vrdinfo vrdconvert >/dev/null
bin=$PWD/build/bin
dir=${BENCH_DIR:-$(mktemp -d)}
[ -n "${BENCH_DIR:-}" ] || trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"
[ -f "$dir/thin-zlib.vrd" ] || /usr/bin/python3 bench/hostile_files.py "$dir"
unset VRD_THREADS

# One run: file, program name, then a shell command writing to $dir/out (a
# file) or standard output.
measure() {
  local file=$1 name=$2 command=$3 status=0
  rm -f "$dir/out" "$dir/stdout"
  /usr/bin/time -f '%U %S %M' -o "$dir/time" timeout 300 bash -c "$command" >"$dir/stdout" 2>/dev/null || status=$?
  local in written
  in=$(stat -c %s "$dir/$file")
  written=$(( $(stat -c %s "$dir/stdout") + $( [ -f "$dir/out" ] && stat -c %s "$dir/out" || echo 0) ))
  read -r user sys kib < <(tail -1 "$dir/time")
  awk -v f="$file" -v n="$name" -v st="$status" -v in="$in" -v w="$written" -v u="$user" -v s="$sys" -v k="$kib" \
    'BEGIN { b = 1032 * in + 1048576;
             printf "%-28s %-16s %4s %9d %11d %6s %7.2f s %7.1f MiB\n", f, n, st, in, w, (w <= b ? "yes" : "NO"),
                    u + s, k / 1024 }'
}

printf "%-28s %-16s %4s %9s %11s %6s %9s %11s\n" file program exit "in B" "written B" "bound" "CPU" "peak RSS"
for f in tfnum-repeated-16k tfnum-repeated-320k tfnum-4096-repeated-320k tfnum-huge-616 tfnum-4096-empty \
         huge-empty-blocks huge-tiny-streams huge-one-byte-streams giant-slices-746 giant-slices-pipe; do
  v=$dir/$f.vrd
  measure $f.vrd volmap "$bin/volmap $v $dir/out 0 10 20 40"
  measure $f.vrd volcmp "$bin/volcmp $v $v - - $dir/out"
  measure $f.vrd "vrdinfo --json" "$bin/vrdinfo --json $v"
  measure $f.vrd "vrdinfo (pipe)" "cat $v | $bin/vrdinfo /dev/stdin"
  measure $f.vrd "volmap (pipe)" "cat $v | $bin/volmap /dev/stdin $dir/out 0 10 20 40"
  measure $f.vrd "vrdconvert vrd" "$bin/vrdconvert $v $dir/out.vrd && mv $dir/out.vrd $dir/out"
done

# Thin slices: wall time of volmap, median of the runs.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo
printf "%-22s %14s %14s %8s\n" "2,000,000 x 1 x 1" "VRD_THREADS=1" "default" "ratio"
for f in thin-raw thin-zlib; do
  for threads in 1 default; do
    for _ in $(seq "$runs"); do
      if [ $threads = 1 ]; then
        /usr/bin/time -f %e -o "$dir/time" env VRD_THREADS=1 "$bin/volmap" "$dir/$f.vrd" "$dir/out" 0 10 20 40
      else
        /usr/bin/time -f %e -o "$dir/time" "$bin/volmap" "$dir/$f.vrd" "$dir/out" 0 10 20 40
      fi
      tail -1 "$dir/time"
    done | median >"$dir/median-$threads"
  done
  one=$(cat "$dir/median-1") default=$(cat "$dir/median-default")
  awk -v f="$f" -v a="$one" -v b="$default" 'BEGIN { printf "%-22s %12.2f s %12.2f s %7.2fx\n", f, a, b, b / a }'
done
