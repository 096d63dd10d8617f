# GoogleTest for the test suite, as the targets GTest::gtest,
# GTest::gtest_main, GTest::gmock and GTest::gmock_main.
#
# Native builds use the installed package. Cross builds compile GoogleTest
# for the target from the sources of Debian's googletest package, and make a
# later find_package(GTest) in any test directory succeed with these same
# targets, so test CMake files need nothing special for the target build.
#
# Test executables built for the target are listed under the emulator when
# ctest starts (gtest_discover_tests in PRE_TEST mode), not while building.

if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest REQUIRED)
  return()
endif()

set(RFID_GOOGLETEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources to build for the target (Debian package googletest)")
if(NOT EXISTS ${RFID_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${RFID_GOOGLETEST_SOURCE_DIR}: "
                      "install the Debian package googletest")
endif()

if(NOT TARGET GTest::gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  # GoogleTest is a static test dependency whatever the module is built as.
  set(_rfid_shared_libs ${BUILD_SHARED_LIBS})
  set(BUILD_SHARED_LIBS OFF)
  # SYSTEM keeps GoogleTest's headers out of the project's warnings.
  set(_rfid_system "")
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.25)
    set(_rfid_system SYSTEM)
  endif()
  add_subdirectory(${RFID_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest
                   EXCLUDE_FROM_ALL ${_rfid_system})
  set(BUILD_SHARED_LIBS ${_rfid_shared_libs})
endif()

# find_package() looks in the redirects directory before anything else, in
# module and config mode alike; a config file there reports the targets above.
if(NOT CMAKE_FIND_PACKAGE_REDIRECTS_DIR)
  set(CMAKE_FIND_PACKAGE_REDIRECTS_DIR ${CMAKE_BINARY_DIR}/CMakeFiles/pkgRedirects)
endif()
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake
     "# GoogleTest built from source for the target by cmake/gtest.cmake.\n"
     "set(GTest_FOUND TRUE)\nset(GTEST_FOUND TRUE)\n"
     "set(GTEST_LIBRARIES GTest::gtest)\nset(GTEST_MAIN_LIBRARIES GTest::gtest_main)\n"
     "set(GTEST_BOTH_LIBRARIES GTest::gtest GTest::gtest_main)\n")
file(READ ${RFID_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt _rfid_googletest_lists)
string(REGEX MATCH "GOOGLETEST_VERSION ([0-9.]+)" _ "${_rfid_googletest_lists}")
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config-version.cmake
     "set(PACKAGE_VERSION ${CMAKE_MATCH_1})\n"
     "if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)\n"
     "  set(PACKAGE_VERSION_COMPATIBLE FALSE)\nelse()\n"
     "  set(PACKAGE_VERSION_COMPATIBLE TRUE)\nendif()\n")

if(NOT DEFINED CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
