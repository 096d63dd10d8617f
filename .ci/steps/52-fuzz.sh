#!/usr/bin/env bash
# A short fuzz run of every operation's reply handling: about five seconds
# per target, a minute in all. The long run is documented in the README.
set -euo pipefail
source .ci/lib.sh
ensure_packages cmake clang libclang-rt-14-dev llvm-14 libgtest-dev libgmock-dev python3 nlohmann-json3-dev libssl-dev libtomlplusplus-dev
scripts/reliability-report --no-docs fuzz 5
