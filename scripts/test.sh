#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh              normal build in build/
#   BUILD=build-asan SANITIZE=1 scripts/test.sh   AddressSanitizer + UBSan
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${BUILD:-build}
san=${SANITIZE:-0}
if [ "$san" = 1 ]; then flags=(-DKZ_SANITIZE=ON); else flags=(-DKZ_SANITIZE=OFF); fi
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
ninja -C "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 180
