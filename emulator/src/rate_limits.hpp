// Per-caller request and token limits over fixed windows, and the counters that prove them kept.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "json_util.hpp"

namespace korvane::emulator {

// Limits as a platform states them: per minute. The window they are counted over may be shorter
// (tests): a window of W seconds admits limit * W / 60 (rounded down, at least 1), so the allowed
// rate stays the same whatever the window.
struct LimitSettings {
    std::int64_t requests_per_minute = 0;  // 0: unlimited
    std::int64_t tokens_per_minute = 0;    // 0: unlimited
    double window_seconds = 60.0;
};

// Why a request was refused: the 429's Retry-After (whole seconds until the window frees), or,
// for a request that could never fit a window, nothing (it is refused outright).
struct Refusal {
    std::optional<std::int64_t> retry_after_seconds;
    std::string detail;
};

class RateLimits {
public:
    explicit RateLimits(LimitSettings initial);

    // Counts a platform request's batch id (every arrival, refused or not; empty: none sent).
    void count_batch_id(const std::string& batch_id);
    // A request of `caller` ("admin" or a tenant id) arrives: admitted into its window, or refused.
    std::optional<Refusal> admit_request(const std::string& caller);
    // An admitted request's tokens, known once its answer is made: charged, or refused. (The request
    // stays counted in the window it was admitted to: a platform counts what it received.)
    std::optional<Refusal> admit_tokens(const std::string& caller, std::int64_t tokens);

    // {"requests_per_minute": N|null, "tokens_per_minute": N|null, "window_seconds": S}; members
    // left out stay as they are, and a new window starts (its counts empty). Throws ApiError 422 on
    // bad input, changing nothing.
    void configure(const Json& body);
    Json settings() const;
    // Settings, the counts per caller and window, and the requests per batch id.
    Json snapshot() const;
    // Back to the start-up settings, counters emptied.
    void reset();

private:
    struct WindowCount {
        std::int64_t requests = 0;
        std::int64_t tokens = 0;
        std::int64_t limited = 0;
    };
    using Clock = std::chrono::steady_clock;
    // Distinct batch ids and kept windows beyond these are not remembered one by one, so a
    // long-running stand-in cannot grow without bound.
    static constexpr std::size_t max_batch_ids = 1000000;
    static constexpr std::size_t max_windows = 100000;

    std::int64_t window_index(Clock::time_point now) const;
    std::int64_t seconds_to_next_window(Clock::time_point now) const;
    std::int64_t per_window(std::int64_t per_minute) const;
    WindowCount& current(const std::string& caller, std::int64_t index);
    Refusal refusal(const char* what, std::int64_t limit, Clock::time_point now) const;

    const LimitSettings initial_;
    mutable std::mutex mutex_;
    LimitSettings settings_;
    Clock::time_point epoch_;  // windows are numbered from here; new settings restart it
    std::map<std::pair<std::int64_t, std::string>, WindowCount> windows_;
    std::map<std::string, std::int64_t> batch_ids_;
    std::int64_t unlisted_batch_ids_ = 0;
    std::int64_t limited_ = 0;
};

}  // namespace korvane::emulator
