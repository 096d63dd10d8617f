#!/usr/bin/env bash
# Formatting is enforced: every C and C++ source must match .clang-format.
set -euo pipefail
source .ci/lib.sh
ensure_packages clang-format
git ls-files '*.c' '*.h' '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror
