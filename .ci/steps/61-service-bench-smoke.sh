#!/usr/bin/env bash
# The service's benchmark builds and runs a tap or two of every case, with a
# real broker and simulated readers. Figures are not judged here: a
# shared CI machine cannot give them.
set -euo pipefail
source .ci/lib.sh
needs build tests scripts
scripts/service-report --smoke
