/* The type sizes the vendored libcurl's configuration header (cmake/curl.cmake) takes from its
 * vendor's ABI header, here from the compiler (GCC and Clang predefine them for the target). */
#pragma once
#define KWIML_ABI_SIZEOF_INT __SIZEOF_INT__
#define KWIML_ABI_SIZEOF_SHORT __SIZEOF_SHORT__
#define KWIML_ABI_SIZEOF_LONG __SIZEOF_LONG__
#define KWIML_ABI_SIZEOF_LONG_LONG __SIZEOF_LONG_LONG__
#define KWIML_ABI_SIZEOF___INT64 0
