// The /_emulator control paths: faults, rate limits, reset, request statistics and trace contexts.
#include "routes.hpp"

namespace korvane::emulator {
namespace {

void set_faults(RequestContext& ctx, Services& services) {
    services.faults.configure(ctx.json_body());
    ctx.send(200, services.faults.describe());
}

void get_faults(RequestContext& ctx, Services& services) { ctx.send(200, services.faults.describe()); }

void reset(RequestContext& ctx, Services& services) {
    {
        auto lock = services.store.lock();
        services.store.clear();
    }
    services.stats.clear();
    services.faults.clear();
    services.limits.reset();
    ctx.send(200, Json{{"reset", true}});
}

void set_limits(RequestContext& ctx, Services& services) {
    services.limits.configure(ctx.json_body());
    ctx.send(200, services.limits.settings());
}

void get_limits(RequestContext& ctx, Services& services) { ctx.send(200, services.limits.snapshot()); }

void stats(RequestContext& ctx, Services& services) { ctx.send(200, services.stats.snapshot()); }

void traceparents(RequestContext& ctx, Services& services) { ctx.send(200, services.stats.traceparents()); }

}  // namespace

void add_control_routes(Router& router, Services& services) {
    router.add("POST", "/_emulator/faults", Access::admin, bound(services, set_faults));
    router.add("GET", "/_emulator/faults", Access::admin, bound(services, get_faults));
    router.add("POST", "/_emulator/reset", Access::admin, bound(services, reset));
    router.add("POST", "/_emulator/limits", Access::admin, bound(services, set_limits));
    router.add("GET", "/_emulator/limits", Access::admin, bound(services, get_limits));
    router.add("GET", "/_emulator/stats", Access::admin, bound(services, stats));
    router.add("GET", "/_emulator/traceparents", Access::admin, bound(services, traceparents));
}

}  // namespace korvane::emulator
