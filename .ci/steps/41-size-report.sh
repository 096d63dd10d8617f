#!/usr/bin/env bash
# Code size and stack depth of the module on ARMv7-A. The text target
# (12 KiB at -Os) and the stack target (5.5 KiB per exported function) are enforced.
set -euo pipefail
source .ci/lib.sh
needs build scripts armv7-toolchain
scripts/size-report --check
