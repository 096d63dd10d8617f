#!/usr/bin/env bash
# Formatting and static analysis are enforced: every C and C++ source must
# match .clang-format, and the module must pass the checks of .clang-tidy.
set -euo pipefail
source .ci/lib.sh
needs build format
git ls-files '*.c' '*.h' '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror
# The docs' measured sections keep the markers their scripts rewrite them
# by; the slow measurements themselves are not rerun here.
scripts/doc-section check
# A compile database of the module alone; clang's default standard is older
# than the module's, so it is named explicitly.
cmake -S . -B build/tidy -DRFID_BUILD_TESTS=OFF -DRFID_BUILD_TOOLS=OFF \
  -DRFID_BUILD_EXAMPLES=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
clang-tidy -p build/tidy --quiet --warnings-as-errors='*' --extra-arg=-std=c++17 \
  Modularization/*.cpp
