#!/usr/bin/env bash
# The hardening checks with their figures, and every test program once
# under valgrind's memcheck: zero errors, no leaks.
set -euo pipefail
source .ci/lib.sh
ensure_packages cmake g++ libgtest-dev libgmock-dev python3 valgrind libcli11-dev nlohmann-json3-dev libssl-dev
scripts/reliability-report --no-docs hardening
scripts/reliability-report --no-docs valgrind
