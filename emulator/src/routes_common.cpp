// Helpers shared by the route families: paging, list answers, name checks.
#include "routes.hpp"

namespace korvane::emulator {

Page Page::from(const RequestContext& ctx) {
    return Page{ctx.query_int("limit", 100, 0, 10000), ctx.query_int("offset", 0, 0, INT64_MAX / 2)};
}

Json list_answer(const char* member, Json items, std::int64_t total, const Page& page) {
    return Json{{member, std::move(items)}, {"total", total}, {"limit", page.limit}, {"offset", page.offset}};
}

void check_name_length(const std::string& name, const char* field) {
    std::size_t code_points = 0;
    for (unsigned char c : name) {
        if ((c & 0xC0) != 0x80) ++code_points;
    }
    if (code_points < 1 || code_points > 255) {
        throw validation_error(std::string("'") + field + "' must be 1 to 255 characters long");
    }
}

}  // namespace korvane::emulator
