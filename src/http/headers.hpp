// Answer headers: a read-only mapping looked up by name without regard to case.
#pragma once
#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
    void clear() {
        fields_.clear();
        index_.clear();
    }

    const std::string* find(std::string_view name) const;
    size_t size() const { return fields_.size(); }
    const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

private:
    // Few fields are searched in order; past this many, through the index, so that an answer
    // with thousands of distinct names costs no quadratic time.
    static constexpr size_t kLinearFields = 16;
    static std::string folded(std::string_view name);
    size_t position(std::string_view name) const;  // fields_.size() when absent

    std::vector<std::pair<std::string, std::string>> fields_;  // first spelling of each name kept
    std::unordered_map<std::string, size_t> index_;            // lower-case name -> position, once past kLinearFields
};

// The value of `parameter` (e.g. "charset") in a header value such as "text/plain; charset=utf-8".
std::optional<std::string> header_parameter(std::string_view value, std::string_view parameter);

bool equals_ignoring_case(std::string_view a, std::string_view b);

void bind_headers(nb::module_& m);

}  // namespace korvane::http
