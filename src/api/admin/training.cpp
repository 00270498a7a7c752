// The training namespace: TrainingManager and its job operations (datasets: datasets.cpp).
#include "api/admin/admin.hpp"
#include "api/admin/datasets.hpp"
#include "api/admin/operations.hpp"
#include "api/admin/paths.hpp"
#include "api/client/client.hpp"
#include "errors/errors.hpp"
#include "py/types.hpp"

#include <utility>

namespace korvane::api {
namespace {

// Whole, case-sensitive comparison as Python's `in` makes it; runs before any other check.
void check_training_type(nb::handle training_type) {
    for (const char* allowed : {"sft", "dpo", "lora"}) {
        int equal = PyObject_RichCompareBool(training_type.ptr(), nb::str(allowed).ptr(), Py_EQ);
        if (equal < 0) throw nb::python_error();
        if (equal) return;
    }
    nb::str message = nb::str("Invalid training type: {}").format(training_type);
    errors::raise(errors::make(errors::Kind::Training, nb::make_tuple(message)));
}

Prepared create(nb::handle training_type, nb::handle base_model, nb::handle dataset_id, nb::handle config,
                nb::handle num_gpus, nb::handle priority, nb::handle tenant_id) {
    check_training_type(training_type);
    nb::dict fields;
    fields["training_type"] = training_type;
    fields["base_model"] = base_model;
    fields["dataset_id"] = dataset_id;
    fields["config"] = or_empty<nb::dict>(config);
    fields["num_gpus"] = num_gpus;
    fields["priority"] = priority;
    nb::object body = record_body(Record::TrainingJobCreate, fields);
    Call call{"POST", api_path(tenant_id, {"/training/jobs"})};
    call.json = body;
    return {std::move(call), Finish::Record, Record::TrainingJob};
}

nb::str job_path(nb::handle job_id, nb::handle tenant_id, const char* tail = "") {
    return api_path(tenant_id, {"/training/jobs/", PathPiece::resource(job_id, "job_id"), tail});
}

Prepared get(nb::handle job_id, nb::handle tenant_id) {
    return {Call{"GET", job_path(job_id, tenant_id)}, Finish::Record, Record::TrainingJob};
}

Prepared list(nb::handle tenant_id, nb::handle status, nb::handle training_type, nb::handle limit, nb::handle offset) {
    nb::dict query;
    query["limit"] = limit;
    query["offset"] = offset;
    if (py::truthy(status)) query["status"] = status;
    if (py::truthy(training_type)) query["training_type"] = training_type;
    return {Call{"GET", api_path(tenant_id, {"/training/jobs"}), query}, Finish::List, Record::TrainingJob, "jobs"};
}

Prepared cancel(nb::handle job_id, nb::handle reason, nb::handle tenant_id) {
    nb::dict body;  // sent even when empty
    if (py::truthy(reason)) body["reason"] = reason;
    Call call{"POST", job_path(job_id, tenant_id, "/cancel")};
    call.json = body;
    return {std::move(call), Finish::Record, Record::TrainingJob};
}

Prepared get_logs(nb::handle job_id, nb::handle tenant_id, nb::handle tail) {
    nb::dict query;
    query["tail"] = tail;
    return {Call{"GET", job_path(job_id, tenant_id, "/logs"), query}, Finish::Logs};
}

Prepared get_metrics(nb::handle job_id, nb::handle tenant_id) {
    return {Call{"GET", job_path(job_id, tenant_id, "/metrics")}};
}

}  // namespace

void bind_training(nb::module_& m) {
    nb::object cls = make_namespace_class("korvane_sdk.training", "TrainingManager", "Manage model training jobs.",
                                          "Initialize training manager.\n\n"
                                          "Args:\n"
                                          "    client: Parent Korvane client");
    add_operation<&create>(cls, "create", param("training_type"),
                           param("base_model", "meta-llama/Llama-3.1-8B-Instruct"), param("dataset_id", nb::none()),
                           param("config", nb::none()), param("num_gpus", 8), param("priority", "normal"),
                           param("tenant_id", nb::none()),
                           "Create a new training job.\n\n"
                           "Args:\n"
                           "    training_type: Type of training ('sft', 'dpo', 'lora')\n"
                           "    base_model: Base model to fine-tune\n"
                           "    dataset_id: Dataset ID (or auto-collect from feedback)\n"
                           "    config: Training configuration overrides\n"
                           "    num_gpus: Number of GPUs to use\n"
                           "    priority: Job priority ('low', 'normal', 'high')\n"
                           "    tenant_id: Tenant ID for multi-tenant mode\n\n"
                           "Returns:\n"
                           "    Created training job");
    add_operation<&get>(cls, "get", param("job_id"), param("tenant_id", nb::none()),
                        "Get a training job.\n\n"
                        "Args:\n"
                        "    job_id: Training job ID\n"
                        "    tenant_id: Tenant ID\n\n"
                        "Returns:\n"
                        "    Training job");
    add_operation<&list>(cls, "list", param("tenant_id", nb::none()), param("status", nb::none()),
                         param("training_type", nb::none()), param("limit", 100), param("offset", 0),
                         "List training jobs.\n\n"
                         "Args:\n"
                         "    tenant_id: Filter by tenant\n"
                         "    status: Filter by status\n"
                         "    training_type: Filter by training type\n"
                         "    limit: Maximum number of jobs\n"
                         "    offset: Offset for pagination\n\n"
                         "Returns:\n"
                         "    List of training jobs");
    add_pages(cls, "iter_jobs", "list", {"tenant_id", "status", "training_type"},
              "def iter_jobs(self, *, tenant_id: str | None = None, status: str | None = None, "
              "training_type: str | None = None, page_size: int = 100) -> Iterator[TrainingJob]",
              "Every training job matching the filters, fetched page by page (one request per page).");
    add_operation<&cancel>(cls, "cancel", param("job_id"), param("reason", nb::none()), param("tenant_id", nb::none()),
                           "Cancel a training job.\n\n"
                           "Args:\n"
                           "    job_id: Training job ID\n"
                           "    reason: Cancellation reason\n"
                           "    tenant_id: Tenant ID\n\n"
                           "Returns:\n"
                           "    Updated training job");
    add_operation<&get_logs>(cls, "get_logs", param("job_id"), param("tenant_id", nb::none()), param("tail", 100),
                             "Get training job logs.\n\n"
                             "Args:\n"
                             "    job_id: Training job ID\n"
                             "    tenant_id: Tenant ID\n"
                             "    tail: Number of lines to return\n\n"
                             "Returns:\n"
                             "    Log output");
    add_operation<&get_metrics>(cls, "get_metrics", param("job_id"), param("tenant_id", nb::none()),
                                "Get training job metrics.\n\n"
                                "Args:\n"
                                "    job_id: Training job ID\n"
                                "    tenant_id: Tenant ID\n\n"
                                "Returns:\n"
                                "    Training metrics");
    add_dataset_methods(cls);
    m.attr("TrainingManager") = cls;
    classes().training_manager = cls.release();
}

}  // namespace korvane::api
