// The tenants namespace: TenantManager, administration of tenants under /api/v1/tenants.
#include "api/admin/admin.hpp"
#include "api/admin/operations.hpp"
#include "api/admin/paths.hpp"
#include "api/client/client.hpp"
#include "py/types.hpp"

#include <utility>

namespace korvane::api {
namespace {

nb::str tenant_path(nb::handle tenant_id, const char* tail = "") {
    return join_path({"/api/v1/tenants/", PathPiece::resource(tenant_id, "tenant_id"), tail});
}

Prepared list(nb::handle limit, nb::handle offset, nb::handle is_active) {
    nb::dict query;
    query["limit"] = limit;
    query["offset"] = offset;
    if (!is_active.is_none()) query["is_active"] = is_active;  // a False filter is sent too
    return {Call{"GET", nb::str("/api/v1/tenants"), query}, Finish::List, Record::Tenant, "tenants"};
}

Prepared get(nb::handle tenant_id) { return {Call{"GET", tenant_path(tenant_id)}, Finish::Record, Record::Tenant}; }

Prepared create(nb::handle name, nb::handle slug, nb::handle plan, nb::handle metadata) {
    nb::dict fields;
    fields["name"] = name;
    fields["slug"] = slug;
    fields["plan"] = plan;
    fields["metadata"] = or_empty<nb::dict>(metadata);
    Call call{"POST", nb::str("/api/v1/tenants")};
    call.json = record_body(Record::TenantCreate, fields);
    return {std::move(call), Finish::Record, Record::Tenant};
}

Prepared update(nb::handle tenant_id, nb::handle name, nb::handle plan, nb::handle is_active, nb::handle metadata) {
    nb::dict fields;
    fields["name"] = name;
    fields["plan"] = plan;
    fields["is_active"] = is_active;
    fields["metadata"] = metadata;
    Call call{"PATCH", tenant_path(tenant_id)};
    call.json = record_body(Record::TenantUpdate, fields);
    return {std::move(call), Finish::Record, Record::Tenant};
}

Prepared remove(nb::handle tenant_id) { return {Call{"DELETE", tenant_path(tenant_id)}, Finish::Done}; }

Prepared get_usage(nb::handle tenant_id) { return {Call{"GET", tenant_path(tenant_id, "/usage")}}; }

Prepared regenerate_api_key(nb::handle tenant_id) { return {Call{"POST", tenant_path(tenant_id, "/regenerate-key")}}; }

}  // namespace

void bind_tenants(nb::module_& m) {
    nb::object cls = make_namespace_class("korvane_sdk.tenants", "TenantManager",
                                          "Manage tenants (organizations) in multi-tenant mode.");
    add_operation<&list>(cls, "list", param("limit", 100), param("offset", 0), param("is_active", nb::none()),
                         "List all tenants.\n\n"
                         "Args:\n"
                         "    limit: Maximum number of tenants to return\n"
                         "    offset: Offset for pagination\n"
                         "    is_active: Filter by active status\n\n"
                         "Returns:\n"
                         "    List of tenants");
    add_pages(cls, "iter", "list", {"is_active"},
              "def iter(self, *, is_active: bool | None = None, page_size: int = 100) -> Iterator[Tenant]",
              "Every tenant, fetched page by page (one request per page) as the iterator is used.");
    add_operation<&get>(cls, "get", param("tenant_id"),
                        "Get a tenant by ID.\n\n"
                        "Args:\n"
                        "    tenant_id: Tenant ID\n\n"
                        "Returns:\n"
                        "    Tenant information");
    add_operation<&create>(cls, "create", param("name"), param("slug", nb::none()), param("plan", "free"),
                           param("metadata", nb::none()),
                           "Create a new tenant.\n\n"
                           "Args:\n"
                           "    name: Tenant name\n"
                           "    slug: URL-friendly slug (auto-generated if not provided)\n"
                           "    plan: Pricing plan\n"
                           "    metadata: Custom metadata\n\n"
                           "Returns:\n"
                           "    Created tenant");
    add_operation<&update>(cls, "update", param("tenant_id"), param("name", nb::none()), param("plan", nb::none()),
                           param("is_active", nb::none()), param("metadata", nb::none()),
                           "Update a tenant.\n\n"
                           "Args:\n"
                           "    tenant_id: Tenant ID\n"
                           "    name: New name\n"
                           "    plan: New plan\n"
                           "    is_active: Active status\n"
                           "    metadata: Custom metadata\n\n"
                           "Returns:\n"
                           "    Updated tenant");
    add_operation<&remove>(cls, "delete", param("tenant_id"),
                           "Delete a tenant.\n\n"
                           "Args:\n"
                           "    tenant_id: Tenant ID\n\n"
                           "Returns:\n"
                           "    True if deleted");
    add_operation<&get_usage>(cls, "get_usage", param("tenant_id"),
                              "Get usage statistics for a tenant.\n\n"
                              "Args:\n"
                              "    tenant_id: Tenant ID\n\n"
                              "Returns:\n"
                              "    Usage statistics");
    add_operation<&regenerate_api_key>(cls, "regenerate_api_key", param("tenant_id"),
                                       "Regenerate API key for a tenant.\n\n"
                                       "Args:\n"
                                       "    tenant_id: Tenant ID\n\n"
                                       "Returns:\n"
                                       "    New API key");
    m.attr("TenantManager") = cls;
    classes().tenant_manager = cls.release();
}

}  // namespace korvane::api
