// Entry points through which each subsystem adds its names to the extension module.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane {
namespace errors {
void bind(nanobind::module_& m);
}
namespace json {
void bind(nanobind::module_& m);
}
namespace http {
void bind(nanobind::module_& m);
void bind_errors(nanobind::module_& m);
}  // namespace http
namespace records {
void bind(nanobind::module_& m);
}
namespace api {
void bind(nanobind::module_& m);
}
}  // namespace korvane
