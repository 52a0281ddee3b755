#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh              normal build in build/
#   BUILD=build-asan SANITIZE=1 scripts/test.sh        AddressSanitizer + UBSan
#   BUILD=build-tsan SANITIZE=thread scripts/test.sh   ThreadSanitizer (clang), then a
#                                short scripted run of the simulated unit
# Under ThreadSanitizer any report fails the run (the test child processes
# inherit TSAN_OPTIONS).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${BUILD:-build}
san=${SANITIZE:-0}
case "$san" in
  1) flags=(-DKZ_SANITIZE=ON) ;;
  thread)
    flags=(-DKZ_SANITIZE=thread)
    export CC=clang CXX=clang++
    export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1${TSAN_OPTIONS:+ $TSAN_OPTIONS}"
    ;;
  *) flags=(-DKZ_SANITIZE=OFF) ;;
esac
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
ninja -C "$build" -j"$(nproc)"
(cd "$build" && ctest --output-on-failure -j"$(nproc)" --timeout 180)
if [ "$san" = thread ]; then
  # The whole program with every thread: layouts and the status overlay
  # (backgrounds asked for by the button thread), a bank change and the
  # bank table with an interface change (tables the supervisor draws),
  # then quick layout changes up to the stop.
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  "$build"/kavzil-sim --headless --quiet --seconds 17 --root "$root" --snapshot "$root"/s.png \
    --keys '9:6,10:6:long,11:6,12:1,12.5:1:long,13:2,13.5:1,16.5:6,16.7:6,16.9:6'
  echo "ThreadSanitizer: the simulated unit ran clean"
fi
