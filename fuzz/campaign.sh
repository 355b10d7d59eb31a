#!/usr/bin/env bash
# Runs a fuzz campaign of SECONDS in total, one fuzzer process at a time:
# about 40 % each for the header and slice targets (libFuzzer), 20 % for the
# whole volmap program (AFL++). New inputs that add coverage are merged
# (minimised) into fuzz/corpus/<target>; findings land in
# build-fuzz/artifacts/<target>; a summary line per target gives the
# executions it ran. Usage: fuzz/campaign.sh SECONDS [header|slices|program ...]
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:?usage: fuzz/campaign.sh SECONDS [header|slices|program ...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(header slices program)

root=$PWD
work=$root/build-fuzz/campaign
mkdir -p "$work" "$root/build-fuzz/artifacts"
summary=$work/summary.txt

share() { # seconds for one target
  case $1 in
    header|slices) [ ${#targets[@]} -eq 1 ] && echo "$total" || echo $(( total * 2 / 5 )) ;;
    program) [ ${#targets[@]} -eq 1 ] && echo "$total" || echo $(( total / 5 )) ;;
  esac
}

build_libfuzzer() {
  if [ ! -f build-fuzz/CMakeCache.txt ]; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVRD_BUILD_TESTS=OFF -DVRD_BUILD_FUZZ=ON >/dev/null
  fi
  cmake --build build-fuzz --target fuzz_header fuzz_slices -j2 >/dev/null
}

run_libfuzzer() { # target seconds
  local t=$1 secs=$2 bin=$root/build-fuzz/bin/fuzz_$1
  local corpus=$work/$t art=$root/build-fuzz/artifacts/$t/ log=$work/$t.log
  mkdir -p "$corpus" "$art"
  cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  # The header target sees the whole-volume seeds as well.
  [ "$t" = header ] && cp -n fuzz/corpus/slices/* "$corpus"/ 2>/dev/null || true
  # The malloc limit stays at the RSS limit: no header may make the library
  # ask for more than that at once.
  "$bin" "$corpus" -dict=fuzz/vrd.dict -max_len=16384 -timeout=10 \
    -rss_limit_mb=2048 -max_total_time="$secs" \
    -artifact_prefix="$art" -print_final_stats=1 >"$log" 2>&1 || true
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  # Keep in git only what adds coverage to the committed corpus.
  "$bin" -merge=1 -max_len=4096 fuzz/corpus/"$t" "$corpus" >>"$work/$t.merge.log" 2>&1 || true
  echo "$(date -u +%FT%TZ) $t: ${secs}s, ${execs:-?} executions, findings: $(ls "$art" | wc -l)" | tee -a "$summary"
}

run_program() { # seconds
  local secs=$1 out=$work/program-afl
  command -v afl-fuzz >/dev/null || scripts/deps.sh afl++
  if [ ! -f build-afl/CMakeCache.txt ]; then
    AFL_USE_ASAN=1 AFL_USE_UBSAN=1 CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S . -B build-afl \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRD_BUILD_TESTS=OFF >/dev/null
  fi
  AFL_USE_ASAN=1 AFL_USE_UBSAN=1 cmake --build build-afl --target volmap -j2 >/dev/null
  rm -rf "$out"
  mkdir -p "$work/afl-tmp"
  AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1 AFL_NO_AFFINITY=1 \
    afl-fuzz -i fuzz/corpus/program -o "$out" -x fuzz/vrd.dict -m none -t 5000 -V "$secs" \
    -- build-afl/bin/volmap @@ "$work/afl-tmp/out.vrd" 0 10 20 40 >"$work/program.log" 2>&1 || true
  local stats=$out/default/fuzzer_stats execs crashes hangs
  execs=$(sed -n 's/^execs_done *: *//p' "$stats" 2>/dev/null)
  crashes=$(ls "$out"/default/crashes 2>/dev/null | grep -vc README || true)
  hangs=$(ls "$out"/default/hangs 2>/dev/null | wc -l)
  mkdir -p build-fuzz/artifacts/program
  cp "$out"/default/crashes/id* "$out"/default/hangs/id* build-fuzz/artifacts/program/ 2>/dev/null || true
  # Minimise the queue into the committed corpus.
  if [ -d "$out/default/queue" ]; then
    rm -rf "$work/program-min"
    AFL_SKIP_CPUFREQ=1 afl-cmin -i "$out/default/queue" -o "$work/program-min" -m none -t 5000 \
      -- build-afl/bin/volmap @@ "$work/afl-tmp/out.vrd" 0 10 20 40 >"$work/program.cmin.log" 2>&1 || true
    cp -n "$work/program-min"/* fuzz/corpus/program/ 2>/dev/null || true
  fi
  echo "$(date -u +%FT%TZ) program (volmap, AFL++): ${secs}s, ${execs:-?} executions, crashes: $crashes, hangs: $hangs" | tee -a "$summary"
}

[ -d fuzz/corpus/header ] || fuzz/make_corpus.sh fuzz/corpus
for t in "${targets[@]}"; do
  case $t in
    header|slices) build_libfuzzer; run_libfuzzer "$t" "$(share "$t")" ;;
    program) run_program "$(share program)" ;;
    *) echo "unknown target $t" >&2; exit 2 ;;
  esac
done
