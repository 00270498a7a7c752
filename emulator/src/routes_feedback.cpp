// Feedback collection: create, list with filters, get, delete, stats, export.
#include <map>

#include "ids.hpp"
#include "routes.hpp"

namespace korvane::emulator {
namespace {

Json optional_text(const std::optional<std::string>& v) { return v ? Json(*v) : Json(nullptr); }

Json feedback_json(const FeedbackEntry& f) {
    return Json{{"id", f.id},
                {"tenant_id", f.tenant_id},
                {"request_id", f.request_id},
                {"rating", f.rating},
                {"comment", optional_text(f.comment)},
                {"tags", f.tags},
                {"created_at", iso_utc(f.created_at)},
                {"prompt", optional_text(f.prompt)},
                {"response", optional_text(f.response)},
                {"model", optional_text(f.model)}};
}

// Filters of list, stats and export; unset members do not filter.
struct FeedbackFilter {
    std::optional<std::int64_t> rating;
    std::optional<Micros> start;
    std::optional<Micros> end;
    std::vector<std::string> any_tags;

    bool keeps(const FeedbackEntry& f) const {
        if (rating && f.rating != *rating) return false;
        if (start && f.created_at < *start) return false;
        if (end && f.created_at > *end) return false;
        if (!any_tags.empty()) {
            for (const auto& tag : any_tags) {
                for (const auto& own : f.tags) {
                    if (own == tag) return true;
                }
            }
            return false;
        }
        return true;
    }
};

std::vector<std::string> split_tags(const std::string& text) {
    std::vector<std::string> tags;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto comma = text.find(',', start);
        std::string tag = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!tag.empty()) tags.push_back(std::move(tag));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return tags;
}

FeedbackFilter read_filter(const RequestContext& ctx, bool with_rating, bool with_dates, bool with_tags) {
    FeedbackFilter filter;
    if (with_rating) filter.rating = ctx.query_opt_int("rating", -1, 1);
    if (with_dates) {
        filter.start = ctx.query_time("start_date");
        filter.end = ctx.query_time("end_date");
    }
    if (with_tags) {
        // Repeated keys and comma-joined values both work.
        for (std::size_t i = 0; i < ctx.req.get_param_value_count("tags"); ++i) {
            for (auto& tag : split_tags(ctx.req.get_param_value("tags", i))) filter.any_tags.push_back(std::move(tag));
        }
    }
    return filter;
}

// Calls fn for every entry visible on this path that the filter keeps.
// Caller holds the store lock.
template <class Fn>
void for_each_matching(const RequestContext& ctx, const Store& store, const FeedbackFilter& filter, Fn fn) {
    store.feedback.for_each([&](const FeedbackEntry& f) {
        if (ctx.sees(f.tenant_id) && filter.keeps(f)) fn(f);
    });
}

void create_feedback(RequestContext& ctx, Services& services) {
    Json body = ctx.json_body();
    BodyFields f(body);
    FeedbackEntry entry;
    entry.request_id = f.req_string("request_id");
    std::int64_t rating = f.req_int("rating");
    if (rating < -1 || rating > 1) throw validation_error("'rating' must be -1, 0 or 1");
    entry.rating = static_cast<int>(rating);
    entry.comment = f.opt_string("comment");
    entry.tags = f.opt_string_list("tags").value_or(std::vector<std::string>{});
    entry.prompt = f.opt_string("prompt");
    entry.response = f.opt_string("response");

    auto lock = services.store.lock();
    ctx.require_scope_exists(services.store);
    if (const ChatRecord* chat = services.store.find_chat(entry.request_id)) entry.model = chat->model;
    entry.id = new_id("fb_", 16);
    entry.tenant_id = ctx.owner();
    entry.created_at = now_micros();
    ctx.send(201, feedback_json(services.store.feedback.insert(std::move(entry))));
}

void list_feedback(RequestContext& ctx, Services& services) {
    Page page = Page::from(ctx);
    FeedbackFilter filter = read_filter(ctx, true, true, true);
    auto lock = services.store.lock();
    ctx.require_scope_exists(services.store);
    Json items = Json::array();
    std::int64_t index = 0;
    for_each_matching(ctx, services.store, filter, [&](const FeedbackEntry& f) {
        if (page.takes(index)) items.push_back(feedback_json(f));
        ++index;
    });
    ctx.send(200, list_answer("feedbacks", std::move(items), index, page));
}

const FeedbackEntry& find_feedback(const RequestContext& ctx, const Store& store) {
    ctx.require_scope_exists(store);
    const std::string& id = ctx.param("feedback_id");
    const FeedbackEntry* entry = store.feedback.find(id);
    if (entry == nullptr || !ctx.sees(entry->tenant_id)) throw not_found("Feedback", id);
    return *entry;
}

void get_feedback(RequestContext& ctx, Services& services) {
    auto lock = services.store.lock();
    ctx.send(200, feedback_json(find_feedback(ctx, services.store)));
}

void delete_feedback(RequestContext& ctx, Services& services) {
    auto lock = services.store.lock();
    std::string id = find_feedback(ctx, services.store).id;
    services.store.feedback.erase(id);
    ctx.send(200, Json{{"id", id}, {"deleted", true}});
}

void feedback_stats(RequestContext& ctx, Services& services) {
    FeedbackFilter filter = read_filter(ctx, false, true, false);
    auto lock = services.store.lock();
    ctx.require_scope_exists(services.store);
    std::int64_t total = 0, positive = 0, negative = 0, neutral = 0;
    std::map<std::string, std::int64_t> tags;
    for_each_matching(ctx, services.store, filter, [&](const FeedbackEntry& f) {
        ++total;
        positive += f.rating > 0;
        negative += f.rating < 0;
        neutral += f.rating == 0;
        for (const auto& tag : f.tags) ++tags[tag];
    });
    Json distribution = Json::object();
    for (const auto& [tag, count] : tags) distribution[tag] = count;
    ctx.send(200, Json{{"total_count", total},
                       {"positive_count", positive},
                       {"negative_count", negative},
                       {"neutral_count", neutral},
                       {"positive_rate", total == 0 ? 0.0 : static_cast<double>(positive) / static_cast<double>(total)},
                       {"tags_distribution", std::move(distribution)}});
}

// One CSV field, quoted when it holds a separator, quote or line break.
void append_csv_field(std::string& out, const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) {
        out += value;
        return;
    }
    out.push_back('"');
    for (char c : value) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

void append_csv_row(std::string& out, const FeedbackEntry& f) {
    std::string tags;
    for (std::size_t i = 0; i < f.tags.size(); ++i) tags += (i ? "," : "") + f.tags[i];
    const std::string fields[] = {
        f.id, f.tenant_id,           f.request_id,          std::to_string(f.rating), f.comment.value_or(""),
        tags, iso_utc(f.created_at), f.prompt.value_or(""), f.response.value_or(""),  f.model.value_or("")};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        if (i) out.push_back(',');
        append_csv_field(out, fields[i]);
    }
    out += "\r\n";
}

