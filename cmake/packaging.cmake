# Installation of the token provider's system files, and one Debian package
# of everything this build installs: the module's libraries, header and
# CMake/pkg-config files, rfidctl, rfid-reader-sim, and rfid-tokend with its
# unit, account, log directory access and example configuration.
#
#   cpack -G DEB --config <build>/CPackConfig.cmake   # or: cmake --build <build> --target package
#
# The package's architecture follows the target (amd64 natively, armhf with
# cmake/toolchain-armv7.cmake); its dependencies are written out, since
# dpkg-shlibdeps cannot read the target's libraries in a cross build.
# Its build dependencies are the groups build, armv7-toolchain, armv7 and
# packages of packages.txt (`./dev install ...`).
# Included from the root CMakeLists.txt after every subdirectory, so that
# the targets and their install rules exist.
include(GNUInstallDirs)

set(RFID_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

if(TARGET rfid-tokend)
  # The unit, sysusers.d and tmpfiles.d files go where systemd looks under
  # the prefix (/usr/lib/... in the package).
  install(FILES ${RFID_PACKAGING_DIR}/rfid-tokend.service DESTINATION lib/systemd/system)
  install(FILES ${RFID_PACKAGING_DIR}/rfid-tokend.sysusers
          DESTINATION lib/sysusers.d RENAME rfid-tokend.conf)
  install(FILES ${RFID_PACKAGING_DIR}/rfid-tokend.tmpfiles
          DESTINATION lib/tmpfiles.d RENAME rfid-tokend.conf)
  # The configuration goes to /etc when the prefix is /usr, else to
  # <prefix>/etc, as GNUInstallDirs decides; decided when installing, since
  # `cmake --install --prefix` and CPack choose the prefix then. An existing
  # configuration is kept: it holds the charger's readers and broker (the
  # package marks the file as a conffile for the same reason).
  install(CODE "
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?$\")
      set(rfid_config_dir /etc/rfid-tokend)
    else()
      set(rfid_config_dir \"\${CMAKE_INSTALL_PREFIX}/etc/rfid-tokend\")
    endif()
    if(EXISTS \"\$ENV{DESTDIR}\${rfid_config_dir}/rfid-tokend.toml\")
      message(STATUS \"Keeping: \$ENV{DESTDIR}\${rfid_config_dir}/rfid-tokend.toml\")
    else()
      file(INSTALL \"${RFID_PACKAGING_DIR}/rfid-tokend.toml\" DESTINATION \"\${rfid_config_dir}\"
           PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/docs/packaging.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/module-rfid)

# ---- CPack -----------------------------------------------------------------
# Debian architecture of the target: the toolchain's processor, or the
# build machine's when not cross-compiling.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" rfid_processor)
  if(rfid_processor MATCHES "^(x86_64|amd64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  elseif(rfid_processor MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(rfid_processor MATCHES "^arm" AND CMAKE_C_COMPILER MATCHES "gnueabihf")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  elseif(rfid_processor MATCHES "^i[3-6]86$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  else()
    message(STATUS "Packaging: no Debian architecture known for '${CMAKE_SYSTEM_PROCESSOR}'; "
                   "set CPACK_DEBIAN_PACKAGE_ARCHITECTURE to build packages")
  endif()
endif()

# What the programs link at run time (CI compares this with what
# dpkg-shlibdeps finds in the amd64 package). The libraries need the C
# library only; glibc 2.34 brings the 64-bit time functions of the 32-bit
# targets.
set(rfid_depends "libc6 (>= 2.34)")
if(TARGET rfidctl OR TARGET rfid-reader-sim OR TARGET rfid-tokend)
  string(APPEND rfid_depends ", libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
endif()
if(TARGET rfid-tokend)
  # Debian builds toml++ as a shared library (TOML_HEADER_ONLY=0), and the
  # service links that. It loads its TLS files with OpenSSL before it starts,
  # and checks fleet cards with libcrypto's AES and CMAC.
  string(APPEND rfid_depends ", libmosquitto1 (>= 2.0), libtomlplusplus3 (>= 3.3), libssl3 (>= 3.0.0)")
elseif(TARGET rfid_cardauth)
  # rfidctl's fleet card commands: AES and CMAC from OpenSSL 3's libcrypto,
  # and the fleet key file read with toml++.
  string(APPEND rfid_depends ", libssl3 (>= 3.0.0), libtomlplusplus3 (>= 3.3)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME module-rfid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Module_RFID maintainers <maintainers@users.noreply.c-seed-c06dfee0.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "RFID card readers of EV chargers: module, bench tools and token provider")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
     "Module_RFID drives VOR and Elatec RFID card readers on a serial port through"
     "a plain C interface: static and shared library, header, CMake and pkg-config"
     "files. rfidctl is the bench tool, rfid-reader-sim the simulated readers."
     "rfid-tokend, a systemd service, turns card taps into charging tokens on the"
     "charger's MQTT broker.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${rfid_depends}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
if(TARGET rfid-tokend)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${RFID_PACKAGING_DIR}/debian/conffiles ${RFID_PACKAGING_DIR}/debian/triggers
      ${RFID_PACKAGING_DIR}/debian/postinst ${RFID_PACKAGING_DIR}/debian/prerm
      ${RFID_PACKAGING_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
