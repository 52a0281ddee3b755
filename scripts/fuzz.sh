#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed number
# of runs over its seed corpus: scripts/fuzz.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20000}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKZ_FUZZ=ON -DKZ_TESTS=OFF >/dev/null
ninja -C build-fuzz -j"$(nproc)" fuzz_targets
for t in build-fuzz/fuzz_*; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  corpus=fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "== $name ($runs runs)"
  "$t" -runs="$runs" -max_len=2048 "$work" 2>&1 | tail -n 2
  rm -rf "$work"
done
