# ARMv7-A hard-float Linux, the charger's board, with Debian's cross
# compiler (g++-arm-linux-gnueabihf) and its sysroot under
# /usr/arm-linux-gnueabihf. Programs built here run on the build machine
# under qemu-arm when CMAKE_CROSSCOMPILING_EMULATOR names it. The armv7
# preset runs them with that C library's loader (-L) and with
# LD_LIBRARY_PATH at its lib directory: the loader and libc.so must come from
# the same build, and once Debian's own libc6:armhf is installed beside the
# cross one (multiarch, for libmosquitto) the loader would otherwise find
# that libc first and the program would crash.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7-a)

set(RFID_CROSS_TRIPLE arm-linux-gnueabihf CACHE STRING "GNU triple of the cross compiler")
set(CMAKE_C_COMPILER ${RFID_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${RFID_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${RFID_CROSS_TRIPLE})

# Debian's armhf baseline: ARMv7-A with VFPv3-D16 (+fp), hard-float calling
# convention, Thumb-2. Spelled out so the build does not depend on the
# compiler's defaults.
set(RFID_ARM_FLAGS "-march=armv7-a+fp -mfpu=auto -mfloat-abi=hard -mthumb")
# 64-bit file offsets and time_t on the 32-bit target: log stamps stay right
# past January 2038, a log file may pass 2 GiB, and directory listings work
# where the file system hands out 64-bit directory offsets (as it does to
# programs under qemu-arm on a 64-bit machine).
string(APPEND RFID_ARM_FLAGS " -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${RFID_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${RFID_ARM_FLAGS}")

# Headers, libraries and packages come from the target's sysroot only; build
# tools are the build machine's.
# More roots (an installed tree of the module, say) may be given with
# -DCMAKE_FIND_ROOT_PATH; the sysroot is always one of them.
if(NOT "/usr/${RFID_CROSS_TRIPLE}" IN_LIST CMAKE_FIND_ROOT_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH /usr/${RFID_CROSS_TRIPLE})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CLI11 and nlohmann-json, which only the tools use, are header-only, and
# Debian installs them once for every architecture, under /usr/include and
# /usr/share/cmake, outside the sysroot. /usr/include as a whole must not
# reach the cross compiler (its C library headers are the build machine's),
# so their headers and package files are gathered in a root of their own in
# the build tree, which find_package searches as it does the sysroot.
get_property(rfid_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT rfid_in_try_compile)
  set(rfid_header_only_root ${CMAKE_BINARY_DIR}/header-only-packages)
  foreach(package_and_headers CLI11:CLI nlohmann_json:nlohmann)
    string(REPLACE ":" ";" package_and_headers ${package_and_headers})
    list(GET package_and_headers 0 package)
    list(GET package_and_headers 1 headers)
    foreach(config_dir /usr/share/cmake/${package} /usr/lib/cmake/${package})
      if(EXISTS ${config_dir} AND EXISTS /usr/include/${headers}
         AND NOT EXISTS ${rfid_header_only_root}/usr/share/cmake/${package})
        file(COPY ${config_dir} DESTINATION ${rfid_header_only_root}/usr/share/cmake)
        file(MAKE_DIRECTORY ${rfid_header_only_root}/usr/include)
        file(CREATE_LINK /usr/include/${headers} ${rfid_header_only_root}/usr/include/${headers}
             SYMBOLIC)
      endif()
    endforeach()
  endforeach()
  if(NOT rfid_header_only_root IN_LIST CMAKE_FIND_ROOT_PATH)
    list(APPEND CMAKE_FIND_ROOT_PATH ${rfid_header_only_root})
  endif()
endif()

# The target's libraries that Debian installs through multiarch
# (libmosquitto-dev:armhf, libtomlplusplus-dev:armhf) live in the build
# machine's own tree under /usr/lib/${RFID_CROSS_TRIPLE}, their CMake and
# pkg-config files too, so the last root is /. CMAKE_LIBRARY_ARCHITECTURE
# keeps library searches in the target's directories; a header found there
# is in /usr/include, which Debian's cross compiler already searches last, so
# CMake never passes that directory on.
if(NOT "/" IN_LIST CMAKE_FIND_ROOT_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH /)
endif()
# pkg-config answers for the target: its multiarch directory and the
# architecture-independent one, never the build machine's libraries.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${RFID_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
