#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed number
# of runs over its seed corpus: scripts/fuzz.sh [RUNS] [TARGET...]
# A run fails on a crash and on any sanitizer report: its whole output is
# then shown, and the script ends with status 1 after running every target.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20000}
shift || true
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKZ_FUZZ=ON -DKZ_TESTS=OFF >/dev/null
ninja -C build-fuzz -j"$(nproc)" fuzz_targets
if [ $# -gt 0 ]; then
  targets=()
  for n in "$@"; do targets+=("build-fuzz/fuzz_${n#fuzz_}"); done
else
  targets=(build-fuzz/fuzz_*)
fi
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  corpus=fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  out=$(mktemp)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "== $name ($runs runs)"
  start=$(date +%s)
  rc=0
  "$t" -runs="$runs" -max_len=2048 "$work" >"$out" 2>&1 || rc=$?
  secs=$(( $(date +%s) - start ))
  if [ "$rc" -ne 0 ] || grep -qE 'runtime error:|ERROR: [A-Za-z]*Sanitizer|SUMMARY: [A-Za-z]*Sanitizer' "$out"; then
    echo "!! $name FAILED (exit $rc) after ${secs}s; its whole output:"
    cat "$out"
    failed+=("$name")
  else
    tail -n 2 "$out"
    echo "   ${secs}s"
  fi
  rm -rf "$work" "$out"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz run failed: ${failed[*]}"
  exit 1
fi
