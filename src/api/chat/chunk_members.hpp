// The top-level members of a streamed chunk's JSON object, walked without decoding them (pure C++).
#pragma once
#include <functional>
#include <string_view>

namespace korvane::api {

// Calls found(key, value) for each member of the JSON object `data`, in order: `key` is the member's
// name as written (quotes and escapes included), `value` its value's text. Nested values are skipped
// by counting brackets, never by recursion. Meant for text already read as a JSON object; on other
// text the walk stops where it stops making sense, and false is returned.
bool walk_object_members(std::string_view data, const std::function<void(std::string_view, std::string_view)>& found);

}  // namespace korvane::api
