#!/bin/sh
# Checks the link interface of the module's libraries: the static library
# defines every exported function and variable under its plain C name; the
# shared library exports exactly those names and nothing else, and needs no
# C++ runtime.
# Usage: check-exports.sh NM READELF STATIC_LIBRARY SHARED_LIBRARY
set -eu
nm_tool=$1 readelf_tool=$2 static_lib=$3 shared_lib=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '%s\n' ClaCheckSum MifareClassic_Login MifareClassic_ReadBlock MifareClassic_WriteBlock \
  REQA RFID_CMD_BLOCK_READ RFID_CMD_BLOCK_WRITE RFID_CMD_BUZZER_SET RFID_CMD_HALT_14443A \
  RFID_CMD_REQUEST_SN STATUS SetBeep StoreLogMessage WUPA getBlockRead getRequestCardSN \
  getTimeString rfidCardPresent rfidElatecGetSak rfidElatecTransceive rfidLastExchange rfidLastReplyRefused \
  rfidLogMediumState rfidSetLogDirectory rfidSetLogQueue rfidSetReplyCheck rfidSetReplyWait searchTag \
  sectorKeyA setBlockWrite setBuzzer \
  sethaltCard system_command |
  sort >"$tmp/expected"
"$nm_tool" -g --defined-only "$static_lib" | awk 'NF == 3 { print $3 }' | sort -u >"$tmp/static"
"$nm_tool" -D --defined-only "$shared_lib" | awk 'NF == 3 { print $3 }' | sort >"$tmp/dynamic"
status=0

missing=$(comm -23 "$tmp/expected" "$tmp/static")
if [ -n "$missing" ]; then
  echo "static library: not defined under the plain C name:" $missing
  status=1
fi
if ! cmp -s "$tmp/expected" "$tmp/dynamic"; then
  echo "shared library: exported names differ from the interface (< missing, > extra):"
  diff "$tmp/expected" "$tmp/dynamic" | grep '^[<>]' || true
  status=1
fi
if "$readelf_tool" -d "$shared_lib" | grep -q 'NEEDED.*libstdc++'; then
  echo "shared library: needs the C++ runtime"
  status=1
fi
if [ $status -eq 0 ]; then
  echo "all $(wc -l <"$tmp/expected") exported names present, undecorated, and nothing else exported"
fi
exit $status
