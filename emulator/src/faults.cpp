// Fault bookkeeping and the control-body format that configures it.
#include "faults.hpp"

#include <cmath>

#include "errors.hpp"

namespace korvane::emulator {
namespace {

ApiError bad_fault(const std::string& what) { return validation_error("Invalid fault settings: " + what); }

std::int64_t read_times(const Json& setting, const char* fault) {
    auto it = setting.find("times");
    if (it == setting.end()) return 1;
    auto times = json_integer(*it);
    if (!times) throw bad_fault(std::string(fault) + ".times must be an integer (negative: every request)");
    return *times;
}

const Json& setting_object(const Json& setting, const char* fault) {
    if (!setting.is_object()) throw bad_fault(std::string(fault) + " must be an object or null");
    return setting;
}

Json budget_json(const FaultBudget& budget) {
    if (budget.remaining < 0) return "every request";
    return budget.remaining;
}

}  // namespace

RequestFaults Faults::next_request() {
    std::scoped_lock lock(mutex_);
    RequestFaults out;
    if (settings_.delay.consume()) out.delay_seconds = settings_.delay_seconds;
    if (settings_.rate_limit.consume()) {
        out.rate_limit_retry_after = settings_.retry_after;
    } else if (settings_.server_error.consume()) {
        out.server_error_status = settings_.server_error_status;
    }
    return out;
}

std::optional<std::int64_t> Faults::next_stream_drop() {
    std::scoped_lock lock(mutex_);
    if (!settings_.drop_stream.consume()) return std::nullopt;
    return settings_.drop_after_chunks;
}

void Faults::configure(const Json& body) {
    if (!body.is_object()) throw bad_fault("body must be a JSON object");
    // Validate everything first so a bad member leaves the settings untouched.
    FaultSettings next;
    {
        std::scoped_lock lock(mutex_);
        next = settings_;
    }
    for (const auto& [name, setting] : body.items()) {
        if (name == "rate_limit") {
            if (setting.is_null()) {
                next.rate_limit = {};
                continue;
            }
            const Json& s = setting_object(setting, "rate_limit");
            next.rate_limit.remaining = read_times(s, "rate_limit");
            next.retry_after = FaultSettings{}.retry_after;
            if (auto it = s.find("retry_after"); it != s.end()) {
                if (it->is_string()) {
                    next.retry_after = it->get<std::string>();
                } else if (auto seconds = json_integer(*it)) {
                    next.retry_after = std::to_string(*seconds);
                } else if (it->is_null()) {
                    next.retry_after.clear();
                } else {
                    throw bad_fault("rate_limit.retry_after must be text, an integer or null");
                }
                if (next.retry_after.find_first_of("\r\n") != std::string::npos) {
                    throw bad_fault("rate_limit.retry_after may not contain line breaks");
                }
            }
        } else if (name == "server_error") {
            if (setting.is_null()) {
                next.server_error = {};
                continue;
            }
            const Json& s = setting_object(setting, "server_error");
            next.server_error.remaining = read_times(s, "server_error");
            next.server_error_status = 500;
            if (auto it = s.find("status"); it != s.end()) {
                auto status = json_integer(*it);
                if (!status || *status < 500 || *status > 599)
                    throw bad_fault("server_error.status must be 500 to 599");
                next.server_error_status = static_cast<int>(*status);
            }
        } else if (name == "delay") {
            if (setting.is_null()) {
                next.delay = {};
                continue;
            }
            const Json& s = setting_object(setting, "delay");
            next.delay.remaining = read_times(s, "delay");
            auto it = s.find("seconds");
            if (it == s.end() || !it->is_number() || !std::isfinite(it->get<double>()) || it->get<double>() < 0 ||
                it->get<double>() > 600) {
                throw bad_fault("delay.seconds must be a number from 0 to 600");
            }
            next.delay_seconds = it->get<double>();
        } else if (name == "drop_stream") {
            if (setting.is_null()) {
                next.drop_stream = {};
                continue;
            }
            const Json& s = setting_object(setting, "drop_stream");
            next.drop_stream.remaining = read_times(s, "drop_stream");
            next.drop_after_chunks = 0;
            if (auto it = s.find("after_chunks"); it != s.end()) {
                auto chunks = json_integer(*it);
                if (!chunks || *chunks < 0) throw bad_fault("drop_stream.after_chunks must be a non-negative integer");
                next.drop_after_chunks = *chunks;
            }
        } else {
            throw bad_fault("unknown fault '" + name + "'");
        }
    }
    std::scoped_lock lock(mutex_);
    settings_ = std::move(next);
}

Json Faults::describe() const {
    std::scoped_lock lock(mutex_);
    const FaultSettings& s = settings_;
    Json out = Json::object();
    out["rate_limit"] = s.rate_limit.active()
                            ? Json{{"times", budget_json(s.rate_limit)}, {"retry_after", s.retry_after}}
                            : Json(nullptr);
    out["server_error"] = s.server_error.active()
                              ? Json{{"times", budget_json(s.server_error)}, {"status", s.server_error_status}}
                              : Json(nullptr);
    out["delay"] = s.delay.active() ? Json{{"times", budget_json(s.delay)}, {"seconds", s.delay_seconds}}
                                    : Json(nullptr);
    out["drop_stream"] = s.drop_stream.active()
                             ? Json{{"times", budget_json(s.drop_stream)}, {"after_chunks", s.drop_after_chunks}}
                             : Json(nullptr);
    return out;
}

void Faults::clear() {
    std::scoped_lock lock(mutex_);
    settings_ = FaultSettings{};
}

}  // namespace korvane::emulator
