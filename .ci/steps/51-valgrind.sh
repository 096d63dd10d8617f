#!/usr/bin/env bash
# The hardening checks with their figures, and every test program once
# under valgrind's memcheck: zero errors, no leaks.
set -euo pipefail
source .ci/lib.sh
needs build tests scripts memcheck
scripts/reliability-report --no-docs hardening
scripts/reliability-report --no-docs valgrind
