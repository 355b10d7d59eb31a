#!/usr/bin/env bash
# Runs a fuzz campaign of SECONDS in total, one fuzzer process at a time:
# about 40 % each for the header and slice targets (libFuzzer), 20 % for the
# whole volmap program (AFL++); the volcmp target (AFL++, the input against a
# fixed seed volume) runs when named. New inputs that add coverage are merged
# (minimised) into fuzz/corpus/<target>; findings land in
# build-fuzz/artifacts/<target>; a summary line per target gives the
# executions it ran.
# Usage: fuzz/campaign.sh SECONDS [header|slices|program|volcmp ...]
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
    program|volcmp) [ ${#targets[@]} -eq 1 ] && echo "$total" || echo $(( total / 5 )) ;;
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

run_program() { # seconds volmap|volcmp
  local secs=$1 prog=$2 out=$work/$2-afl cmd
  case $prog in
    volmap) cmd=(build-afl/bin/volmap @@ "$work/afl-tmp/out.vrd" 0 10 20 40) ;;
    volcmp) cmd=(build-afl/bin/volcmp @@ "$root/fuzz/corpus/program/p0.vrd" - - "$work/afl-tmp/out.vrd") ;;
  esac
  command -v afl-fuzz >/dev/null || scripts/deps.sh afl++
  if [ ! -f build-afl/CMakeCache.txt ]; then
    AFL_USE_ASAN=1 AFL_USE_UBSAN=1 CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S . -B build-afl \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRD_BUILD_TESTS=OFF >/dev/null
  fi
  AFL_USE_ASAN=1 AFL_USE_UBSAN=1 cmake --build build-afl --target volmap volcmp -j2 >/dev/null
  rm -rf "$out"
  mkdir -p "$work/afl-tmp"
  AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1 AFL_NO_AFFINITY=1 \
    afl-fuzz -i fuzz/corpus/program -o "$out" -x fuzz/vrd.dict -m none -t 5000 -V "$secs" \
    -- "${cmd[@]}" >"$work/$prog.log" 2>&1 || true
  local stats=$out/default/fuzzer_stats execs crashes hangs
  execs=$(sed -n 's/^execs_done *: *//p' "$stats" 2>/dev/null)
  crashes=$(ls "$out"/default/crashes 2>/dev/null | grep -vc README || true)
  hangs=$(ls "$out"/default/hangs 2>/dev/null | wc -l)
  mkdir -p build-fuzz/artifacts/program
  for f in "$out"/default/crashes/id* "$out"/default/hangs/id*; do
    if [ -f "$f" ]; then cp "$f" "build-fuzz/artifacts/program/$prog-$(sha1sum "$f" | cut -c1-40)"; fi
  done
  # Minimise the queue; only inputs that are new by content join the corpus.
  if [ -d "$out/default/queue" ]; then
    rm -rf "$work/$prog-min"
    AFL_SKIP_CPUFREQ=1 afl-cmin -i "$out/default/queue" -o "$work/$prog-min" -m none -t 5000 \
      -- "${cmd[@]}" >"$work/$prog.cmin.log" 2>&1 || true
    local known sum
    known=$(sha1sum fuzz/corpus/program/* | cut -c1-40)
    for f in "$work/$prog-min"/*; do
      [ -f "$f" ] || continue
      sum=$(sha1sum "$f" | cut -c1-40)
      if ! grep -qx "$sum" <<<"$known"; then
        cp "$f" "fuzz/corpus/program/$sum"
        known+=$'\n'$sum
      fi
    done
  fi
  echo "$(date -u +%FT%TZ) $prog (AFL++): ${secs}s, ${execs:-?} executions, crashes: $crashes, hangs: $hangs" | tee -a "$summary"
}

[ -d fuzz/corpus/header ] || fuzz/make_corpus.sh fuzz/corpus
for t in "${targets[@]}"; do
  case $t in
    header|slices) build_libfuzzer; run_libfuzzer "$t" "$(share "$t")" ;;
    program) run_program "$(share program)" volmap ;;
    volcmp) run_program "$(share volcmp)" volcmp ;;
    *) echo "unknown target $t" >&2; exit 2 ;;
  esac
done
