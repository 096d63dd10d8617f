#!/usr/bin/env bash
# The log is the one part of the module that hosts call from several threads:
# its tests run under ThreadSanitizer, and any report fails them.
set -euo pipefail
source .ci/lib.sh
needs build
cmake --preset tsan >/dev/null
cmake --build build/tsan -j"$(nproc)" --target rfid_log_test >/dev/null
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/tests/rfid_log_test
