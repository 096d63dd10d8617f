#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer
# (any report fails the test that caused it), then the hardening figures.
set -euo pipefail
source .ci/lib.sh
ensure_packages cmake g++ libgtest-dev libgmock-dev python3 libcli11-dev nlohmann-json3-dev libssl-dev
scripts/reliability-report --no-docs sanitizers
