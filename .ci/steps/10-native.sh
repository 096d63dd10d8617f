#!/usr/bin/env bash
# Native build with warnings as errors, then the README's test command.
set -euo pipefail
source .ci/lib.sh
ensure_packages cmake g++ libgtest-dev libgmock-dev libbenchmark-dev pkgconf \
  libmosquitto-dev mosquitto libtomlplusplus-dev libcli11-dev nlohmann-json3-dev openssl libssl-dev
# Warnings are errors in CI: set once in the cache, which the preset keeps.
cmake --preset dev -DRFID_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --workflow --preset test
