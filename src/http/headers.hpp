// Answer headers: a read-only mapping looked up by name without regard to case.
#pragma once
#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::http {

namespace nb = nanobind;

class HeaderMap {
public:
    // Adds one received field; a repeated name joins its values with ", " as HTTP allows.
    void add(std::string_view name, std::string_view value);
    // Appends an obsolete folded continuation line to the last field.
    void continue_last(std::string_view more);
    void clear() { fields_.clear(); }

    const std::string* find(std::string_view name) const;
    size_t size() const { return fields_.size(); }
    const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

private:
    std::vector<std::pair<std::string, std::string>> fields_;  // first spelling of each name kept
};

// The value of `parameter` (e.g. "charset") in a header value such as "text/plain; charset=utf-8".
std::optional<std::string> header_parameter(std::string_view value, std::string_view parameter);

bool equals_ignoring_case(std::string_view a, std::string_view b);

void bind_headers(nb::module_& m);

}  // namespace korvane::http
