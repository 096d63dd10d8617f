# rfid_library(TARGET ALIAS SOURCES...): a static library of the programs
# around the module, as RFID::ALIAS, its headers under include/ beside its
# CMakeLists.txt, C++17 and the project's warnings with -Wpedantic. Static
# whatever BUILD_SHARED_LIBS says: only the module is shipped as a library.
function(rfid_library target alias)
  add_library(${target} STATIC ${ARGN})
  add_library(RFID::${alias} ALIAS ${target})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_compile_features(${target} PUBLIC cxx_std_17)
  target_link_libraries(${target} PRIVATE rfid_warnings)
  target_compile_options(${target} PRIVATE -Wpedantic)
endfunction()
