# Provides korvane_lean_curl: a static, position-independent libcurl with only what the SDK uses,
# for the wheels (KORVANE_LEAN_CURL=ON), linked whole into libkorvane_curl.so so that a wheel carries
# one libcurl and the three libraries it needs (OpenSSL, nghttp2, zlib) instead of a distribution's
# libcurl with its thirty.
#
# What it keeps: HTTP/1.1 and HTTP/2 (nghttp2) over TLS with OpenSSL, gzip/deflate (zlib: the
# Accept-Encoding the SDK sends), proxies with Basic authentication (http_proxy and friends),
# date parsing (curl_getdate, for Retry-After), the threaded resolver (a name lookup never blocks
# the event loop that drives the asynchronous client), IPv6. What it drops: every other protocol,
# cookies, HSTS, alt-svc, DNS-over-HTTPS, netrc, MIME, WebSockets, Kerberos, NTLM, SASL, SSH, LDAP,
# RTMP, IDN, PSL, brotli and zstd, and any CA location of the build machine (the SDK finds the
# running machine's store itself: src/http/trust.cpp, ca_store()).
#
# The source is curl's release as the pinned CMake source distribution on the package index vendors
# it (cmake/fetch_curl.py fetches, checks and unpacks it once into KORVANE_THIRD_PARTY_DIR; later
# builds reuse it offline); KORVANE_CURL_SOURCE_DIR may name an unpacked tree instead. A TLS or curl
# security fix reaches users by a new wheel: see HACKING.md, "The lean libcurl".
include_guard(GLOBAL)

set(KORVANE_CURL_VERSION "8.20.0" CACHE INTERNAL "")
set(KORVANE_CURL_DISTRIBUTION "cmake" CACHE INTERNAL "")
set(KORVANE_CURL_DISTRIBUTION_VERSION "4.4.5" CACHE INTERNAL "")
set(KORVANE_CURL_DISTRIBUTION_SHA256
    "88088f35743b423482408ec9342ade6299fd01f48f56b2066f51c624cada69a5" CACHE INTERNAL "")
# The CMake source release inside that distribution.
set(KORVANE_CURL_RELEASE_SHA256
    "a0c54c88abb8078dd8eccadb717fc6bb194bf18e7d44c86309910288886e04e2" CACHE INTERNAL "")
set(KORVANE_CURL_SOURCE_DIR "" CACHE PATH "An unpacked curl tree made by cmake/fetch_curl.py (skips the fetch)")

if(CMAKE_VERSION VERSION_LESS 3.24)
  message(FATAL_ERROR "KORVANE_LEAN_CURL needs CMake 3.24 or newer (this is ${CMAKE_VERSION})")
endif()

