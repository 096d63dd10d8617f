#!/usr/bin/env bash
# The benchmarks build (Release, warnings as errors) and run one iteration
# of everything, the strace count and the table included. Timings are not
# judged here: a shared CI machine cannot give them.
set -euo pipefail
source .ci/lib.sh
needs build bench
scripts/bench-report --smoke
