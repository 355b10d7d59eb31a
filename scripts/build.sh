#!/usr/bin/env bash
# Configures and builds the release tree in build/ (programs in build/bin,
# libraries in build/lib). Extra arguments go to the configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build build -j"$(nproc)"
