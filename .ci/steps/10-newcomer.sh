#!/usr/bin/env bash
# What a newcomer does first, on this fresh clone: the README's set-up block,
# read from the README now, run as written (it installs what it needs from
# packages.txt, builds everything, runs the demo, then the whole suite).
# Warnings are errors in CI: the build's first configure takes the default
# of RFID_WARNINGS_AS_ERRORS from the environment, so the commands stay
# plain. Then: the demo identified a card on each simulated reader and left
# the module's log file with its lines, rfidctl dumps the simulated card,
# and every test passed.
set -euo pipefail
source .ci/lib.sh
export RFID_WARNINGS_AS_ERRORS=ON
out=build/ci-newcomer
setup=$(readme_setup_block)
[ -n "$setup" ] || fail "the README's set-up section has no sh block"
echo "README set-up block:"
sed 's/^/  /' <<<"$setup"

mkdir -p "$out"
status=0
sh -ex -c "$setup" 2>&1 | tee "$out/setup.log" || status=$?
[ "$status" -eq 0 ] || fail "the README's set-up block exited $status"
grep -q '^RFID_WARNINGS_AS_ERRORS:BOOL=ON$' build/CMakeCache.txt ||
  fail "build/ was not configured with warnings as errors (a cache from before?)"

grep -q "Demo complete" "$out/setup.log" || fail "the demo did not complete"
grep -qE '^host> getRequestCardSN\(fd, MODULE_VOR.* -> true, serial [0-9A-F]+' "$out/setup.log" ||
  fail "the demo identified no card on the simulated VOR reader"
grep -qE '^host> searchTag\(fd, MODULE_ELATEC.* -> true, serial [0-9A-F]+' "$out/setup.log" ||
  fail "the demo identified no card on the simulated Elatec reader"
log=$(find build/SystemLog -maxdepth 1 -type f -name '\[*\]SystemLog' | head -n 1)
[ -n "$log" ] || fail "the demo left no log file in build/SystemLog"
for line in "Read block ok." "Write block ok." "Set Buzzer ok." "MIFARE classic login pass." \
            "Write block successfully."; do
  grep -qF "$line" "$log" || fail "the log file $log lacks '$line'"
done
echo "demo: a card on each simulated reader; log file $log ($(grep -c . "$log") lines)"

build/tools/rfidctl --simulate --model elatec dump >"$out/dump.txt" 2>"$out/dump.progress"
blocks=$(grep -cE '^ ?[0-9]+  [0-9A-F]{2} ' "$out/dump.txt")
trailers=$(grep -c 'trailer$' "$out/dump.txt")
[ "$blocks" -eq 64 ] && [ "$trailers" -eq 16 ] ||
  fail "rfidctl dump printed $blocks blocks and $trailers trailers, not 64 and 16"
echo "rfidctl dump: 64 blocks, 16 trailers"

summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+$' "$out/setup.log" | tail -n 1)
[[ "$summary" =~ ^100%\ tests\ passed,\ 0\ tests\ failed\ out\ of\ ([0-9]+)$ ]] ||
  fail "the test command did not pass every test: ${summary:-no ctest summary}"
echo "tests: ${BASH_REMATCH[1]} passed"
