#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer
# (any report fails the test that caused it), then the hardening figures.
set -euo pipefail
source .ci/lib.sh
needs build tests scripts
scripts/reliability-report --no-docs sanitizers
