# Provides korvane_simdjson: simdjson compiled from its single-file release into whatever links it,
# so the extension loads no JSON shared library at import time.
#
# The release pair (simdjson.h + simdjson.cpp) comes from a pinned source distribution on the package
# index that bundles it: cmake/fetch_simdjson.py fetches it once into KORVANE_THIRD_PARTY_DIR (with
# nothing but the interpreter's standard library, so it works in pip's isolated build environment),
# checks its sha256 and unpacks the pair; later builds reuse it offline. KORVANE_SIMDJSON_DIR may name
# a folder that already holds the pair instead. There is no other way in: every build compiles the
# same pinned release. A source distribution carries the pinned archive in third_party/
# (packaging/sdist.sh puts it there), so a build from it needs no network; it is checked like a
# fetched one.
include_guard(GLOBAL)

set(KORVANE_SIMDJSON_DISTRIBUTION "pysimdjson" CACHE INTERNAL "")
set(KORVANE_SIMDJSON_DISTRIBUTION_VERSION "7.0.2" CACHE INTERNAL "")
set(KORVANE_SIMDJSON_DISTRIBUTION_SHA256
    "44cf276e48912a3b9c7ca362c14da8420a7ac15a9f1a16ec95becff86db3904a" CACHE INTERNAL "")
set(KORVANE_THIRD_PARTY_DIR "" CACHE PATH "Where fetched third-party sources are kept between builds")
if(NOT KORVANE_THIRD_PARTY_DIR)
  # Beside the per-interpreter build folders, so every build of a checkout shares one fetch.
  set(KORVANE_THIRD_PARTY_DIR "${CMAKE_CURRENT_LIST_DIR}/../build/third_party")
endif()
set(KORVANE_SIMDJSON_DIR "" CACHE PATH "A folder holding simdjson.h and simdjson.cpp (skips the fetch)")

if(NOT TARGET korvane_simdjson)
  set(source_dir "${KORVANE_SIMDJSON_DIR}")
  if(NOT source_dir)
    set(source_dir "${KORVANE_THIRD_PARTY_DIR}/${KORVANE_SIMDJSON_DISTRIBUTION}-${KORVANE_SIMDJSON_DISTRIBUTION_VERSION}")
    set(bundled "${CMAKE_CURRENT_LIST_DIR}/../third_party/${KORVANE_SIMDJSON_DISTRIBUTION}-${KORVANE_SIMDJSON_DISTRIBUTION_VERSION}.tar.gz")
    if(EXISTS "${bundled}" AND NOT EXISTS "${KORVANE_THIRD_PARTY_DIR}/${KORVANE_SIMDJSON_DISTRIBUTION}-${KORVANE_SIMDJSON_DISTRIBUTION_VERSION}.tar.gz")
      file(COPY "${bundled}" DESTINATION "${KORVANE_THIRD_PARTY_DIR}")
    endif()
    if(NOT EXISTS "${source_dir}/simdjson.h" OR NOT EXISTS "${source_dir}/simdjson.cpp")
      if(NOT Python_EXECUTABLE)
        find_package(Python 3.10 COMPONENTS Interpreter REQUIRED)
      endif()
      message(STATUS "simdjson: unpacking (fetching first if needed) ${KORVANE_SIMDJSON_DISTRIBUTION} ${KORVANE_SIMDJSON_DISTRIBUTION_VERSION}")
      execute_process(
        COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/fetch_simdjson.py" "${KORVANE_THIRD_PARTY_DIR}"
                "${KORVANE_SIMDJSON_DISTRIBUTION}" "${KORVANE_SIMDJSON_DISTRIBUTION_VERSION}"
                "${KORVANE_SIMDJSON_DISTRIBUTION_SHA256}"
        RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR
          "Could not fetch simdjson (see above). Build once with network access to the package index, "
          "or pass -DKORVANE_SIMDJSON_DIR=<folder with simdjson.h and simdjson.cpp>.")
      endif()
    endif()
  endif()
  if(NOT EXISTS "${source_dir}/simdjson.h" OR NOT EXISTS "${source_dir}/simdjson.cpp")
    message(FATAL_ERROR "simdjson: ${source_dir} does not hold simdjson.h and simdjson.cpp")
  endif()
  message(STATUS "simdjson: compiled in from ${source_dir}")
  add_library(korvane_simdjson STATIC "${source_dir}/simdjson.cpp")
  # Its own folder first, ahead of any system copy of the header.
  target_include_directories(korvane_simdjson SYSTEM BEFORE PUBLIC "${source_dir}")
  set_target_properties(korvane_simdjson PROPERTIES POSITION_INDEPENDENT_CODE ON
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endif()
