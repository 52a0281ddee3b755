#!/usr/bin/env bash
# Builds and runs the simulated unit: the real program against a simulated
# amplifier on a PTY, its files under ./kavzil-root (KAVZIL_ROOT), built in
# ./build (BUILD). Arguments go to kavzil-sim (e.g. --drive 2.5 --freq
# 14200000 --seconds 30).
#
# Standard output carries the unit's status lines only: the dependency
# install and the build print on standard error.
#
# With a display (DISPLAY or WAYLAND_DISPLAY) the unit opens its window.
# Without one it runs headless; unless the arguments name a --snapshot, the
# screen is then saved as kavzil-root/screen.png every second, so there is
# always somewhere to look.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
build=${BUILD:-build}
root=${KAVZIL_ROOT:-kavzil-root}
mkdir -p "$root"  # the default snapshot goes there
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"$(nproc)" kavzil-sim >&2

args=("$@")
headless=0
snapshot=0
for a in "${args[@]}"; do
  case "$a" in
    --headless) headless=1 ;;
    --snapshot) snapshot=1 ;;
  esac
done
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then headless=1; fi
if [ "$headless" = 1 ] && [ "$snapshot" = 0 ]; then
  args+=(--snapshot "$root/screen.png")
  echo "run-sim: no window: the screen is saved as $root/screen.png every second" \
       "(open it with an image viewer; Ctrl-C stops the unit)" >&2
fi
exec "$build/kavzil-sim" --root "$root" "${args[@]}"
