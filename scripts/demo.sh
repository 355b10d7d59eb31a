#!/usr/bin/env bash
# Builds the toolkit and runs it on a sample volume that it makes itself.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
mkdir -p out
build/bin/vrd_phantom out/phantom.vrd
echo "sample volume: out/phantom.vrd ($(stat -c %s out/phantom.vrd) bytes)"
