// Store housekeeping: cascading tenant removal, the chat memory and statistics.
#include "store.hpp"

namespace korvane::emulator {

void Store::erase_tenant(const std::string& tenant_id) {
    if (const Tenant* tenant = tenants.find(tenant_id)) tenant_keys.erase(tenant->api_key);
    tenants.erase(tenant_id);
    feedback.erase_if([&](const FeedbackEntry& row) { return row.tenant_id == tenant_id; });
    jobs.erase_if([&](const TrainingJob& row) { return row.tenant_id == tenant_id; });
    datasets.erase_if([&](const Dataset& row) { return row.tenant_id == tenant_id; });
}

void Store::remember_chat(const std::string& request_id, ChatRecord record) {
    if (chats_.insert_or_assign(request_id, std::move(record)).second) chat_order_.push_back(request_id);
    while (chat_order_.size() > max_remembered_chats) {
        chats_.erase(chat_order_.front());
        chat_order_.pop_front();
    }
}

const ChatRecord* Store::find_chat(const std::string& request_id) const {
    auto it = chats_.find(request_id);
    return it == chats_.end() ? nullptr : &it->second;
}

void Store::clear() {
    tenants.clear();
    feedback.clear();
    jobs.clear();
    datasets.clear();
    tenant_keys.clear();
    chats_.clear();
    chat_order_.clear();
}

void RequestStats::count(const std::string& path, const std::string& traceparent) {
    std::scoped_lock lock(mutex_);
    ++total_;
    if (!traceparent.empty() && traceparent.size() <= max_traceparent_size) {
        auto seen = traceparents_.find(path);
        if (seen == traceparents_.end() && traceparents_.size() < max_distinct_paths) {
            seen = traceparents_.emplace(path, std::deque<std::string>()).first;
        }
        if (seen != traceparents_.end()) {
            seen->second.push_back(traceparent);
            if (seen->second.size() > remembered_traceparents) seen->second.pop_front();
        }
    }
    auto it = by_path_.find(path);
    if (it != by_path_.end()) {
        ++it->second;
    } else if (by_path_.size() < max_distinct_paths) {
        by_path_.emplace(path, 1);
    } else {
        ++by_path_["(other paths)"];
    }
}

Json RequestStats::snapshot() const {
    std::scoped_lock lock(mutex_);
    Json by_path = Json::object();
    for (const auto& [path, count] : by_path_) by_path[path] = count;
    return Json{{"requests", total_}, {"by_path", std::move(by_path)}};
}

Json RequestStats::traceparents() const {
    std::scoped_lock lock(mutex_);
    Json by_path = Json::object();
    for (const auto& [path, values] : traceparents_) {
        Json list = Json::array();
        for (const std::string& value : values) list.push_back(value);
        by_path[path] = std::move(list);
    }
    return Json{{"by_path", std::move(by_path)}};
}

void RequestStats::clear() {
    std::scoped_lock lock(mutex_);
    total_ = 0;
    by_path_.clear();
    traceparents_.clear();
}

}  // namespace korvane::emulator
