// Paging, for both drivers: every record of a list call, one page (one call) at a time.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>

namespace korvane::api::engine {

namespace nb = nanobind;

// Adds method `name` to `cls`: it takes the filters `filters` of the list method `list_name` by
// keyword, plus `page_size`, and returns an iterator that calls `self.<list_name>(**filters,
// limit=page_size, offset=...)` lazily, one page per request, until a page comes back short.
// `signature` is the method's nanobind signature (nb::sig text); `doc` its documentation.
// Returns the awaited twin: a function (manager, **kwargs) with the same checks, whose async
// iterator awaits `manager.<list_name>(...)` for each page.
nb::object add_page_iterator(nb::handle cls, const char* name, const char* list_name,
                             std::initializer_list<const char*> filters, const char* signature, const char* doc);

}  // namespace korvane::api::engine
