#!/bin/sh
# Installs the module from a build tree into a fresh prefix and builds hosts
# against the installed tree only: a C project using find_package(ModuleRFID)
# (static and shared imported targets) and pkg-config (pkg_check_modules, and
# plain compiler command lines from `pkg-config --cflags --libs`). Runs every
# host, through the emulator when one is given.
# Usage: consume.sh CMAKE BUILD_DIR WORK_DIR C_COMPILER "C_FLAGS" TOOLCHAIN_FILE [EMULATOR...]
set -eu
cmake=$1 build_dir=$2 work=$3 cc=$4 cflags=$5 toolchain=$6
shift 6
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix

rm -rf "$work"
mkdir -p "$work"
"$cmake" --install "$build_dir" --prefix "$prefix" >"$work/install.log"
echo "installed:" && (cd "$prefix" && find . -type f -o -type l | sort)

pcdir=$(dirname "$(find "$prefix" -name module-rfid.pc)")
# Only the installed tree answers pkg-config, never the build machine's own.
export PKG_CONFIG_LIBDIR="$pcdir" PKG_CONFIG_PATH=

toolchain_args=
if [ -n "$toolchain" ]; then
  # The cross toolchain looks for packages in the target's sysroot only; the
  # installed tree is a second root.
  toolchain_args="-DCMAKE_TOOLCHAIN_FILE=$toolchain -DCMAKE_FIND_ROOT_PATH=$prefix"
fi
# shellcheck disable=SC2086 # toolchain_args is a list of arguments
"$cmake" -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release $toolchain_args >"$work/configure.log"
"$cmake" --build "$work/consumer" >"$work/build.log"

libdir=$(pkg-config --variable=libdir module-rfid)
# shellcheck disable=SC2086 # flags are lists of arguments
"$cc" $cflags -std=c99 -Wall -Wextra -Werror "$here/consumer/host.c" \
  $(pkg-config --cflags --libs module-rfid) -Wl,-rpath,"$libdir" -o "$work/pc_shared"
# shellcheck disable=SC2086
"$cc" $cflags -std=c99 -Wall -Wextra -Werror "$here/consumer/host.c" \
  $(pkg-config --cflags module-rfid) "$(pkg-config --variable=staticlib module-rfid)" \
  -o "$work/pc_static"

for host in consumer/with_package_static consumer/with_package_shared consumer/with_pkg_config \
  pc_shared pc_static; do
  output=$("$@" "$work/$host")
  echo "$host: $output"
done
echo "5 hosts built against the installed tree and ran"
