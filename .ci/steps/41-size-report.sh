#!/usr/bin/env bash
# Code size and stack depth of the module on ARMv7-A. The text target
# (8 KiB at -Os) and the stack target (5 KiB per exported function) are enforced.
set -euo pipefail
source .ci/lib.sh
ensure_packages cmake python3 gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf \
  binutils-arm-linux-gnueabihf libc6-dev-armhf-cross
scripts/size-report --check
