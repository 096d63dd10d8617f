#!/usr/bin/env bash
# The charger's build: cross-compiles for ARMv7-A hard-float Linux and runs
# the whole test suite on the target's code under qemu-arm (the C hosts
# linked with plain gcc, the export check and the install test included).
# The target's libraries come from Debian multiarch (armhf); the service's
# tests talk to the build machine's own broker.
set -euo pipefail
source .ci/lib.sh
needs build tests armv7-toolchain armv7
cmake --workflow --preset armv7
