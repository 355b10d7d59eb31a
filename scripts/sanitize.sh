#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/ and runs every test there, the replays of the fuzz corpora
# among them. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build build-asan -j"$(nproc)"
# A header's heap data belong to it and are never released (the library has
# no operation for it), so the tests and programs that keep headers until
# they end would all show as leaks; the leak check is on only for the tests
# that release what they read (tests/hostile sets it per test).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The install test builds consumer programs outside these flags, which cannot
# link an instrumented library; the normal build runs it. Tests labelled
# nosan (a browser; the Python extension loaded into python, built without
# the sanitizers) run in the normal build only.
ctest --test-dir build-asan --output-on-failure -j"$(nproc)" -E '^install\.' -LE nosan
