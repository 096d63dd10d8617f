#!/usr/bin/env bash
# Debian packages: amd64 from a Release build (the service-bench preset), armhf from the ARMv7 build of
# step 40 (built here if it is missing). The amd64 package is installed with
# dpkg into a scratch root, maintainer scripts included, and the installed
# rfid-tokend runs from there with the shipped configuration; the armhf
# package is checked for its architecture and contents, and its rfid-tokend
# runs under qemu-arm.
set -euo pipefail
source .ci/lib.sh
needs build tests armv7-toolchain armv7 packages

out=build/packages
rm -rf "$out"
mkdir -p "$out"
fail() {
  echo "70-package: $*" >&2
  exit 1
}

# quietly LOG COMMAND...: the command's output goes to LOG, shown if it fails.
quietly() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || {
    tail -n 40 "$log"
    fail "failed: $*"
  }
}

# The amd64 package comes from the service-bench preset's tree: the same
# Release build without tests, which step 61 has mostly built already.
SECONDS=0
quietly "$out/amd64.log" cmake --preset service-bench
quietly "$out/amd64.log" cmake --build build/service-bench -j2
quietly "$out/amd64.log" cpack --config build/service-bench/CPackConfig.cmake -B "$out"
echo "amd64 package built in ${SECONDS} s"

SECONDS=0
[ -f build/armv7/CPackConfig.cmake ] || quietly "$out/armhf.log" cmake --preset armv7
quietly "$out/armhf.log" cmake --build --preset armv7
quietly "$out/armhf.log" cpack --config build/armv7/CPackConfig.cmake -B "$out"
echo "armhf package built in ${SECONDS} s"

amd64=$(echo "$out"/module-rfid_*_amd64.deb)
armhf=$(echo "$out"/module-rfid_*_armhf.deb)
ls -l "$amd64" "$armhf"

# ---- amd64: install into a scratch root and run it --------------------------
root=$PWD/$out/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
touch "$root/var/lib/dpkg/status"
# Chrootless scripts see the root in DPKG_ROOT; the dependencies are the
# build machine's, which the scratch database does not list.
dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null \
  -i "$amd64" >"$out/dpkg.log" 2>&1 || {
  cat "$out/dpkg.log"
  fail "dpkg could not install $amd64"
}
grep -q '^rfid-tokend:' "$root/etc/passwd" || fail "postinst made no rfid-tokend account"
grep -Eq '^dialout:.*[:,]rfid-tokend(,|$)' "$root/etc/group" || fail "rfid-tokend is not in dialout"
dpkg --root="$root" -s module-rfid | grep -q '/etc/rfid-tokend/rfid-tokend.toml' ||
  fail "the configuration is not a conffile"

export LD_LIBRARY_PATH=$root/usr/lib
"$root/usr/bin/rfid-tokend" --help >"$out/help.txt" || fail "installed rfid-tokend --help failed"
grep -q -- '--reader' "$out/help.txt" || fail "rfid-tokend --help does not name --reader"
echo "installed rfid-tokend --help: $(wc -l <"$out/help.txt") lines, exit 0"
# The shipped configuration is accepted (a refused one exits 2 at once); the
# service then waits for its reader and broker until SIGTERM ends it with 0.
mkdir -p "$out/log"
status=0
timeout --preserve-status -s TERM 3 "$root/usr/bin/rfid-tokend" \
  --config "$root/etc/rfid-tokend/rfid-tokend.toml" --log-dir "$out/log" \
  >"$out/run.txt" 2>&1 || status=$?
[ "$status" -eq 0 ] || {
  cat "$out/run.txt"
  fail "rfid-tokend with the shipped configuration exited $status"
}
echo "installed rfid-tokend with the shipped configuration: ran, exit 0 on SIGTERM"
unset LD_LIBRARY_PATH

# The packages named in Depends are those whose libraries the programs load.
dpkg-deb -f "$amd64" Depends | tr ',' '\n' | awk '{print $1}' >"$out/depends.txt"
mkdir -p "$out/shlibs/debian"
touch "$out/shlibs/debian/control"
for elf in "$root"/usr/bin/* "$root"/usr/lib/lib*.so.*.*; do
  (cd "$out/shlibs" && dpkg-shlibdeps -O "$elf" 2>/dev/null) | sed 's/^shlibs:Depends=//' |
    tr ',' '\n' | awk '{print $1}'
done | sort -u >"$out/needed.txt"
sort -u -o "$out/depends.txt" "$out/depends.txt"
cmp -s "$out/needed.txt" "$out/depends.txt" ||
  fail "Depends names $(paste -sd' ' "$out/depends.txt"); the programs load $(paste -sd' ' "$out/needed.txt")"
echo "Depends: $(dpkg-deb -f "$amd64" Depends)"

if command -v systemd-analyze >/dev/null; then
  # verify looks for ExecStart= on this machine: point it at the scratch root.
  sed "s|/usr/bin/rfid-tokend|$root/usr/bin/rfid-tokend|" \
    "$root/usr/lib/systemd/system/rfid-tokend.service" >"$out/rfid-tokend.service"
  systemd-analyze verify "$out/rfid-tokend.service" || fail "systemd-analyze verify failed"
  echo "unit verified; exposure $(systemd-analyze security --offline=true "$out/rfid-tokend.service" 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: //p')"
fi

# ---- armhf: architecture, contents, and the program under qemu-arm ---------
[ "$(dpkg-deb -f "$armhf" Architecture)" = armhf ] || fail "$armhf is not armhf"
[ "$(dpkg-deb -f "$armhf" Depends)" = "$(dpkg-deb -f "$amd64" Depends)" ] ||
  fail "the armhf package depends on $(dpkg-deb -f "$armhf" Depends)"
dpkg-deb -c "$armhf" | awk '{print $6}' >"$out/armhf.contents"
for path in ./usr/bin/rfid-tokend ./usr/bin/rfidctl ./usr/bin/rfid-reader-sim \
  ./usr/lib/libModule_RFID.a ./usr/lib/libModule_RFID.so.1 ./usr/include/Module_RFID.h \
  ./usr/lib/systemd/system/rfid-tokend.service ./usr/lib/sysusers.d/rfid-tokend.conf \
  ./etc/rfid-tokend/rfid-tokend.toml; do
  grep -qx -- "$path" "$out/armhf.contents" || fail "$armhf lacks $path"
done
dpkg-deb -x "$armhf" "$out/armhf"
readelf -h "$out/armhf/usr/bin/rfid-tokend" | grep -q 'Machine: *ARM$' || fail "rfid-tokend in $armhf is not ARM code"
qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib \
  "$out/armhf/usr/bin/rfid-tokend" --help >/dev/null || fail "armhf rfid-tokend --help failed under qemu-arm"
echo "armhf package: $(wc -l <"$out/armhf.contents") entries, ARM code, rfid-tokend --help runs under qemu-arm"
