#!/bin/sh
# Runs the example host against the simulated reader of one model and checks
# that it identified the card and read the block.
# Usage: run-example.sh vor|elatec READER_SIM HOST [EMULATOR...]
set -eu
model=$1 reader_sim=$2 host=$3
shift 3
work=$(mktemp -d)
sim_pid=
cleanup() {
  exec 3>&-
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The simulator answers until its standard input ends: a pipe held open here.
mkfifo "$work/stdin"
"$@" "$reader_sim" --model "$model" --link "$work/port" <"$work/stdin" >"$work/sim.log" 2>&1 &
sim_pid=$!
exec 3>"$work/stdin"
tries=0
until [ -e "$work/port" ]; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ]; then
    echo "the simulated reader did not start:" && cat "$work/sim.log"
    exit 1
  fi
  sleep 0.1
done

"$@" "$host" -m "$model" -n 4 "$work/port" >"$work/host.log"
cat "$work/host.log"
grep -q '^card ' "$work/host.log" && grep -q '^block ' "$work/host.log"
