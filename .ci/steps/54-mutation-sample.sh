#!/usr/bin/env bash
# A fixed sample of the mutation report: 24 faults planted in the module one
# at a time (scripts/mutation-report --sample 24 --seed 1), each built and
# run against the module's fast suite. Fails when the sample's score falls
# below the floor: the sample kills 18 of 24 counted mutants (75 %), the
# six survivors equivalent ones (a bound of 1 for 0 on a descriptor, 57,601
# baud for 57,600, the ring's starting offset, a terminator after a line of
# known length, a write of 0 bytes, December formatted the slower way);
# 73 % is the floor.
set -euo pipefail
source .ci/lib.sh
needs build scripts mutation
scripts/mutation-report --sample 24 --seed 1 --jobs 2 --floor 73
