# Provides korvane_simdjson: simdjson compiled from its single-file release into whatever links it,
# so the extension loads no JSON shared library at import time.
#
# The release pair (simdjson.h + simdjson.cpp) is taken from a pinned PyPI source distribution that
# bundles it, fetched with pip once into KORVANE_THIRD_PARTY_DIR and checked against its sha256; later
# builds reuse it offline. KORVANE_SIMDJSON_DIR may name a folder that already holds the pair. When
# neither is available the system's shared simdjson is used instead.
include_guard(GLOBAL)

set(KORVANE_SIMDJSON_DISTRIBUTION "pysimdjson" CACHE INTERNAL "")
set(KORVANE_SIMDJSON_DISTRIBUTION_VERSION "7.0.2" CACHE INTERNAL "")
set(KORVANE_SIMDJSON_DISTRIBUTION_SHA256
    "44cf276e48912a3b9c7ca362c14da8420a7ac15a9f1a16ec95becff86db3904a" CACHE INTERNAL "")
set(KORVANE_THIRD_PARTY_DIR "" CACHE PATH "Where fetched third-party sources are kept between builds")
if(NOT KORVANE_THIRD_PARTY_DIR)
  set(KORVANE_THIRD_PARTY_DIR "${CMAKE_BINARY_DIR}/third_party")
endif()
set(KORVANE_SIMDJSON_DIR "" CACHE PATH "A folder holding simdjson.h and simdjson.cpp (skips the fetch)")

function(korvane_fetch_simdjson out_dir)
  set(name "${KORVANE_SIMDJSON_DISTRIBUTION}-${KORVANE_SIMDJSON_DISTRIBUTION_VERSION}")
  set(dir "${KORVANE_THIRD_PARTY_DIR}/${name}")
  set(${out_dir} "" PARENT_SCOPE)
  if(EXISTS "${dir}/simdjson.h" AND EXISTS "${dir}/simdjson.cpp")
    set(${out_dir} "${dir}" PARENT_SCOPE)
    return()
  endif()
  set(archive "${KORVANE_THIRD_PARTY_DIR}/${name}.tar.gz")
  if(EXISTS "${archive}")
    file(SHA256 "${archive}" actual)
  endif()
  if(NOT actual STREQUAL KORVANE_SIMDJSON_DISTRIBUTION_SHA256)
    message(STATUS "Fetching the simdjson single-file release (${name}, source distribution)")
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary :all:
              --dest "${KORVANE_THIRD_PARTY_DIR}" "${KORVANE_SIMDJSON_DISTRIBUTION}==${KORVANE_SIMDJSON_DISTRIBUTION_VERSION}"
      RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE why)
    if(failed OR NOT EXISTS "${archive}")
      message(WARNING "Could not fetch ${name}: ${why}")
      return()
    endif()
    file(SHA256 "${archive}" actual)
    if(NOT actual STREQUAL KORVANE_SIMDJSON_DISTRIBUTION_SHA256)
      # A changed archive is never compiled in: it is removed so the next build fetches afresh.
      file(REMOVE "${archive}")
      message(WARNING "${name}: sha256 ${actual} is not the pinned ${KORVANE_SIMDJSON_DISTRIBUTION_SHA256}")
      return()
    endif()
  endif()
  # Unpacked beside the final folder, then renamed, so an interrupted build leaves no half pair.
  set(staging "${dir}.unpacking")
  file(REMOVE_RECURSE "${staging}")
  file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${staging}"
       PATTERNS "${name}/simdjson/simdjson.h" "${name}/simdjson/simdjson.cpp")
  file(MAKE_DIRECTORY "${dir}")
  foreach(part simdjson.h simdjson.cpp)
    file(RENAME "${staging}/${name}/simdjson/${part}" "${dir}/${part}.part")
  endforeach()
  file(REMOVE_RECURSE "${staging}")
  file(RENAME "${dir}/simdjson.h.part" "${dir}/simdjson.h")
  file(RENAME "${dir}/simdjson.cpp.part" "${dir}/simdjson.cpp")
  set(${out_dir} "${dir}" PARENT_SCOPE)
endfunction()

if(NOT TARGET korvane_simdjson)
  set(source_dir "${KORVANE_SIMDJSON_DIR}")
  if(NOT source_dir)
    korvane_fetch_simdjson(source_dir)
  endif()
  if(source_dir AND EXISTS "${source_dir}/simdjson.cpp")
    message(STATUS "simdjson: compiled in from ${source_dir}")
    set(KORVANE_SIMDJSON_BUNDLED ON)
    add_library(korvane_simdjson STATIC "${source_dir}/simdjson.cpp")
    # Its own folder first, ahead of any system copy of the header.
    target_include_directories(korvane_simdjson SYSTEM BEFORE PUBLIC "${source_dir}")
    set_target_properties(korvane_simdjson PROPERTIES POSITION_INDEPENDENT_CODE ON
                          CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  else()
    message(STATUS "simdjson: using the system's shared library")
    set(KORVANE_SIMDJSON_BUNDLED OFF)
    find_package(simdjson CONFIG REQUIRED)
    add_library(korvane_simdjson INTERFACE)
    target_link_libraries(korvane_simdjson INTERFACE simdjson::simdjson)
  endif()
endif()