void export_feedback(RequestContext& ctx, Services& services) {
    std::string format = ctx.query("format").value_or("jsonl");
    if (format != "jsonl" && format != "csv") {
        throw ApiError(400, "Unsupported export format '" + format + "' (use jsonl or csv)", "INVALID_FORMAT");
    }
    FeedbackFilter filter = read_filter(ctx, true, false, false);
    std::string out;
    if (format == "csv") out = "id,tenant_id,request_id,rating,comment,tags,created_at,prompt,response,model\r\n";
    auto lock = services.store.lock();
    ctx.require_scope_exists(services.store);
    for_each_matching(ctx, services.store, filter, [&](const FeedbackEntry& f) {
        if (format == "csv") {
            append_csv_row(out, f);
        } else {
            out += dump_json(feedback_json(f));
            out.push_back('\n');
        }
    });
    ctx.res.status = 200;
    ctx.res.set_content(out, format == "csv" ? "text/csv; charset=utf-8" : "application/x-ndjson");
}

}  // namespace

void add_feedback_routes(Router& router, Services& services) {
    // Fixed names come before the id pattern so "stats" is not read as an id.
    router.add_scoped("GET", "feedback/stats", bound(services, feedback_stats));
    router.add_scoped("GET", "feedback/export", bound(services, export_feedback));
    router.add_scoped("GET", "feedback", bound(services, list_feedback));
    router.add_scoped("POST", "feedback", bound(services, create_feedback));
    router.add_scoped("GET", "feedback/:feedback_id", bound(services, get_feedback));
    router.add_scoped("DELETE", "feedback/:feedback_id", bound(services, delete_feedback));
}

}  // namespace korvane::emulator
