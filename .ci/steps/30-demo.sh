#!/usr/bin/env bash
# What a new user does first, on this fresh clone: the README's first command
# (build everything, run the demo session on a simulated reader of each
# model), which must leave the module's monthly log file in build/SystemLog;
# then a dump of the simulated card with rfidctl, as the README suggests.
set -euo pipefail
source .ci/lib.sh
ensure_packages cmake g++ libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev libssl-dev

cmake --workflow --preset demo | tee /tmp/rfid-demo.out
grep -q "Demo complete" /tmp/rfid-demo.out
log=$(find build/SystemLog -maxdepth 1 -type f -name '\[*\]SystemLog' | head -n 1)
if [ -z "$log" ]; then
  echo "the demo left no log file in build/SystemLog" >&2
  exit 1
fi
for line in "Read block ok." "Write block ok." "Set Buzzer ok." "MIFARE classic login pass." \
            "Write block successfully."; do
  grep -qF "$line" "$log" || { echo "the log file $log lacks '$line'" >&2; exit 1; }
done
echo "demo log file: $log ($(grep -c . "$log") lines)"

build/tools/rfidctl --simulate --model elatec dump > /tmp/rfid-dump.out
blocks=$(grep -cE '^ ?[0-9]+  [0-9A-F]{2} ' /tmp/rfid-dump.out)
trailers=$(grep -c 'trailer$' /tmp/rfid-dump.out)
if [ "$blocks" -ne 64 ] || [ "$trailers" -ne 16 ]; then
  echo "rfidctl dump printed $blocks blocks and $trailers trailers, not 64 and 16" >&2
  exit 1
fi
echo "rfidctl dump: 64 blocks, 16 trailers"
