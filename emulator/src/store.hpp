// In-memory platform state (tenants, feedback, jobs, datasets) behind one mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "clock.hpp"
#include "json_util.hpp"

namespace korvane::emulator {

// Resources created through the global paths belong to this tenant id.
inline constexpr const char* default_tenant_id = "default";

struct Tenant {
    std::string id;
    std::string name;
    std::string slug;
    std::string plan;
    bool is_active = true;
    Micros created_at = 0;
    std::optional<Micros> updated_at;
    std::optional<std::int64_t> monthly_tokens_limit;
    std::int64_t monthly_tokens_used = 0;
    std::optional<std::int64_t> monthly_requests_limit;
    std::int64_t monthly_requests_used = 0;
    std::vector<std::string> features;
    Json metadata = Json::object();
    std::string api_key;
};

struct FeedbackEntry {
    std::string id;
    std::string tenant_id;
    std::string request_id;
    int rating = 0;
    std::optional<std::string> comment;
    std::vector<std::string> tags;
    Micros created_at = 0;
    std::optional<std::string> prompt;
    std::optional<std::string> response;
    std::optional<std::string> model;
};

struct TrainingJob {
    std::string id;
    std::string tenant_id;
    std::string training_type;
    std::string base_model;
    std::optional<std::string> dataset_id;
    Json config = Json::object();
    std::int64_t num_gpus = 8;
    std::string priority;
    Micros created_at = 0;
    // Progress is computed from this monotonic start, never from wall time.
    std::chrono::steady_clock::time_point created_clock;
    double duration_seconds = 3.0;
    std::optional<double> cancelled_after_seconds;
    std::optional<Micros> cancelled_at;
    std::optional<std::string> cancel_reason;
};

struct Dataset {
    std::string id;
    std::string tenant_id;
    std::string name;
    std::optional<std::string> description;
    std::int64_t num_examples = 0;
    std::int64_t size_bytes = 0;
    std::string dataset_type;
    std::string status = "ready";
    Micros created_at = 0;
    std::optional<Micros> updated_at;
    std::string source = "manual";
};

// What feedback needs to know about an earlier chat request.
struct ChatRecord {
    std::string model;
    std::string tenant_id;
};

// Rows keyed by id, listed in creation order.
template <class Row>
class Table {
public:
    Row* find(const std::string& id) {
        auto it = rows_.find(id);
        return it == rows_.end() ? nullptr : &it->second;
    }
    const Row* find(const std::string& id) const {
        auto it = rows_.find(id);
        return it == rows_.end() ? nullptr : &it->second;
    }
    Row& insert(Row row) {
        std::string id = row.id;
        if (!rows_.contains(id)) order_.push_back(id);
        return rows_.insert_or_assign(std::move(id), std::move(row)).first->second;
    }
    bool erase(const std::string& id) {
        if (rows_.erase(id) == 0) return false;
        std::erase(order_, id);
        return true;
    }
    template <class Pred>
    void erase_if(Pred pred) {
        std::erase_if(order_, [&](const std::string& id) {
            auto it = rows_.find(id);
            if (!pred(it->second)) return false;
            rows_.erase(it);
            return true;
        });
    }
    template <class Fn>
    void for_each(Fn fn) const {
        for (const auto& id : order_) fn(rows_.at(id));
    }
    std::size_t size() const { return rows_.size(); }
    void clear() {
        rows_.clear();
        order_.clear();
    }

private:
    std::vector<std::string> order_;
    std::unordered_map<std::string, Row> rows_;
};

// All mutable platform state. Handlers hold lock() for the whole of one
// operation and never while doing network I/O.
class Store {
public:
    std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }

    Table<Tenant> tenants;
    Table<FeedbackEntry> feedback;
    Table<TrainingJob> jobs;
    Table<Dataset> datasets;
    std::unordered_map<std::string, std::string> tenant_keys;  // key -> tenant id

    // Removes the tenant with everything it owns and its key.
    void erase_tenant(const std::string& tenant_id);

    void remember_chat(const std::string& request_id, ChatRecord record);
    const ChatRecord* find_chat(const std::string& request_id) const;

    void clear();

private:
    // Bounded so that benchmarks with millions of calls keep memory flat.
    static constexpr std::size_t max_remembered_chats = 100000;

    std::mutex mutex_;
    std::unordered_map<std::string, ChatRecord> chats_;
    std::deque<std::string> chat_order_;
};

// Counts of platform requests, for /_emulator/stats, and the trace context each path was sent
// with lately, for /_emulator/traceparents (so a test can follow a client's trace across).
class RequestStats {
public:
    // `traceparent`: the request's header of that name (empty when absent: nothing is remembered).
    void count(const std::string& path, const std::string& traceparent = {});
    Json snapshot() const;
    // {"by_path": {path: [oldest, ..., newest]}}.
    Json traceparents() const;
    void clear();

    // The values remembered per path, and the longest value kept (a W3C traceparent of a later
    // version may be longer than version 00's 55 characters; a longer one is not remembered).
    static constexpr std::size_t remembered_traceparents = 16;
    static constexpr std::size_t max_traceparent_size = 256;

private:
    // Distinct paths beyond this are counted under one key, so random paths
    // cannot grow the map without bound.
    static constexpr std::size_t max_distinct_paths = 10000;

    mutable std::mutex mutex_;
    std::int64_t total_ = 0;
    std::map<std::string, std::int64_t> by_path_;
    // Bounded like by_path_: at most max_distinct_paths paths, remembered_traceparents each.
    std::map<std::string, std::deque<std::string>> traceparents_;
};

}  // namespace korvane::emulator
