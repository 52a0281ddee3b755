#!/usr/bin/env bash
# Cross build for the board (32-bit ARM, Debian armhf) into build-armhf/:
# installs Debian's cross compilers, the :armhf development packages
# (multiarch) and qemu-user, then configures with cmake/armhf.cmake and
# builds everything. The tests run under qemu-arm with the armhf loader
# and libraries of this machine, and so do the programs they start:
#   ctest --test-dir build-armhf        (or: qemu-arm -L / build-armhf/kz_tests)
# ARCH=arm64 does the same for 64-bit ARM boards into build-arm64/
# (cmake/arm64.cmake, qemu-aarch64).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${ARCH:-armhf}
case "$arch" in
  armhf) cross=crossbuild-essential-armhf ;;
  arm64) cross=crossbuild-essential-arm64 ;;
  *) echo "build-armhf: ARCH is armhf or arm64" >&2; exit 2 ;;
esac
arch_pkgs=(libc6-dev libstdc++6 libpng-dev libfreetype-dev libusb-1.0-0-dev libasound2-dev
           libopus-dev libssl-dev libglib2.0-dev libgtest-dev libjpeg62-turbo-dev)
pkgs=("$cross" qemu-user cmake ninja-build pkg-config)
for p in "${arch_pkgs[@]}"; do pkgs+=("$p:$arch"); done
scripts/install-deps.sh "${pkgs[@]}"
build=${BUILD:-build-$arch}
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$arch.cmake" -DKZ_SANITIZE=OFF >/dev/null
ninja -C "$build" -j"$(nproc)"
echo "build-armhf: built in $build (run the tests with: ctest --test-dir $build)"
