# lantrel_link_static_runtime(target): links a short-lived program so that
# starting it loads no library at all.
#
# Claude Code runs lantrel-status on every tool call, and a short run is
# mostly start-up: the dynamic loader mapping libstdc++, libm and libc and
# relocating every page of pointers in them costs several times the tool's
# own work. So the program is a static position-independent executable: one
# file, mapped and relocated by itself, with address-space randomisation kept.
# Debian ships static archives of ICU (see LantrelIcuData.cmake), of the C
# and C++ runtimes, but simdjson only as a shared library. So simdjson is
# built here from Debian's own source package of the very version installed
# (its single file, checked against the package's SHA-256). Unused sections
# are dropped and relative relocations packed (DT_RELR) where the linker can.
#
# The linker warns that the password database (read only when $HOME is
# unset) and ICU's plug-in loader (never used) need, at run time, the C
# library the program was built with: true of any program built on the
# machine it runs on.
#
# Without the source (no network, another simdjson version) or without the
# static C library, the program links the shared libraries as before.
# Sanitizer and fuzzing builds keep them too.

include(CheckLinkerFlag)

set(LANTREL_SIMDJSON_SOURCE_URL
  "http://deb.debian.org/debian/pool/main/s/simdjson/simdjson_3.0.1.orig.tar.gz")
set(LANTREL_SIMDJSON_SOURCE_SHA256
  "156b1bc5eb0561b2bd166b46d191fd3d95a3e709cc63761477d3b7aec2b6e9ed")

function(lantrel_link_static_runtime target)
  if(TARGET LantrelSimdjson AND LANTREL_STATIC_ICU AND LANTREL_LINKER_STATIC_PIE)
    # Drops the shared simdjson and ICU that LantrelCore names otherwise.
    set_target_properties(${target} PROPERTIES LANTREL_ARCHIVES ON POSITION_INDEPENDENT_CODE ON)
    target_link_libraries(${target} PRIVATE LantrelSimdjson)
    target_link_options(${target} PRIVATE -static-pie LINKER:--gc-sections)
    if(LANTREL_LINKER_PACKS_RELOCATIONS)
      target_link_options(${target} PRIVATE LINKER:-z,pack-relative-relocs)
    endif()
  endif()
endfunction()

if(LANTREL_SANITIZE OR LANTREL_BUILD_FUZZ OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  return()
endif()
file(STRINGS ${simdjson_DIR}/simdjson-config-version.cmake installed
  REGEX "PACKAGE_VERSION \"3\\.0\\.1\"")
if(NOT installed)
  message(STATUS "simdjson is not 3.0.1: lantrel-status links the shared libraries")
  return()
endif()

set(archive ${CMAKE_BINARY_DIR}/deps/simdjson_3.0.1.orig.tar.gz)
set(source ${CMAKE_BINARY_DIR}/deps/simdjson-3.0.1/singleheader/simdjson.cpp)
if(NOT EXISTS ${source})
  file(DOWNLOAD ${LANTREL_SIMDJSON_SOURCE_URL} ${archive}
    EXPECTED_HASH SHA256=${LANTREL_SIMDJSON_SOURCE_SHA256} STATUS downloaded TIMEOUT 60)
  list(GET downloaded 0 failed)
  if(failed)
    file(REMOVE ${archive})
    message(STATUS "No simdjson source (${downloaded}): lantrel-status links the shared libraries")
    return()
  endif()
  file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${CMAKE_BINARY_DIR}/deps
    PATTERNS simdjson-3.0.1/singleheader)
endif()

add_library(LantrelSimdjson STATIC ${source})
# The installed header and settings, which LantrelCore was compiled with.
target_include_directories(LantrelSimdjson
  PUBLIC $<TARGET_PROPERTY:simdjson::simdjson,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_definitions(LantrelSimdjson
  PUBLIC $<TARGET_PROPERTY:simdjson::simdjson,INTERFACE_COMPILE_DEFINITIONS>)
target_link_libraries(LantrelSimdjson PUBLIC Threads::Threads)
set_target_properties(LantrelSimdjson PROPERTIES POSITION_INDEPENDENT_CODE ON)
check_linker_flag(CXX -static-pie LANTREL_LINKER_STATIC_PIE)
check_linker_flag(CXX LINKER:-z,pack-relative-relocs LANTREL_LINKER_PACKS_RELOCATIONS)
