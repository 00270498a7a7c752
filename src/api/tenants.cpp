// The tenants namespace: TenantManager.
#include "api/api.hpp"

namespace korvane::api {

void bind_tenants(nb::module_& m) {
    nb::object cls = make_namespace_class("korvane_sdk.tenants", "TenantManager",
                                          "Manage tenants (organizations) in multi-tenant mode.");
    m.attr("TenantManager") = cls;
    classes().tenant_manager = cls.release();
}

}  // namespace korvane::api
