// The request ids of the records calls returned: a table beside the records, emptied as they go.
#include "records/request_id.hpp"

#include <unordered_map>

#include "records/base_model.hpp"
#include "records/records.hpp"

namespace korvane::records {
namespace {

// OWNER RULE. One entry per live record that a call returned with a request id, keyed by the
// record's address: the table holds no reference to the record, so it never keeps one alive. Each
// entry owns a weak reference to its record, made with `forget` as its callback, and the id (a
// str); the record's release runs `forget` before its memory is freed (its dealloc clears its weak
// references first, as the garbage collector does for a record in a cycle), which drops the entry,
// so an address in the table is always that of the live record it was noted for. Only
// note_request_id() adds or replaces entries and only forget() removes them, both with the GIL
// held; a reader gets the id borrowed and takes its own reference. Never destroyed: records may be
// released during the interpreter's finalization, after static destructors would have run.
struct Entry {
    PyObject* ref;  // the weak reference to the record (strong)
    PyObject* id;   // strong
};

struct Table {
    std::unordered_map<PyObject*, Entry> by_record;
    std::unordered_map<PyObject*, PyObject*> record_of_ref;  // a weak reference -> its record's address
    PyObject* forget = nullptr;                              // the weak references' callback, strong
};

Table& table() {
    static auto& kept = *new Table();
    return kept;
}

// Called with the weak reference once its record is being released. The interpreter does not use the
// weak reference after its callback returns, so the table's reference (perhaps the last) goes here.
PyObject* forget(PyObject*, PyObject* ref) {
    Table& t = table();
    const auto found = t.record_of_ref.find(ref);
    if (found == t.record_of_ref.end()) Py_RETURN_NONE;
    const auto entry = t.by_record.find(found->second);
    t.record_of_ref.erase(found);
    if (entry != t.by_record.end()) {
        const Entry dropped = entry->second;
        t.by_record.erase(entry);
        Py_DECREF(dropped.id);
        Py_DECREF(dropped.ref);
    }
    Py_RETURN_NONE;
}

PyMethodDef g_forget = {"_forget_request_id", &forget, METH_O, "Drops a released record's request id."};

}  // namespace

bool is_record(nb::handle value) { return PyObject_TypeCheck(value.ptr(), base_model()) != 0; }

void note_request_id(nb::handle record_handle, nb::handle id_handle) {
    PyObject* record = record_handle.ptr();
    PyObject* id = id_handle.ptr();
    Table& t = table();
    if (const auto found = t.by_record.find(record); found != t.by_record.end()) {
        Py_SETREF(found->second.id, Py_NewRef(id));
        return;
    }
    if (!t.forget && !(t.forget = PyCFunction_New(&g_forget, nullptr))) throw nb::python_error();
    nb::object ref = nb::steal(PyWeakref_NewRef(record, t.forget));
    if (!ref.is_valid()) throw nb::python_error();
    t.by_record.emplace(record, Entry{ref.ptr(), id});
    try {
        t.record_of_ref.emplace(ref.ptr(), record);
    } catch (...) {
        t.by_record.erase(record);
        throw;
    }
    Py_INCREF(id);
    ref.release();
}

PyObject* request_id_of(PyObject* record) {
    const Table& t = table();
    const auto found = t.by_record.find(record);
    return found == t.by_record.end() ? Py_None : found->second.id;
}

}  // namespace korvane::records
