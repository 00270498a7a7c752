// TrainingManager's dataset operations: create, list, read, delete, upload a file, build from feedback.
#include "api/admin/datasets.hpp"
#include "api/admin/pages.hpp"

#include "api/admin/operations.hpp"
#include "api/admin/paths.hpp"
#include "py/types.hpp"

namespace korvane::api {
namespace {

nb::object create_dataset(nb::handle self, nb::handle name, nb::handle description, nb::handle dataset_type,
                          nb::handle tenant_id) {
    nb::dict fields;
    fields["name"] = name;
    fields["description"] = description;
    fields["dataset_type"] = dataset_type;
    nb::object body = record_body(Record::DatasetCreate, fields);
    Call call{"POST", api_path(tenant_id, {"/datasets"})};
    call.json = body;
    return record_from(Record::Dataset, send(self, call), call);
}

nb::list list_datasets(nb::handle self, nb::handle tenant_id, nb::handle dataset_type, nb::handle limit,
                       nb::handle offset) {
    nb::dict query;
    query["limit"] = limit;
    query["offset"] = offset;
    if (py::truthy(dataset_type)) query["type"] = dataset_type;
    Call call{"GET", api_path(tenant_id, {"/datasets"}), query};
    return list_records(self, call, Record::Dataset, "datasets");
}

nb::object get_dataset(nb::handle self, nb::handle dataset_id, nb::handle tenant_id) {
    Call call{"GET", api_path(tenant_id, {"/datasets/", PathPiece::resource(dataset_id, "dataset_id")})};
    return record_from(Record::Dataset, send(self, call), call);
}

bool delete_dataset(nb::handle self, nb::handle dataset_id, nb::handle tenant_id) {
    send(self, Call{"DELETE", api_path(tenant_id, {"/datasets/", PathPiece::resource(dataset_id, "dataset_id")})});
    return true;
}

// Closes `file` after a failed call. The call's own error is the one the caller needs; closing a
// file opened for reading does not lose data, so a failure to close is dropped.
void close_quietly(nb::handle file) noexcept {
    try {
        nb::getattr(file, "close")();
    } catch (...) {
    }
}

nb::object upload_dataset(nb::handle self, nb::handle dataset_id, nb::handle file_path, nb::handle tenant_id) {
    Call call{"POST", api_path(tenant_id, {"/datasets/", PathPiece::resource(dataset_id, "dataset_id"), "/upload"})};
    // The interpreter's own open(): a missing file is its FileNotFoundError, before anything is sent.
    nb::object file = nb::module_::import_("io").attr("open")(file_path, "rb");
    nb::dict files;
    files["file"] = file;
    call.files = files;
    nb::object answer;
    try {
        answer = send(self, call);
    } catch (...) {
        close_quietly(file);
        throw;
    }
    nb::getattr(file, "close")();
    return record_from(Record::Dataset, answer, call);
}

nb::object generate_from_feedback(nb::handle self, nb::handle dataset_name, nb::handle tenant_id, nb::handle min_rating,
                                  nb::handle dataset_type) {
    nb::dict body;  // a plain mapping: nulls are sent, nothing is checked here
    body["name"] = dataset_name;
    body["min_rating"] = min_rating;
    body["dataset_type"] = dataset_type;
    Call call{"POST", api_path(tenant_id, {"/datasets/from-feedback"})};
    call.json = body;
    return record_from(Record::Dataset, send(self, call), call);
}

}  // namespace

void add_dataset_methods(nb::handle cls) {
    py::add_method(cls, "create_dataset", &create_dataset, param("name"), param("description", nb::none()),
                   param("dataset_type", "sft"), param("tenant_id", nb::none()),
                   "Create a new dataset.\n\n"
                   "Args:\n"
                   "    name: Dataset name\n"
                   "    description: Description\n"
                   "    dataset_type: Type ('sft', 'dpo', 'preference')\n"
                   "    tenant_id: Tenant ID\n\n"
                   "Returns:\n"
                   "    Created dataset");
    py::add_method(cls, "list_datasets", &list_datasets, param("tenant_id", nb::none()),
                   param("dataset_type", nb::none()), param("limit", 100), param("offset", 0),
                   "List datasets.\n\n"
                   "Args:\n"
                   "    tenant_id: Filter by tenant\n"
                   "    dataset_type: Filter by type\n"
                   "    limit: Maximum number of datasets\n"
                   "    offset: Offset for pagination\n\n"
                   "Returns:\n"
                   "    List of datasets");
    add_page_iterator(cls, "iter_datasets", "list_datasets", {"tenant_id", "dataset_type"},
                      "def iter_datasets(self, *, tenant_id: str | None = None, dataset_type: str | None = None, "
                      "page_size: int = 100) -> Iterator[Dataset]",
                      "Every dataset matching the filters, fetched page by page (one request per page).");
    py::add_method(cls, "get_dataset", &get_dataset, param("dataset_id"), param("tenant_id", nb::none()),
                   "Get a dataset.\n\n"
                   "Args:\n"
                   "    dataset_id: Dataset ID\n"
                   "    tenant_id: Tenant ID\n\n"
                   "Returns:\n"
                   "    Dataset");
    py::add_method(cls, "delete_dataset", &delete_dataset, param("dataset_id"), param("tenant_id", nb::none()),
                   "Delete a dataset.\n\n"
                   "Args:\n"
                   "    dataset_id: Dataset ID\n"
                   "    tenant_id: Tenant ID\n\n"
                   "Returns:\n"
                   "    True if deleted");
    py::add_method(cls, "upload_dataset", &upload_dataset, param("dataset_id"), param("file_path"),
                   param("tenant_id", nb::none()),
                   "Upload data to a dataset.\n\n"
                   "Args:\n"
                   "    dataset_id: Dataset ID\n"
                   "    file_path: Path to JSONL file\n"
                   "    tenant_id: Tenant ID\n\n"
                   "Returns:\n"
                   "    Updated dataset");
    py::add_method(cls, "generate_from_feedback", &generate_from_feedback, param("dataset_name"),
                   param("tenant_id", nb::none()), param("min_rating", 1), param("dataset_type", "sft"),
                   "Generate a dataset from collected feedback.\n\n"
                   "Args:\n"
                   "    dataset_name: Name for the new dataset\n"
                   "    tenant_id: Tenant ID\n"
                   "    min_rating: Minimum feedback rating to include\n"
                   "    dataset_type: Dataset type ('sft', 'dpo')\n\n"
                   "Returns:\n"
                   "    Created dataset");
}

}  // namespace korvane::api
