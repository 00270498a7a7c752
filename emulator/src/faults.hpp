// Injected faults: rate limits, server errors, delays and dropped streams.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "json_util.hpp"

namespace korvane::emulator {

// A count of requests a fault still applies to; negative means every request.
struct FaultBudget {
    std::int64_t remaining = 0;

    bool active() const { return remaining != 0; }
    // True when the fault applies to this request, using one unit up.
    bool consume() {
        if (remaining == 0) return false;
        if (remaining > 0) --remaining;
        return true;
    }
};

struct FaultSettings {
    FaultBudget rate_limit;
    std::string retry_after = "1";  // empty: no Retry-After header
    FaultBudget server_error;
    int server_error_status = 500;
    FaultBudget delay;
    double delay_seconds = 0.0;
    FaultBudget drop_stream;
    std::int64_t drop_after_chunks = 0;
};

// What one platform request gets, decided when it arrives.
struct RequestFaults {
    double delay_seconds = 0.0;
    std::optional<std::string> rate_limit_retry_after;  // set: answer 429
    std::optional<int> server_error_status;             // set: answer this 5xx
};

class Faults {
public:
    explicit Faults(FaultSettings initial = {}) : settings_(std::move(initial)) {}

    // Consumes the delay and at most one of rate limit and server error
    // (rate limit first), so two faults queued for "the next request" come one
    // after the other.
    RequestFaults next_request();

    // Consumed by streamed chat answers only: the chunk count after which the
    // connection is cut.
    std::optional<std::int64_t> next_stream_drop();

    // Applies a control body such as {"rate_limit": {"times": 1, "retry_after": "2"}};
    // a null member clears that fault. Throws ApiError 422 on bad input.
    void configure(const Json& body);

    Json describe() const;
    void clear();

private:
    mutable std::mutex mutex_;
    FaultSettings settings_;
};

}  // namespace korvane::emulator
