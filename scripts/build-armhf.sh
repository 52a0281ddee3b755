#!/usr/bin/env bash
# Cross build for the board (32-bit ARM, Debian armhf) into build-armhf/:
# installs Debian's cross compilers, the :armhf development packages
# (multiarch) and qemu-user, then configures with cmake/armhf.cmake and
# builds everything. Programs the build runs itself, and the tests, run
# under qemu-arm with the armhf loader and libraries of this machine:
#   qemu-arm -L / build-armhf/kz_tests
# (tests that start other programs of the build, the kavzil-sim and
# kz-remote children, need those to run under qemu-arm as well.)
set -euo pipefail
cd "$(dirname "$0")/.."
arch_pkgs=(libc6-dev libstdc++6 libpng-dev libfreetype-dev libusb-1.0-0-dev libasound2-dev
           libopus-dev libssl-dev libglib2.0-dev libgtest-dev libjpeg62-turbo-dev)
pkgs=(crossbuild-essential-armhf qemu-user cmake ninja-build pkg-config)
for p in "${arch_pkgs[@]}"; do pkgs+=("$p:armhf"); done
scripts/install-deps.sh "${pkgs[@]}"
build=${BUILD:-build-armhf}
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake -DKZ_SANITIZE=OFF >/dev/null
ninja -C "$build" -j"$(nproc)"
echo "build-armhf: built in $build (run the tests with: qemu-arm -L / $build/kz_tests)"
