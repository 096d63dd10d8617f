#!/usr/bin/env bash
# A short fuzz run of every operation's reply handling: about five seconds
# per target, a minute in all. The long run is documented in the README.
set -euo pipefail
source .ci/lib.sh
needs build scripts fuzzing
scripts/reliability-report --no-docs fuzz 5
