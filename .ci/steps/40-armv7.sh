#!/usr/bin/env bash
# The charger's build: cross-compiles for ARMv7-A hard-float Linux and runs
# the whole test suite on the target's code under qemu-arm (the C hosts
# linked with plain gcc, the export check and the install test included).
set -euo pipefail
source .ci/lib.sh
ensure_packages cmake gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf \
  binutils-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user googletest pkgconf \
  libcli11-dev nlohmann-json3-dev
cmake --workflow --preset armv7
