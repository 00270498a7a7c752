// TrainingManager's dataset operations: create, list, read, delete, upload a file, build from feedback.
#include "api/admin/datasets.hpp"
#include "api/admin/operations.hpp"

#include "api/admin/paths.hpp"
#include "http/upload.hpp"
#include "py/raise.hpp"
#include "py/types.hpp"

#include <utility>

namespace korvane::api {
namespace {

Prepared create_dataset(nb::handle name, nb::handle description, nb::handle dataset_type, nb::handle tenant_id) {
    nb::dict fields;
    fields["name"] = name;
    fields["description"] = description;
    fields["dataset_type"] = dataset_type;
    nb::object body = record_body(Record::DatasetCreate, fields);
    Call call{"POST", api_path(tenant_id, {"/datasets"})};
    call.json = body;
    return {std::move(call), Finish::Record, Record::Dataset};
}

Prepared list_datasets(nb::handle tenant_id, nb::handle dataset_type, nb::handle limit, nb::handle offset) {
    nb::dict query;
    query["limit"] = limit;
    query["offset"] = offset;
    if (py::truthy(dataset_type)) query["type"] = dataset_type;
    return {Call{"GET", api_path(tenant_id, {"/datasets"}), query}, Finish::List, Record::Dataset, "datasets"};
}

nb::str dataset_path(nb::handle dataset_id, nb::handle tenant_id, const char* tail = "") {
    return api_path(tenant_id, {"/datasets/", PathPiece::resource(dataset_id, "dataset_id"), tail});
}

Prepared get_dataset(nb::handle dataset_id, nb::handle tenant_id) {
    return {Call{"GET", dataset_path(dataset_id, tenant_id)}, Finish::Record, Record::Dataset};
}

Prepared delete_dataset(nb::handle dataset_id, nb::handle tenant_id) {
    return {Call{"DELETE", dataset_path(dataset_id, tenant_id)}, Finish::Done};
}

[[noreturn]] void refuse_upload_source(nb::handle source) {
    py::raise(PyExc_TypeError,
              "upload_dataset() takes the path of a JSONL file or a binary file object open for reading, not %s; "
              "to upload bytes held in memory, pass io.BytesIO(data)",
              Py_TYPE(source.ptr())->tp_name);
}

// A binary file object of the caller, as the upload sends it: itself when the HTTP layer streams it
// (a file on disk, an io.BytesIO), else a temporary file it is copied into piece by piece, so that
// no reader is ever held in memory whole; the copy is set in `owned`, to be closed after the call.
nb::object readable_source(nb::handle source, nb::object& owned) {
    nb::module_ io = nb::module_::import_("io");
    int text = PyObject_IsInstance(source.ptr(), io.attr("TextIOBase").ptr());
    if (text < 0) throw nb::python_error();
    if (text) {
        py::raise_text(PyExc_TypeError, "upload_dataset() sends bytes: open the file in binary mode ('rb')");
    }
    if (nb::hasattr(source, "readable") && !py::truthy(source.attr("readable")())) {
        py::raise_text(PyExc_ValueError, "upload_dataset() needs a file open for reading");
    }
    if (http::streams_in_place(source)) return nb::borrow(source);
    nb::object copy = nb::module_::import_("tempfile").attr("TemporaryFile")();
    try {
        nb::module_::import_("shutil").attr("copyfileobj")(source, copy, 1 << 20);
        copy.attr("seek")(0);
    } catch (...) {
        close_quietly(copy);
        throw;
    }
    owned = copy;
    return copy;
}

// The prepared upload owns the file it opened (a path's, or the copy of an unusual reader): the
// blocking operation and the asyncio client close it once the request is over, whatever its outcome.
// A file object of the caller stays open and the caller's.
Prepared upload_dataset(nb::handle dataset_id, nb::handle file_path, nb::handle tenant_id) {
    Call call{"POST", dataset_path(dataset_id, tenant_id, "/upload")};
    PyObject* source = file_path.ptr();
    if (PyBytes_Check(source) || PyByteArray_Check(source) || PyMemoryView_Check(source) || PyBool_Check(source)) {
        refuse_upload_source(file_path);
    }
    nb::object owned;
    nb::object file;
    if (nb::hasattr(file_path, "read")) {
        file = readable_source(file_path, owned);
    } else if (PyLong_Check(source)) {
        // A descriptor is the caller's: read from it, never closed here.
        file = nb::module_::import_("io").attr("open")(file_path, "rb", nb::arg("closefd") = false);
    } else if (PyUnicode_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
        // The interpreter's own open(): a missing file is its FileNotFoundError, before anything is sent.
        file = nb::module_::import_("io").attr("open")(file_path, "rb");
        owned = file;
    } else {
        refuse_upload_source(file_path);
    }
    nb::dict files;
    files["file"] = file;
    call.files = files;
    return {std::move(call), Finish::Record, Record::Dataset, nullptr, std::move(owned)};
}

Prepared generate_from_feedback(nb::handle dataset_name, nb::handle tenant_id, nb::handle min_rating,
                                nb::handle dataset_type) {
    nb::dict body;  // a plain mapping: nulls are sent, nothing is checked here
    body["name"] = dataset_name;
    body["min_rating"] = min_rating;
    body["dataset_type"] = dataset_type;
    Call call{"POST", api_path(tenant_id, {"/datasets/from-feedback"})};
    call.json = body;
    return {std::move(call), Finish::Record, Record::Dataset};
}

}  // namespace

void add_dataset_methods(nb::handle cls) {
    add_operation<&create_dataset>(cls, "create_dataset", param("name"), param("description", nb::none()),
                                   param("dataset_type", "sft"), param("tenant_id", nb::none()),
                                   "Create a new dataset.\n\n"
                                   "Args:\n"
                                   "    name: Dataset name\n"
                                   "    description: Description\n"
                                   "    dataset_type: Type ('sft', 'dpo', 'preference')\n"
                                   "    tenant_id: Tenant ID\n\n"
                                   "Returns:\n"
                                   "    Created dataset");
    add_operation<&list_datasets>(cls, "list_datasets", param("tenant_id", nb::none()),
                                  param("dataset_type", nb::none()), param("limit", 100), param("offset", 0),
                                  "List datasets.\n\n"
                                  "Args:\n"
                                  "    tenant_id: Filter by tenant\n"
                                  "    dataset_type: Filter by type\n"
                                  "    limit: Maximum number of datasets\n"
                                  "    offset: Offset for pagination\n\n"
                                  "Returns:\n"
                                  "    List of datasets");
    add_pages(cls, "iter_datasets", "list_datasets", {"tenant_id", "dataset_type"},
              "def iter_datasets(self, *, tenant_id: str | None = None, dataset_type: str | None = None, "
              "page_size: int = 100) -> Iterator[Dataset]",
              "Every dataset matching the filters, fetched page by page (one request per page).");
    add_operation<&get_dataset>(cls, "get_dataset", param("dataset_id"), param("tenant_id", nb::none()),
                                "Get a dataset.\n\n"
                                "Args:\n"
                                "    dataset_id: Dataset ID\n"
                                "    tenant_id: Tenant ID\n\n"
                                "Returns:\n"
                                "    Dataset");
    add_operation<&delete_dataset>(cls, "delete_dataset", param("dataset_id"), param("tenant_id", nb::none()),
                                   "Delete a dataset.\n\n"
                                   "Args:\n"
                                   "    dataset_id: Dataset ID\n"
                                   "    tenant_id: Tenant ID\n\n"
                                   "Returns:\n"
                                   "    True if deleted");
    add_operation<&upload_dataset>(
        cls, "upload_dataset", param("dataset_id"), param("file_path"), param("tenant_id", nb::none()),
        "Upload data to a dataset.\n\n"
        "The data is JSON Lines (UTF-8): one training example per line, a JSON object\n"
        "such as {\"prompt\": \"...\", \"response\": \"...\"}; blank lines are skipped. Each\n"
        "example line adds one to the dataset's num_examples. The file is sent unchanged.\n\n"
        "Args:\n"
        "    dataset_id: Dataset ID\n"
        "    file_path: Path to JSONL file, or a binary file object open for reading\n"
        "        (an open file or io.BytesIO), sent from its position and left open\n"
        "    tenant_id: Tenant ID\n\n"
        "Returns:\n"
        "    Updated dataset");
    add_operation<&generate_from_feedback>(cls, "generate_from_feedback", param("dataset_name"),
                                           param("tenant_id", nb::none()), param("min_rating", 1),
                                           param("dataset_type", "sft"),
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
