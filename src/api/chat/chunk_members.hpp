// The top-level members of a streamed chunk's JSON object, walked without decoding them (pure C++).
#pragma once
#include <cstddef>
#include <functional>
#include <string_view>

namespace korvane::api {

// Calls found(key, value) for each member of the JSON object `data`, in order: `key` is the member's
// name as written (quotes and escapes included), `value` its value's text. Nested values are skipped
// by counting brackets, never by recursion. Meant for text already read as a JSON object; on other
// text the walk stops where it stops making sense, and false is returned.
bool walk_object_members(std::string_view data, const std::function<void(std::string_view, std::string_view)>& found);

// Whether `data` from `at` on is one JSON value (after JSON whitespace), then the '}' that closes
// the object and nothing but whitespace: the value is the object's last member's. Skips the value
// as the walk does (brackets counted, strings jumped), so the same text gives the same answer.
bool is_last_member_value(std::string_view data, std::size_t at);

}  // namespace korvane::api
