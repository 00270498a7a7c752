// Fixed-window request and token limits per caller, their control format and counters.
#include "rate_limits.hpp"

#include <algorithm>
#include <cmath>

#include "errors.hpp"

namespace korvane::emulator {
namespace {

ApiError bad_limit(const std::string& what) { return validation_error("Invalid limit settings: " + what); }

Json limit_json(std::int64_t value) { return value > 0 ? Json(value) : Json(nullptr); }

}  // namespace

RateLimits::RateLimits(LimitSettings initial) : initial_(initial), settings_(initial), epoch_(Clock::now()) {}

std::int64_t RateLimits::window_index(Clock::time_point now) const {
    std::chrono::duration<double> elapsed = now - epoch_;
    return static_cast<std::int64_t>(std::floor(elapsed.count() / settings_.window_seconds));
}

std::int64_t RateLimits::seconds_to_next_window(Clock::time_point now) const {
    std::chrono::duration<double> elapsed = now - epoch_;
    double end = static_cast<double>(window_index(now) + 1) * settings_.window_seconds;
    // Whole seconds, rounded up: a client that waits this long finds the window over.
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(end - elapsed.count())));
}

std::int64_t RateLimits::per_window(std::int64_t per_minute) const {
    if (per_minute <= 0) return 0;
    auto scaled = static_cast<std::int64_t>(
        std::floor(static_cast<double>(per_minute) * settings_.window_seconds / 60.0));
    return std::max<std::int64_t>(1, scaled);
}

RateLimits::WindowCount& RateLimits::current(const std::string& caller, std::int64_t index) {
    auto key = std::make_pair(index, caller);
    auto it = windows_.find(key);
    if (it != windows_.end()) return it->second;
    if (windows_.size() >= max_windows) windows_.erase(windows_.begin());  // the oldest
    return windows_.emplace(std::move(key), WindowCount{}).first->second;
}

Refusal RateLimits::refusal(const char* what, std::int64_t limit, Clock::time_point now) const {
    return Refusal{seconds_to_next_window(now), std::string("Rate limit exceeded: ") + what + " limit of " +
                                                    std::to_string(limit) + " per " +
                                                    Json(settings_.window_seconds).dump() + " s window"};
}

void RateLimits::count_batch_id(const std::string& batch_id) {
    if (batch_id.empty()) return;
    std::scoped_lock lock(mutex_);
    auto it = batch_ids_.find(batch_id);
    if (it != batch_ids_.end()) {
        ++it->second;
    } else if (batch_ids_.size() < max_batch_ids) {
        batch_ids_.emplace(batch_id, 1);
    } else {
        ++unlisted_batch_ids_;
    }
}

std::optional<Refusal> RateLimits::admit_request(const std::string& caller) {
    std::scoped_lock lock(mutex_);
    auto now = Clock::now();
    WindowCount& count = current(caller, window_index(now));
    std::int64_t limit = per_window(settings_.requests_per_minute);
    if (limit > 0 && count.requests >= limit) {
        ++count.limited;
        ++limited_;
        return refusal("requests", limit, now);
    }
    ++count.requests;
    return std::nullopt;
}

std::optional<Refusal> RateLimits::admit_tokens(const std::string& caller, std::int64_t tokens) {
    std::scoped_lock lock(mutex_);
    auto now = Clock::now();
    WindowCount& count = current(caller, window_index(now));
    std::int64_t limit = per_window(settings_.tokens_per_minute);
    if (limit > 0 && count.tokens + tokens > limit) {
        ++count.limited;
        ++limited_;
        if (tokens > limit) {
            // Waiting would never help: refused outright, so that no client retries it forever.
            return Refusal{std::nullopt, "Request needs " + std::to_string(tokens) +
                                             " tokens, more than the limit of " + std::to_string(limit) +
                                             " per window"};
        }
        return refusal("tokens", limit, now);
    }
    count.tokens += tokens;
    return std::nullopt;
}

void RateLimits::configure(const Json& body) {
    if (!body.is_object()) throw bad_limit("body must be a JSON object");
    std::scoped_lock lock(mutex_);
    LimitSettings next = settings_;
    for (const auto& [name, value] : body.items()) {
        if (name == "requests_per_minute" || name == "tokens_per_minute") {
            std::int64_t limit = 0;
            if (!value.is_null()) {
                auto number = json_integer(value);
                if (!number || *number < 1) throw bad_limit(name + " must be a positive integer or null");
                limit = *number;
            }
            (name == "requests_per_minute" ? next.requests_per_minute : next.tokens_per_minute) = limit;
        } else if (name == "window_seconds") {
            if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0.01 ||
                value.get<double>() > 86400) {
                throw bad_limit("window_seconds must be a number from 0.01 to 86400");
            }
            next.window_seconds = value.get<double>();
        } else {
            throw bad_limit("unknown member '" + name + "'");
        }
    }
    // New limits start a new window, as they would on a platform: what was counted under the old
    // ones (and window numbers of another length) says nothing about the new.
    epoch_ = Clock::now();
    windows_.clear();
    settings_ = next;
}

Json RateLimits::settings() const {
    std::scoped_lock lock(mutex_);
    return Json{{"requests_per_minute", limit_json(settings_.requests_per_minute)},
                {"tokens_per_minute", limit_json(settings_.tokens_per_minute)},
                {"window_seconds", settings_.window_seconds},
                {"requests_per_window", limit_json(per_window(settings_.requests_per_minute))},
                {"tokens_per_window", limit_json(per_window(settings_.tokens_per_minute))}};
}

Json RateLimits::snapshot() const {
    Json out = settings();
    std::scoped_lock lock(mutex_);
    Json windows = Json::array();
    for (const auto& [key, count] : windows_) {
        windows.push_back(Json{{"window", key.first},
                               {"caller", key.second},
                               {"requests", count.requests},
                               {"tokens", count.tokens},
                               {"limited", count.limited}});
    }
    Json ids = Json::object();
    for (const auto& [id, count] : batch_ids_) ids[id] = count;
    out["windows"] = std::move(windows);
    out["limited"] = limited_;
    out["batch_ids"] = std::move(ids);
    out["unlisted_batch_ids"] = unlisted_batch_ids_;
    return out;
}

void RateLimits::reset() {
    std::scoped_lock lock(mutex_);
    settings_ = initial_;
    epoch_ = Clock::now();
    windows_.clear();
    batch_ids_.clear();
    unlisted_batch_ids_ = 0;
    limited_ = 0;
}

}  // namespace korvane::emulator
