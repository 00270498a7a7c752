// Request URLs: escaping of bytes a URL may not carry raw, and query encoding of `params`.
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace korvane::http {

namespace nb = nanobind;

// Percent-encodes, after the host, every byte a URL may not carry raw (space, controls, non-ASCII,
// quotes and the like) and every "%" that does not start an escape; valid escapes stay as they are.
std::string escape_url(std::string_view url);

// Appends `params` to the query of `url` (before any fragment): null values left out, a list or
// other iterable value repeated once per element, other values in their text form (str()), each
// name and value form-escaped. A str or bytes `params` is taken as ready query text.
void append_query(std::string& url, nb::handle params);

// Form escaping of one name or value: "+" for space, unreserved characters kept, the rest %XX.
void form_escape(std::string_view text, std::string& out);

// Percent-encodes `bytes` as one path segment: every byte but the unreserved characters (letters,
// digits, "-", ".", "_", "~") becomes %XX, so "/", "?", "#" and "%" can never end, cut or re-mean
// the segment. The result holds only unreserved characters and escapes, which escape_url() keeps.
void escape_segment(std::string_view bytes, std::string& out);

// Whether `segment` is "." or "..": no escaping keeps a server from reading them as dot-segments.
inline bool is_dot_segment(std::string_view segment) { return segment == "." || segment == ".."; }

// Raises InvalidURL (with libcurl's own text) unless libcurl takes `url` as an http or https URL.
void check_url(const std::string& url);

}  // namespace korvane::http
