#!/usr/bin/env bash
# Native build with warnings as errors, then the README's test command.
set -euo pipefail
source .ci/lib.sh
ensure_packages cmake g++ libgtest-dev libgmock-dev libbenchmark-dev pkgconf
cmake --workflow --preset ci
