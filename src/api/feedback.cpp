// The feedback namespace: FeedbackManager.
#include "api/api.hpp"

namespace korvane::api {

void bind_feedback(nb::module_& m) {
    nb::object cls = make_namespace_class("korvane_sdk.feedback", "FeedbackManager",
                                          "Manage user feedback for model improvement.");
    m.attr("FeedbackManager") = cls;
    classes().feedback_manager = cls.release();
}

}  // namespace korvane::api