# A function, so that the settings below stay in curl's build and leave the project's untouched.
function(korvane_add_lean_curl)
  set(curl_dir "${KORVANE_CURL_SOURCE_DIR}")
  if(NOT curl_dir)
    set(curl_dir "${KORVANE_THIRD_PARTY_DIR}/curl-${KORVANE_CURL_VERSION}")
    if(NOT EXISTS "${curl_dir}/CMakeLists.txt")
      message(STATUS "libcurl: unpacking (fetching first if needed) curl ${KORVANE_CURL_VERSION}")
      execute_process(
        COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/fetch_curl.py" "${KORVANE_THIRD_PARTY_DIR}"
                "${KORVANE_CURL_DISTRIBUTION}" "${KORVANE_CURL_DISTRIBUTION_VERSION}"
                "${KORVANE_CURL_DISTRIBUTION_SHA256}" "${KORVANE_CURL_RELEASE_SHA256}" "${KORVANE_CURL_VERSION}"
        RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR
          "Could not fetch libcurl's source (see above). Build once with network access to the package "
          "index, pass -DKORVANE_CURL_SOURCE_DIR=<tree made by cmake/fetch_curl.py>, or build without "
          "KORVANE_LEAN_CURL to use the system's libcurl.")
      endif()
    endif()
  endif()
  if(NOT EXISTS "${curl_dir}/include/curl/curl.h")
    message(FATAL_ERROR "libcurl: ${curl_dir} holds no curl source")
  endif()

  # Normal variables: curl's build reads each either as such or through an option() that a normal
  # variable of the same name overrides (policy CMP0077).
  set(CMAKE_POLICY_DEFAULT_CMP0077 NEW)
  set(BUILD_SHARED_LIBS OFF)
  set(BUILD_STATIC_LIBS ON)
  set(BUILD_CURL_EXE OFF)
  set(BUILD_TESTING OFF)
  set(CURL_DISABLE_INSTALL ON)
  set(CURL_WERROR OFF)
  set(PICKY_COMPILER OFF)
  set(CURL_USE_PKGCONFIG OFF)  # found with CMake's own search, which cross builds point at the target
  set(CURL_USE_CMAKECONFIG OFF)
  set(CURL_HIDDEN_SYMBOLS ON)  # only curl_* leaves the library
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  # TLS: OpenSSL alone.
  set(CMAKE_USE_OPENSSL ON)
  set(CURL_ENABLE_SSL ON)
  set(CURL_USE_OPENSSL ON)
  foreach(other IN ITEMS MBEDTLS WOLFSSL GNUTLS RUSTLS SCHANNEL)
    set(CURL_USE_${other} OFF)
  endforeach()
  set(CURL_DISABLE_SRP ON)
  # OpenSSL and zlib are linked in too, from the static, position-independent archives the
  # distribution's -dev packages ship, instead of being copied into the wheel beside it: the first
  # client then has the dynamic loader bind libcrypto's and libssl's thousands of symbols nowhere
  # (their calls are resolved inside this library at link time), which was about a fifth of that
  # client's cost. Their symbols stay hidden (src/curl_link/exports.map), so the process's own
  # OpenSSL (Python's ssl module) and ours never meet. nghttp2 stays a shared library beside it:
  # Debian's static archive of it is not position-independent.
  set(OPENSSL_USE_STATIC_LIBS ON)
  set(ZLIB_USE_STATIC_LIBS ON)
  # The searches cache what they find, and a build folder is shared with builds from source, which
  # want the shared libraries: the static ones are looked up afresh at each configure and forgotten
  # once curl's targets hold them (below).
  set(static_found OPENSSL_SSL_LIBRARY OPENSSL_CRYPTO_LIBRARY ZLIB_LIBRARY ZLIB_LIBRARY_RELEASE ZLIB_LIBRARY_DEBUG)
  foreach(found IN LISTS static_found)
    unset(${found} CACHE)
  endforeach()
  # No CA file or folder of the build machine is compiled in.
  unset(CURL_CA_BUNDLE)
  unset(CURL_CA_PATH)
  # HTTP/1.1 and HTTP/2; gzip and deflate.
  set(HTTP_ONLY ON)
  set(USE_NGHTTP2 ON)
  set(USE_NGTCP2 OFF)
  set(USE_QUICHE OFF)
  set(USE_OPENSSL_QUIC OFF)
  set(CMAKE_USE_SYSTEM_ZLIB ON)
  set(CURL_ZLIB ON)
  set(CURL_BROTLI OFF)
  set(CURL_ZSTD OFF)
  # Name lookups on a thread of libcurl's; IPv6; no local sockets (the SDK speaks TCP only).
  set(ENABLE_THREADED_RESOLVER ON)
  set(ENABLE_ARES OFF)
  set(ENABLE_IPV6 ON)
  set(ENABLE_UNIX_SOCKETS OFF)
  # Nothing of what follows is used by the SDK.
  foreach(library IN ITEMS USE_LIBIDN2 CURL_USE_LIBPSL CURL_USE_LIBSSH2 CURL_USE_LIBSSH CURL_USE_GSASL
                           CURL_USE_GSSAPI USE_LIBRTMP CURL_USE_LIBUV CURL_USE_LIBBACKTRACE USE_HTTPSRR USE_ECH
                           USE_SSLS_EXPORT USE_APPLE_IDN USE_APPLE_SECTRUST USE_WIN32_IDN CURL_ENABLE_NTLM
                           CURL_ENABLE_SMB)
    set(${library} OFF)
  endforeach()
  foreach(feature IN ITEMS ALTSVC AWS COOKIES DIGEST_AUTH DOH FORM_API GETOPTIONS HEADERS_API HSTS IPFS
                           KERBEROS_AUTH LIBCURL_OPTION MIME MQTT NEGOTIATE_AUTH NETRC PROGRESS_METER
                           SHUFFLE_DNS WEBSOCKETS TYPECHECK)
    set(CURL_DISABLE_${feature} ON)
  endforeach()
  # Kept: Basic authentication (credentials in a proxy's URL), proxies, date parsing, and the
  # verbose error texts the SDK's messages quote.
  foreach(feature IN ITEMS BASIC_AUTH BEARER_AUTH HTTP_AUTH PROXY PARSEDATE VERBOSE_STRINGS SOCKETPAIR
                           BINDLOCAL SHA512_256 OPENSSL_AUTO_LOAD_CONFIG)
    set(CURL_DISABLE_${feature} OFF)
  endforeach()
  # The vendored build installs its licence under this folder (we install it ourselves instead).
  set(CMake_INSTALL_DOC_DIR "share/doc/korvane-curl")

  # Excluded from the default build and install: only what links korvane_lean_curl is built.
  add_subdirectory("${curl_dir}" "${CMAKE_CURRENT_BINARY_DIR}/lean-curl" EXCLUDE_FROM_ALL)
  foreach(found IN LISTS static_found)
    unset(${found} CACHE)
  endforeach()
  # Two headers of the vendor's that the vendored sources include (cmake/lean_curl/cm3p/).
  target_include_directories(cmcurl PRIVATE "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/lean_curl")
  add_library(korvane_lean_curl INTERFACE)
  target_include_directories(korvane_lean_curl SYSTEM INTERFACE "${curl_dir}/include")
  # Whole: every function of libcurl's API, referenced or not, is in the library that links it.
  target_link_libraries(korvane_lean_curl INTERFACE "$<LINK_LIBRARY:WHOLE_ARCHIVE,cmcurl>")
  set(KORVANE_CURL_LICENSE "${curl_dir}/COPYING" PARENT_SCOPE)
  message(STATUS "libcurl: lean ${KORVANE_CURL_VERSION}, static, from ${curl_dir}")
endfunction()

if(NOT TARGET korvane_lean_curl)
  korvane_add_lean_curl()
endif()
