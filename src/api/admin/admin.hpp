// The administration namespaces, the entry header of admin/: TenantManager, FeedbackManager and
// TrainingManager (with its dataset operations). Built on the client core (api/client/client.hpp);
// the steps they share are in operations.hpp.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api {

// The prepare/finish state class and the registry of prepare functions (operations.hpp); first.
void bind_operations(nanobind::module_& m);

// Each adds its class to the module and to the client's registry.
void bind_tenants(nanobind::module_& m);
void bind_feedback(nanobind::module_& m);
void bind_training(nanobind::module_& m);

}  // namespace korvane::api
