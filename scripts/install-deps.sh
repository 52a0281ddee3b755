#!/usr/bin/env bash
# Installs what the build, the tests and the simulator need on Debian 12,
# as root, with apt-get; does nothing when everything is there already.
#   scripts/install-deps.sh              the project's packages
#   scripts/install-deps.sh PKG...       these instead (PKG:ARCH adds the
#                                        foreign architecture ARCH first)
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config git
      googletest libgtest-dev clang libclang-rt-14-dev
      libpng-dev libfreetype-dev libusb-1.0-0-dev libasound2-dev libopus-dev sox espeak-ng
      libssl-dev libglib2.0-dev libsdl2-dev fonts-dejavu-core fonts-dejavu-extra fonts-paratype
      python3-websockets nodejs node-ws libfftw3-dev
      libjpeg-turbo-progs libjpeg62-turbo-dev)
[ $# -gt 0 ] && pkgs=("$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  done
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
