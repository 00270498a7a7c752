// Datasets: create, list, get, delete, streamed upload, and from-feedback.
#include "ids.hpp"
#include "line_counter.hpp"
#include "routes.hpp"

namespace korvane::emulator {
namespace {

Json optional_time(const std::optional<Micros>& t) { return t ? Json(iso_utc(*t)) : Json(nullptr); }

Json dataset_json(const Dataset& d) {
    return Json{{"id", d.id},
                {"tenant_id", d.tenant_id},
                {"name", d.name},
                {"description", d.description ? Json(*d.description) : Json(nullptr)},
                {"num_examples", d.num_examples},
                {"size_bytes", d.size_bytes},
                {"dataset_type", d.dataset_type},
                {"status", d.status},
                {"created_at", iso_utc(d.created_at)},
                {"updated_at", optional_time(d.updated_at)},
                {"source", d.source}};
}

Dataset& find_dataset(const RequestContext& ctx, Store& store) {
    ctx.require_scope_exists(store);
    const std::string& id = ctx.param("dataset_id");
    Dataset* dataset = store.datasets.find(id);
    if (dataset == nullptr || !ctx.sees(dataset->tenant_id)) throw not_found("Dataset", id);
    return *dataset;
}

std::string read_dataset_type(const BodyFields& f) {
    std::string type = f.opt_string("dataset_type").value_or("sft");
    if (type.empty()) throw validation_error("'dataset_type' must not be empty");
    return type;
}

void create_dataset(RequestContext& ctx, Services& services) {
    Json body = ctx.json_body();
    BodyFields f(body);
    Dataset dataset;
    dataset.name = f.req_string("name");
    check_name_length(dataset.name, "name");
    dataset.description = f.opt_string("description");
    dataset.dataset_type = read_dataset_type(f);

    auto lock = services.store.lock();
    ctx.require_scope_exists(services.store);
    dataset.id = new_id("ds_", 16);
    dataset.tenant_id = ctx.owner();
    dataset.created_at = now_micros();
    ctx.send(201, dataset_json(services.store.datasets.insert(std::move(dataset))));
}

void list_datasets(RequestContext& ctx, Services& services) {
    Page page = Page::from(ctx);
    auto type = ctx.query("type");
    auto lock = services.store.lock();
    ctx.require_scope_exists(services.store);
    Json items = Json::array();
    std::int64_t index = 0;
    services.store.datasets.for_each([&](const Dataset& d) {
        if (!ctx.sees(d.tenant_id)) return;
        if (type && !type->empty() && d.dataset_type != *type) return;
        if (page.takes(index)) items.push_back(dataset_json(d));
        ++index;
    });
    ctx.send(200, list_answer("datasets", std::move(items), index, page));
}

void get_dataset(RequestContext& ctx, Services& services) {
    auto lock = services.store.lock();
    ctx.send(200, dataset_json(find_dataset(ctx, services.store)));
}

void delete_dataset(RequestContext& ctx, Services& services) {
    auto lock = services.store.lock();
    std::string id = find_dataset(ctx, services.store).id;
    services.store.datasets.erase(id);
    ctx.send(200, Json{{"id", id}, {"deleted", true}});
}

// Streams the "file" parts through a line counter: the file is never held,
// whatever its size.
void upload_dataset(RequestContext& ctx, Services& services) {
    {
        auto lock = services.store.lock();
        find_dataset(ctx, services.store);
    }
    if (!ctx.body.present() || !ctx.body.is_multipart()) {
        throw validation_error("Expected a multipart/form-data body with a 'file' field");
    }
    LineCounter counter;
    bool in_file = false;
    bool saw_file = false;
    bool ok = ctx.body.read_multipart(
        [&](const httplib::MultipartFormData& part) {
            if (in_file) counter.finish();
            in_file = part.name == "file";
            saw_file = saw_file || in_file;
            return true;
        },
        [&](const char* data, std::size_t size) {
            if (in_file) counter.feed(data, size);
            return !services.shutdown.requested();
        });
    if (!ok) throw ApiError(400, "Malformed multipart/form-data body", "INVALID_REQUEST");
    if (!saw_file) throw validation_error("Missing file field 'file'");
    counter.finish();

    auto lock = services.store.lock();
    Dataset& dataset = find_dataset(ctx, services.store);  // may have been deleted meanwhile
    dataset.num_examples += counter.lines();
    dataset.size_bytes += counter.bytes();
    dataset.status = "ready";
    dataset.updated_at = now_micros();
    ctx.send(200, dataset_json(dataset));
}

void dataset_from_feedback(RequestContext& ctx, Services& services) {
    Json body = ctx.json_body();
    BodyFields f(body);
    Dataset dataset;
    dataset.name = f.req_string("name");
    check_name_length(dataset.name, "name");
    const Json* min_rating_value = f.raw("min_rating");
    auto min_rating = min_rating_value ? json_integer(*min_rating_value) : std::nullopt;
    if (!min_rating) throw validation_error("'min_rating' must be an integer");
    dataset.dataset_type = read_dataset_type(f);

    auto lock = services.store.lock();
    ctx.require_scope_exists(services.store);
    services.store.feedback.for_each([&](const FeedbackEntry& entry) {
        if (!ctx.sees(entry.tenant_id) || entry.rating < *min_rating) return;
        dataset.num_examples += 1;
        // As one JSON line per example, the form an upload would have.
        Json example{{"prompt", entry.prompt.value_or("")},
                     {"response", entry.response.value_or("")},
                     {"rating", entry.rating}};
        dataset.size_bytes += static_cast<std::int64_t>(dump_json(example).size() + 1);
    });
    dataset.description = "Generated from " + std::to_string(dataset.num_examples) +
                          " feedback entries with rating >= " + std::to_string(*min_rating);
    dataset.source = "feedback";
    dataset.id = new_id("ds_", 16);
    dataset.tenant_id = ctx.owner();
    dataset.created_at = now_micros();
    ctx.send(201, dataset_json(services.store.datasets.insert(std::move(dataset))));
}

}  // namespace

void add_dataset_routes(Router& router, Services& services) {
    router.add_scoped("GET", "datasets", bound(services, list_datasets));
    router.add_scoped("POST", "datasets", bound(services, create_dataset));
    router.add_scoped("POST", "datasets/from-feedback", bound(services, dataset_from_feedback));
    router.add_scoped("GET", "datasets/:dataset_id", bound(services, get_dataset));
    router.add_scoped("DELETE", "datasets/:dataset_id", bound(services, delete_dataset));
    router.add_scoped("POST", "datasets/:dataset_id/upload", bound(services, upload_dataset));
}

}  // namespace korvane::emulator
