// The tenants namespace: TenantManager, administration of tenants under /api/v1/tenants.
#include "api/admin/admin.hpp"
#include "api/admin/operations.hpp"
#include "api/admin/pages.hpp"
#include "api/admin/paths.hpp"
#include "api/client/client.hpp"
#include "py/types.hpp"

namespace korvane::api {
namespace {

nb::str tenant_path(nb::handle tenant_id, const char* tail = "") {
    return join_path({"/api/v1/tenants/", PathPiece::resource(tenant_id, "tenant_id"), tail});
}

nb::list list(nb::handle self, nb::handle limit, nb::handle offset, nb::handle is_active) {
    nb::dict query;
    query["limit"] = limit;
    query["offset"] = offset;
    if (!is_active.is_none()) query["is_active"] = is_active;  // a False filter is sent too
    Call call{"GET", nb::str("/api/v1/tenants"), query};
    return list_records(self, call, Record::Tenant, "tenants");
}

nb::object get(nb::handle self, nb::handle tenant_id) {
    Call call{"GET", tenant_path(tenant_id)};
    return record_from(Record::Tenant, send(self, call), call);
}

nb::object create(nb::handle self, nb::handle name, nb::handle slug, nb::handle plan, nb::handle metadata) {
    nb::dict fields;
    fields["name"] = name;
    fields["slug"] = slug;
    fields["plan"] = plan;
    fields["metadata"] = or_empty<nb::dict>(metadata);
    Call call{"POST", nb::str("/api/v1/tenants")};
    call.json = record_body(Record::TenantCreate, fields);
    return record_from(Record::Tenant, send(self, call), call);
}

nb::object update(nb::handle self, nb::handle tenant_id, nb::handle name, nb::handle plan, nb::handle is_active,
                  nb::handle metadata) {
    nb::dict fields;
    fields["name"] = name;
    fields["plan"] = plan;
    fields["is_active"] = is_active;
    fields["metadata"] = metadata;
    Call call{"PATCH", tenant_path(tenant_id)};
    call.json = record_body(Record::TenantUpdate, fields);
    return record_from(Record::Tenant, send(self, call), call);
}

bool remove(nb::handle self, nb::handle tenant_id) {
    send(self, Call{"DELETE", tenant_path(tenant_id)});
    return true;
}

nb::object get_usage(nb::handle self, nb::handle tenant_id) {
    return send(self, Call{"GET", tenant_path(tenant_id, "/usage")});
}

nb::object regenerate_api_key(nb::handle self, nb::handle tenant_id) {
    return send(self, Call{"POST", tenant_path(tenant_id, "/regenerate-key")});
}

}  // namespace

void bind_tenants(nb::module_& m) {
    nb::object cls = make_namespace_class("korvane_sdk.tenants", "TenantManager",
                                          "Manage tenants (organizations) in multi-tenant mode.");
    py::add_method(cls, "list", &list, param("limit", 100), param("offset", 0), param("is_active", nb::none()),
                   "List all tenants.\n\n"
                   "Args:\n"
                   "    limit: Maximum number of tenants to return\n"
                   "    offset: Offset for pagination\n"
                   "    is_active: Filter by active status\n\n"
                   "Returns:\n"
                   "    List of tenants");
    add_page_iterator(cls, "iter", "list", {"is_active"},
                      "def iter(self, *, is_active: bool | None = None, page_size: int = 100) -> Iterator[Tenant]",
                      "Every tenant, fetched page by page (one request per page) as the iterator is used.");
    py::add_method(cls, "get", &get, param("tenant_id"),
                   "Get a tenant by ID.\n\n"
                   "Args:\n"
                   "    tenant_id: Tenant ID\n\n"
                   "Returns:\n"
                   "    Tenant information");
    py::add_method(cls, "create", &create, param("name"), param("slug", nb::none()), param("plan", "free"),
                   param("metadata", nb::none()),
                   "Create a new tenant.\n\n"
                   "Args:\n"
                   "    name: Tenant name\n"
                   "    slug: URL-friendly slug (auto-generated if not provided)\n"
                   "    plan: Pricing plan\n"
                   "    metadata: Custom metadata\n\n"
                   "Returns:\n"
                   "    Created tenant");
    py::add_method(cls, "update", &update, param("tenant_id"), param("name", nb::none()), param("plan", nb::none()),
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
    py::add_method(cls, "delete", &remove, param("tenant_id"),
                   "Delete a tenant.\n\n"
                   "Args:\n"
                   "    tenant_id: Tenant ID\n\n"
                   "Returns:\n"
                   "    True if deleted");
    py::add_method(cls, "get_usage", &get_usage, param("tenant_id"),
                   "Get usage statistics for a tenant.\n\n"
                   "Args:\n"
                   "    tenant_id: Tenant ID\n\n"
                   "Returns:\n"
                   "    Usage statistics");
    py::add_method(cls, "regenerate_api_key", &regenerate_api_key, param("tenant_id"),
                   "Regenerate API key for a tenant.\n\n"
                   "Args:\n"
                   "    tenant_id: Tenant ID\n\n"
                   "Returns:\n"
                   "    New API key");
    m.attr("TenantManager") = cls;
    classes().tenant_manager = cls.release();
}

}  // namespace korvane::api
