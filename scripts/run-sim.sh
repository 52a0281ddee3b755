#!/usr/bin/env bash
# Builds and runs the simulated unit: the real program against a simulated
# amplifier on a PTY, its files under ./kavzil-root. Arguments go to
# kavzil-sim (e.g. --drive 2.5 --freq 14200000 --seconds 30).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build -j"$(nproc)" kavzil-sim
exec build/kavzil-sim --root "${KAVZIL_ROOT:-kavzil-root}" "$@"
