// Tenant administration: /api/v1/tenants and each tenant's usage and key.
#include <cctype>

#include "ids.hpp"
#include "routes.hpp"

namespace korvane::emulator {
namespace {

struct PlanTerms {
    std::optional<std::int64_t> tokens;
    std::optional<std::int64_t> requests;
    std::vector<std::string> features;
};

PlanTerms terms_of(const std::string& plan) {
    if (plan == "free") return {100000, 1000, {"chat"}};
    if (plan == "pro") return {10000000, 100000, {"chat", "feedback", "training"}};
    if (plan == "enterprise") {
        return {std::nullopt, std::nullopt, {"chat", "feedback", "training", "quantum_rerank", "dedicated_support"}};
    }
    return {std::nullopt, std::nullopt, {"chat"}};
}

void apply_plan(Tenant& tenant, const std::string& plan) {
    PlanTerms terms = terms_of(plan);
    tenant.plan = plan;
    tenant.monthly_tokens_limit = terms.tokens;
    tenant.monthly_requests_limit = terms.requests;
    tenant.features = std::move(terms.features);
}

Json optional_time(const std::optional<Micros>& t) { return t ? Json(iso_utc(*t)) : Json(nullptr); }

Json optional_int(const std::optional<std::int64_t>& v) { return v ? Json(*v) : Json(nullptr); }

Json tenant_json(const Tenant& t) {
    return Json{{"id", t.id},
                {"name", t.name},
                {"slug", t.slug},
                {"plan", t.plan},
                {"is_active", t.is_active},
                {"created_at", iso_utc(t.created_at)},
                {"updated_at", optional_time(t.updated_at)},
                {"monthly_tokens_limit", optional_int(t.monthly_tokens_limit)},
                {"monthly_tokens_used", t.monthly_tokens_used},
                {"monthly_requests_limit", optional_int(t.monthly_requests_limit)},
                {"monthly_requests_used", t.monthly_requests_used},
                {"features", t.features},
                {"metadata", t.metadata}};
}

// Lower-case letters and digits joined by single dashes.
std::string slug_from(const std::string& name) {
    std::string slug;
    for (unsigned char c : name) {
        if (std::isalnum(c)) {
            slug.push_back(static_cast<char>(std::tolower(c)));
        } else if (!slug.empty() && slug.back() != '-') {
            slug.push_back('-');
        }
    }
    while (!slug.empty() && slug.back() == '-') slug.pop_back();
    if (slug.size() > 60) slug.resize(60);
    return slug.empty() ? "tenant" : slug;
}

void check_slug(const std::string& slug) {
    bool ok = !slug.empty() && slug.size() <= 255;
    for (unsigned char c : slug) ok = ok && (std::isalnum(c) || c == '-' || c == '_' || c == '.');
    if (!ok) throw validation_error("'slug' must be 1 to 255 letters, digits, '-', '_' or '.'");
}

bool slug_taken(const Store& store, const std::string& slug) {
    bool taken = false;
    store.tenants.for_each([&](const Tenant& t) { taken = taken || t.slug == slug; });
    return taken;
}

Tenant& find_tenant(Store& store, const std::string& id) {
    Tenant* tenant = store.tenants.find(id);
    if (tenant == nullptr) throw not_found("Tenant", id);
    return *tenant;
}

void list_tenants(RequestContext& ctx, Services& services) {
    Page page = Page::from(ctx);
    auto is_active = ctx.query_bool("is_active");
    auto lock = services.store.lock();
    Json items = Json::array();
    std::int64_t index = 0;
    services.store.tenants.for_each([&](const Tenant& t) {
        if (is_active && t.is_active != *is_active) return;
        if (page.takes(index)) items.push_back(tenant_json(t));
        ++index;
    });
    ctx.send(200, list_answer("tenants", std::move(items), index, page));
}

void create_tenant(RequestContext& ctx, Services& services) {
    Json body = ctx.json_body();
    BodyFields f(body);
    Tenant tenant;
    tenant.name = f.req_string("name");
    check_name_length(tenant.name, "name");
    auto slug = f.opt_string("slug");
    if (slug) check_slug(*slug);
    std::string plan = f.opt_string("plan").value_or("free");
    tenant.metadata = f.opt_object("metadata").value_or(Json::object());

    auto lock = services.store.lock();
    if (slug) {
        if (slug_taken(services.store, *slug)) {
            throw ApiError(409, "Tenant with slug '" + *slug + "' already exists", "CONFLICT");
        }
        tenant.slug = *slug;
    } else {
        // A generated slug never conflicts: a number is appended instead.
        std::string base = slug_from(tenant.name);
        tenant.slug = base;
        for (int n = 2; slug_taken(services.store, tenant.slug); ++n) tenant.slug = base + "-" + std::to_string(n);
    }
    tenant.id = new_id("tenant_", 16);
    apply_plan(tenant, plan);
    tenant.created_at = now_micros();
    tenant.api_key = new_api_key();
    services.store.tenant_keys[tenant.api_key] = tenant.id;
    Json answer = tenant_json(tenant);
    answer["api_key"] = tenant.api_key;
    services.store.tenants.insert(std::move(tenant));
    ctx.send(201, answer);
}

void get_tenant(RequestContext& ctx, Services& services) {
    auto lock = services.store.lock();
    ctx.send(200, tenant_json(find_tenant(services.store, ctx.param("tenant_id"))));
}

void update_tenant(RequestContext& ctx, Services& services) {
    Json body = ctx.json_body();
    BodyFields f(body);
    auto name = f.opt_string("name");
    if (name) check_name_length(*name, "name");
    auto plan = f.opt_string("plan");
    auto is_active = f.opt_bool("is_active");
    auto metadata = f.opt_object("metadata");

    auto lock = services.store.lock();
    Tenant& tenant = find_tenant(services.store, ctx.param("tenant_id"));
    if (name) tenant.name = *name;
    if (plan) apply_plan(tenant, *plan);
    if (is_active) tenant.is_active = *is_active;
    if (metadata) tenant.metadata = std::move(*metadata);
    tenant.updated_at = now_micros();
    ctx.send(200, tenant_json(tenant));
}

void delete_tenant(RequestContext& ctx, Services& services) {
    const std::string& id = ctx.param("tenant_id");
    auto lock = services.store.lock();
    find_tenant(services.store, id);
    services.store.erase_tenant(id);
    ctx.send(200, Json{{"id", id}, {"deleted", true}});
}

void tenant_usage(RequestContext& ctx, Services& services) {
    auto lock = services.store.lock();
    Store& store = services.store;
    const Tenant& t = find_tenant(store, ctx.param("tenant_id"));
    auto remaining = [](const std::optional<std::int64_t>& limit, std::int64_t used) {
        return limit ? Json(std::max<std::int64_t>(0, *limit - used)) : Json(nullptr);
    };
    std::int64_t feedback = 0, jobs = 0, datasets = 0;
    store.feedback.for_each([&](const FeedbackEntry& row) { feedback += row.tenant_id == t.id; });
    store.jobs.for_each([&](const TrainingJob& row) { jobs += row.tenant_id == t.id; });
    store.datasets.for_each([&](const Dataset& row) { datasets += row.tenant_id == t.id; });
    ctx.send(200, Json{{"tenant_id", t.id},
                       {"period", month_period(now_micros())},
                       {"plan", t.plan},
                       {"monthly_tokens_used", t.monthly_tokens_used},
                       {"monthly_tokens_limit", optional_int(t.monthly_tokens_limit)},
                       {"tokens_remaining", remaining(t.monthly_tokens_limit, t.monthly_tokens_used)},
                       {"monthly_requests_used", t.monthly_requests_used},
                       {"monthly_requests_limit", optional_int(t.monthly_requests_limit)},
                       {"requests_remaining", remaining(t.monthly_requests_limit, t.monthly_requests_used)},
                       {"feedback_count", feedback},
                       {"training_jobs", jobs},
                       {"datasets", datasets}});
}

void regenerate_key(RequestContext& ctx, Services& services) {
    auto lock = services.store.lock();
    Tenant& tenant = find_tenant(services.store, ctx.param("tenant_id"));
    services.store.tenant_keys.erase(tenant.api_key);
    tenant.api_key = new_api_key();
    services.store.tenant_keys[tenant.api_key] = tenant.id;
    tenant.updated_at = now_micros();
    ctx.send(200, Json{{"tenant_id", tenant.id}, {"api_key", tenant.api_key}});
}

}  // namespace

void add_tenant_routes(Router& router, Services& services) {
    auto bind = [&services](ServiceHandler fn) { return bound(services, fn); };
    router.add("GET", "/api/v1/tenants", Access::admin, bind(list_tenants));
    router.add("POST", "/api/v1/tenants", Access::admin, bind(create_tenant));
    router.add("GET", "/api/v1/tenants/:tenant_id", Access::own_tenant, bind(get_tenant));
    router.add("PATCH", "/api/v1/tenants/:tenant_id", Access::admin, bind(update_tenant));
    router.add("DELETE", "/api/v1/tenants/:tenant_id", Access::admin, bind(delete_tenant));
    router.add("GET", "/api/v1/tenants/:tenant_id/usage", Access::own_tenant, bind(tenant_usage));
    router.add("POST", "/api/v1/tenants/:tenant_id/regenerate-key", Access::own_tenant, bind(regenerate_key));
}

}  // namespace korvane::emulator
