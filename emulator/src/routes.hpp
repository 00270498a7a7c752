// Registration of every route family, and helpers the families share.
#pragma once

#include <cstdint>

#include "json_util.hpp"
#include "request_context.hpp"
#include "router.hpp"
#include "services.hpp"

namespace korvane::emulator {

void add_chat_routes(Router& router, Services& services);
void add_tenant_routes(Router& router, Services& services);
void add_feedback_routes(Router& router, Services& services);
void add_training_routes(Router& router, Services& services);
void add_dataset_routes(Router& router, Services& services);
// The /_emulator control paths, on their own router.
void add_control_routes(Router& router, Services& services);

using ServiceHandler = void (*)(RequestContext&, Services&);

// A route handler that calls fn with the shared services.
inline Handler bound(Services& services, ServiceHandler fn) {
    return [&services, fn](RequestContext& ctx) { fn(ctx, services); };
}

// limit (default 100, at most 10000) and offset query values.
struct Page {
    std::int64_t limit;
    std::int64_t offset;

    static Page from(const RequestContext& ctx);
    bool takes(std::int64_t index) const { return index >= offset && index - offset < limit; }
};

// {"<member>": items, "total": matched, "limit": ..., "offset": ...}
Json list_answer(const char* member, Json items, std::int64_t total, const Page& page);

// Lengths of names: 1 to 255 characters (counted in UTF-8 code points).
void check_name_length(const std::string& name, const char* field);

}  // namespace korvane::emulator
