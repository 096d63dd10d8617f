#!/usr/bin/env bash
# The charger's build: cross-compiles for ARMv7-A hard-float Linux and runs
# the whole test suite on the target's code under qemu-arm (the C hosts
# linked with plain gcc, the export check and the install test included).
# The target's libraries come from Debian multiarch (armhf); the service's
# tests talk to the build machine's own mosquitto broker.
set -euo pipefail
source .ci/lib.sh
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
  unset RFID_APT_UPDATED # the package lists must be read again, with armhf
fi
ensure_packages cmake gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf \
  binutils-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user googletest pkgconf \
  libmosquitto-dev:armhf libtomlplusplus-dev:armhf libcli11-dev nlohmann-json3-dev mosquitto openssl libssl-dev:armhf
cmake --workflow --preset armv7
