// The shared objects every route handler works with.
#pragma once

#include "faults.hpp"
#include "options.hpp"
#include "rate_limits.hpp"
#include "signals.hpp"
#include "store.hpp"

namespace korvane::emulator {

struct Services {
    const Options& options;
    Store& store;
    RequestStats& stats;
    Faults& faults;
    RateLimits& limits;
    Shutdown& shutdown;
};

}  // namespace korvane::emulator
