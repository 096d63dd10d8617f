#!/usr/bin/env bash
# The token provider service. Its tests (the end-to-end ones start a real
# broker) ran in the newcomer's step, whose build this reuses; here the
# two commands that docs/service.md gives a newcomer are tried as written:
# a simulated Elatec reader with a card, the service with --jsonl, and a
# SIGTERM after a few polls. Standard output must hold only JSON lines, the
# card's token among them, and the service must exit 0. The settings table
# of docs/service.md must be the one scripts/settings-doc writes.
set -euo pipefail
source .ci/lib.sh
needs build tests scripts
export RFID_WARNINGS_AS_ERRORS=ON # for a tree the first step has not configured
cmake --preset dev >/dev/null
cmake --build build -j2 --target rfid-tokend rfid-reader-sim >/dev/null

scratch=$(mktemp -d)
link="$scratch/ttyRFID"
# The simulator takes commands on its standard input: a pipe held open here.
mkfifo "$scratch/commands"
build/sim/rfid-reader-sim --model elatec --link "$link" <"$scratch/commands" >/dev/null 2>&1 &
simulator=$!
exec 3>"$scratch/commands"
trap 'kill "$simulator" 2>/dev/null || true; exec 3>&-; rm -rf "$scratch"' EXIT
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done

status=0
timeout --preserve-status -s TERM 4 build/service/rfid-tokend --reader "elatec:$link" --jsonl \
  --log-dir "$scratch" >"$scratch/events" 2>"$scratch/console" || status=$?
if [ "$status" -ne 0 ]; then
  cat "$scratch/console" >&2
  echo "rfid-tokend exited with $status after SIGTERM" >&2
  exit 1
fi
python3 - "$scratch/events" <<'PY'
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
tokens = [e for e in events if e["event"] == "token" and e["value"] == "A1B2C3D4"]
assert tokens, f"no token A1B2C3D4 among {events}"
print(f"rfid-tokend: {len(events)} JSON lines on standard output, token {tokens[0]['value']}")
PY
build/service/rfid-tokend --help | grep -q -- '--reader MODEL:PATH'
# The settings table of docs/service.md is the service's own.
scripts/settings-doc build/service/rfid-tokend
git diff --exit-code docs/service.md
