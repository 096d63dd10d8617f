#!/usr/bin/env bash
# The module and every library built shared (-DBUILD_SHARED_LIBS=ON), as a
# distribution would: the programs and tests reach the module through its
# exported functions only, and the whole suite passes that way.
set -euo pipefail
source .ci/lib.sh
needs build tests
cmake --preset shared >/dev/null
cmake --build build/shared -j"$(nproc)" >/dev/null
ctest --preset shared
