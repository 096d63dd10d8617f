#!/usr/bin/env bash
# The README's two set-up commands on a fresh Debian 12 root with nothing
# but git, as root, in a chroot (scripts/fresh-check): the one run that
# proves packages.txt holds everything the build and the tests need.
set -euo pipefail
source .ci/lib.sh
needs fresh-check
scripts/fresh-check
