// The feedback namespace: FeedbackManager, rated feedback on answers, global or per tenant.
#include "api/admin/admin.hpp"
#include "api/admin/operations.hpp"
#include "api/admin/paths.hpp"
#include "api/client/client.hpp"
#include "errors/errors.hpp"
#include "py/types.hpp"

#include <utility>

namespace korvane::api {
namespace {

// Ratings compare as Python's `in` does, so 1.0 or True pass here and the record decides on them.
void check_rating(nb::handle rating) {
    for (int allowed : {-1, 0, 1}) {
        int equal = PyObject_RichCompareBool(rating.ptr(), nb::int_(allowed).ptr(), Py_EQ);
        if (equal < 0) throw nb::python_error();
        if (equal) return;
    }
    errors::raise(errors::make(errors::Kind::InvalidRequest, nb::make_tuple("Rating must be -1, 0, or 1")));
}

Prepared create(nb::handle request_id, nb::handle rating, nb::handle comment, nb::handle tags, nb::handle prompt,
                nb::handle response, nb::handle tenant_id) {
    check_rating(rating);
    nb::dict fields;
    fields["request_id"] = request_id;
    fields["rating"] = rating;
    fields["comment"] = comment;
    fields["tags"] = or_empty<nb::list>(tags);
    fields["prompt"] = prompt;
    fields["response"] = response;
    nb::object body = record_body(Record::FeedbackCreate, fields);
    Call call{"POST", api_path(tenant_id, {"/feedback"})};
    call.json = body;
    return {std::move(call), Finish::Record, Record::Feedback};
}

Prepared list(nb::handle tenant_id, nb::handle limit, nb::handle offset, nb::handle rating, nb::handle start_date,
              nb::handle end_date, nb::handle tags) {
    nb::dict query;
    query["limit"] = limit;
    query["offset"] = offset;
    if (!rating.is_none()) query["rating"] = rating;  // 0, neutral, is a filter too
    if (py::truthy(start_date)) query["start_date"] = date_text(start_date, "start_date");
    if (py::truthy(end_date)) query["end_date"] = date_text(end_date, "end_date");
    if (py::truthy(tags)) {
        PyObject* joined = PyUnicode_Join(nb::str(",").ptr(), tags.ptr());
        if (!joined) throw nb::python_error();
        query["tags"] = nb::steal(joined);
    }
    return {Call{"GET", api_path(tenant_id, {"/feedback"}), query}, Finish::List, Record::Feedback, "feedbacks"};
}

nb::str feedback_path(nb::handle feedback_id, nb::handle tenant_id) {
    return api_path(tenant_id, {"/feedback/", PathPiece::resource(feedback_id, "feedback_id")});
}

Prepared get(nb::handle feedback_id, nb::handle tenant_id) {
    return {Call{"GET", feedback_path(feedback_id, tenant_id)}, Finish::Record, Record::Feedback};
}

Prepared remove(nb::handle feedback_id, nb::handle tenant_id) {
    return {Call{"DELETE", feedback_path(feedback_id, tenant_id)}, Finish::Done};
}

Prepared stats(nb::handle tenant_id, nb::handle start_date, nb::handle end_date) {
    nb::dict query;
    if (py::truthy(start_date)) query["start_date"] = date_text(start_date, "start_date");
    if (py::truthy(end_date)) query["end_date"] = date_text(end_date, "end_date");
    return {Call{"GET", api_path(tenant_id, {"/feedback/stats"}), query}, Finish::Record, Record::FeedbackStats};
}

Prepared export_feedback(nb::handle tenant_id, nb::handle format, nb::handle rating) {
    nb::dict query;
    query["format"] = format;
    if (!rating.is_none()) query["rating"] = rating;
    Call call{"GET", api_path(tenant_id, {"/feedback/export"}), query};
    call.raw_response = true;
    return {std::move(call)};
}

}  // namespace

void bind_feedback(nb::module_& m) {
    nb::object cls = make_namespace_class("korvane_sdk.feedback", "FeedbackManager",
                                          "Manage user feedback for model improvement.");
    add_operation<&create>(cls, "create", param("request_id"), param("rating"), param("comment", nb::none()),
                           param("tags", nb::none()), param("prompt", nb::none()), param("response", nb::none()),
                           param("tenant_id", nb::none()),
                           "Submit feedback for a response.\n\n"
                           "Args:\n"
                           "    request_id: The request ID to provide feedback for (from chat completion)\n"
                           "    rating: -1 (bad), 0 (neutral), 1 (good)\n"
                           "    comment: Optional comment\n"
                           "    tags: Optional tags\n"
                           "    prompt: The prompt text\n"
                           "    response: The response text\n"
                           "    tenant_id: Tenant ID for multi-tenant mode\n\n"
                           "Returns:\n"
                           "    Created feedback");
    add_operation<&list>(cls, "list", param("tenant_id", nb::none()), param("limit", 100), param("offset", 0),
                         param("rating", nb::none()), param("start_date", nb::none()), param("end_date", nb::none()),
                         param("tags", nb::none()),
                         "List feedback.\n\n"
                         "Args:\n"
                         "    tenant_id: Filter by tenant\n"
                         "    limit: Maximum number of feedback entries\n"
                         "    offset: Offset for pagination\n"
                         "    rating: Filter by rating\n"
                         "    start_date: Filter by start date\n"
                         "    end_date: Filter by end date\n"
                         "    tags: Filter by tags\n\n"
                         "Returns:\n"
                         "    List of feedback");
    add_pages(cls, "iter", "list", {"tenant_id", "rating", "start_date", "end_date", "tags"},
              "def iter(self, *, tenant_id: str | None = None, rating: int | None = None, "
              "start_date: datetime | str | None = None, end_date: datetime | str | None = None, "
              "tags: list[str] | None = None, page_size: int = 100) -> Iterator[Feedback]",
              "Every feedback matching the filters, fetched page by page (one request per page).");
    add_operation<&get>(cls, "get", param("feedback_id"), param("tenant_id", nb::none()),
                        "Get a feedback entry.\n\n"
                        "Args:\n"
                        "    feedback_id: Feedback ID\n"
                        "    tenant_id: Tenant ID\n\n"
                        "Returns:\n"
                        "    Feedback entry");
    add_operation<&remove>(cls, "delete", param("feedback_id"), param("tenant_id", nb::none()),
                           "Delete a feedback entry.\n\n"
                           "Args:\n"
                           "    feedback_id: Feedback ID\n"
                           "    tenant_id: Tenant ID\n\n"
                           "Returns:\n"
                           "    True if deleted");
    add_operation<&stats>(cls, "stats", param("tenant_id", nb::none()), param("start_date", nb::none()),
                          param("end_date", nb::none()),
                          "Get feedback statistics.\n\n"
                          "Args:\n"
                          "    tenant_id: Filter by tenant\n"
                          "    start_date: Filter by start date\n"
                          "    end_date: Filter by end date\n\n"
                          "Returns:\n"
                          "    Feedback statistics");
    add_operation<&export_feedback>(cls, "export", param("tenant_id", nb::none()), param("format", "jsonl"),
                                    param("rating", nb::none()),
                                    "Export feedback for training.\n\n"
                                    "Args:\n"
                                    "    tenant_id: Filter by tenant\n"
                                    "    format: Export format ('jsonl' or 'csv')\n"
                                    "    rating: Filter by rating\n\n"
                                    "Returns:\n"
                                    "    Exported data as string");
    m.attr("FeedbackManager") = cls;
    classes().feedback_manager = cls.release();
}

}  // namespace korvane::api
