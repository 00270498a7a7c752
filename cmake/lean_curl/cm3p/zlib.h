/* The vendored libcurl (cmake/curl.cmake) names zlib through its vendor's wrapper folder: the system's zlib. */
#pragma once
#include <zlib.h>
