// The training namespace: TrainingManager (jobs and datasets).
#include "api/api.hpp"

namespace korvane::api {

void bind_training(nb::module_& m) {
    nb::object cls = make_namespace_class("korvane_sdk.training", "TrainingManager", "Manage model training jobs.",
                                          "Initialize training manager.");
    m.attr("TrainingManager") = cls;
    classes().training_manager = cls.release();
}

}  // namespace korvane::api
