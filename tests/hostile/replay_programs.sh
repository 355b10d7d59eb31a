#!/usr/bin/env bash
# Usage: replay_programs.sh VOLMAP VOLCMP SCRATCHDIR DIR... Runs both programs on every file
# of each DIR: each run succeeds or refuses (0, 1, 255), never crashes, hangs or draws a report.
set -uo pipefail
volmap=$1 volcmp=$2 scratch=$3
shift 3
mkdir -p "$scratch"
# The programs keep their headers until they end, by design: no leak check.
export ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0:exitcode=86
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-}:halt_on_error=1:exitcode=87
failures=0 runs=0
check() { # command...
  timeout 60 "$@" >/dev/null 2>"$scratch/stderr"
  local status=$? && runs=$((runs + 1))
  if [[ ! $status =~ ^(0|1|255)$ ]] || grep -qE 'Sanitizer|runtime error:' "$scratch/stderr"; then
    echo "FAILED ($status): $*" >&2 && head -20 "$scratch/stderr" >&2 && failures=$((failures + 1))
  fi
}
for dir in "$@"; do
  for file in "$dir"/*; do
    [ -f "$file" ] || continue
    check "$volmap" "$file" "$scratch/map.vrd" 0 10 20 40
    check "$volcmp" "$file" "$file" - - "$scratch/cmp.vrd"
  done
done
echo "$runs runs, $failures failed"
[ $failures -eq 0 ] && [ $runs -gt 0 ]
