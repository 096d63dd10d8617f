#!/bin/sh
# Checks the link interface of the module's libraries:
#   - the static library defines every exported function and variable under
#     its plain C name;
#   - the shared library's dynamic symbol table exports exactly those names
#     and nothing else, and the shared library needs no C++ runtime.
# Usage: check-exports.sh NM READELF STATIC_LIBRARY SHARED_LIBRARY
set -eu
nm_tool=$1 readelf_tool=$2 static_lib=$3 shared_lib=$4

expected=$(cat <<'NAMES' | sort
ClaCheckSum
MifareClassic_Login
MifareClassic_ReadBlock
MifareClassic_WriteBlock
REQA
RFID_CMD_BLOCK_READ
RFID_CMD_BLOCK_WRITE
RFID_CMD_BUZZER_SET
RFID_CMD_HALT_14443A
RFID_CMD_REQUEST_SN
STATUS
SetBeep
StoreLogMessage
WUPA
getBlockRead
getRequestCardSN
getTimeString
searchTag
sectorKeyA
setBlockWrite
setBuzzer
sethaltCard
system_command
NAMES
)
functions="ClaCheckSum MifareClassic_Login MifareClassic_ReadBlock MifareClassic_WriteBlock
SetBeep StoreLogMessage getBlockRead getRequestCardSN getTimeString searchTag setBlockWrite
setBuzzer sethaltCard system_command"
status=0

# "ADDRESS TYPE NAME" for every defined global symbol.
static_symbols=$("$nm_tool" -g --defined-only "$static_lib" | awk 'NF == 3 { print $2, $3 }')
for name in $expected; do
  type=$(printf '%s\n' "$static_symbols" | awk -v n="$name" '$2 == n { print $1; exit }')
  want=DBRSC  # variables: data, bss, read-only or common
  case " $(echo $functions) " in *" $name "*) want=T ;; esac
  case "$type" in
    "") echo "static library: $name is not defined"; status=1 ;;
    [$want]) ;;
    *) echo "static library: $name has symbol type $type"; status=1 ;;
  esac
done

dynamic=$("$nm_tool" -D --defined-only "$shared_lib" | awk 'NF == 3 { print $3 }' | sort)
if [ "$dynamic" != "$expected" ]; then
  echo "shared library: exported names differ from the interface:"
  for name in $expected; do
    printf '%s\n' "$dynamic" | grep -qx "$name" || echo "  missing $name"
  done
  for name in $dynamic; do
    printf '%s\n' "$expected" | grep -qx "$name" || echo "  extra $name"
  done
  status=1
fi

if "$readelf_tool" -d "$shared_lib" | grep -q 'NEEDED.*libstdc++'; then
  echo "shared library: needs the C++ runtime"
  status=1
fi

count=$(printf '%s\n' "$expected" | wc -l)
if [ $status -eq 0 ]; then
  echo "all $count exported names present, undecorated, and nothing else exported"
fi
exit $status
