// Page iterators: every record of a list call, fetched one page (one request) at a time.
//
// Each page goes through the manager's own list method (looked up once, when the iterator is
// made), so filters, tenant scoping and any override behave as for `list`. The iterator stops
// after a page shorter than the page size; a failed page leaves the state as it was, so the next
// pull asks for the same page again.
#include "api/admin/pages.hpp"

#include <deque>
#include <string>
#include <vector>

#include "py/raise.hpp"
#include "py/spec_type.hpp"
#include "py/types.hpp"

namespace korvane::api {
namespace {

struct PageIterator {
    PyObject_HEAD
    PyObject* list_method;  // strong: the bound list method
    PyObject* filters;      // strong: dict of the filters as given
    PyObject* page;         // strong while a page is held, else null
    Py_ssize_t index;       // next item of `page`
    Py_ssize_t page_size;
    Py_ssize_t offset;  // offset of the next page
    bool done;          // the last page has been fetched
    bool running;       // a page request is in flight (another pull is refused)
};

PageIterator* as_pages(PyObject* self) { return reinterpret_cast<PageIterator*>(self); }

// Its strong references, for the garbage collector.
using References =
    py::StrongMembers<PageIterator, &PageIterator::list_method, &PageIterator::filters, &PageIterator::page>;

// Fetches the next page into `page`; false with an exception set on failure.
bool fetch(PageIterator* it) {
    PyObject* kwargs = PyDict_Copy(it->filters);
    if (!kwargs) return false;
    PyObject* limit = PyLong_FromSsize_t(it->page_size);
    PyObject* offset = limit ? PyLong_FromSsize_t(it->offset) : nullptr;
    bool ok = offset && PyDict_SetItemString(kwargs, "limit", limit) == 0 &&
              PyDict_SetItemString(kwargs, "offset", offset) == 0;
    Py_XDECREF(limit);
    Py_XDECREF(offset);
    PyObject* answer = nullptr;
    if (ok) {
        PyObject* no_args = PyTuple_New(0);
        if (no_args) {
            it->running = true;
            answer = PyObject_Call(it->list_method, no_args, kwargs);
            it->running = false;
            Py_DECREF(no_args);
        }
    }
    Py_DECREF(kwargs);
    if (!answer) return false;
    PyObject* page = PyList_Check(answer) ? Py_NewRef(answer) : PySequence_List(answer);
    Py_DECREF(answer);
    if (!page) return false;
    const Py_ssize_t count = PyList_GET_SIZE(page);
    Py_XSETREF(it->page, page);
    it->index = 0;
    it->offset += count;
    if (count < it->page_size) it->done = true;
    return true;
}

PyObject* next(PyObject* self) {
    PageIterator* it = as_pages(self);
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "page iterator already executing");
        return nullptr;
    }
    while (true) {
        if (it->page && it->index < PyList_GET_SIZE(it->page)) {
            return Py_NewRef(PyList_GET_ITEM(it->page, it->index++));
        }
        Py_CLEAR(it->page);
        if (it->done) return nullptr;  // StopIteration
        if (!fetch(it)) return nullptr;
    }
}

PyType_Slot g_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&next)},
    {Py_tp_traverse, reinterpret_cast<void*>(&References::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&References::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&References::dealloc)},
    {Py_tp_doc, const_cast<char*>("Every record of a list call, fetched one page (one request) at a time.")},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "korvane_sdk.client.PageIterator",
    static_cast<int>(sizeof(PageIterator)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

nb::object make_pages(nb::object list_method, nb::dict filters, Py_ssize_t page_size) {
    PageIterator* it = PyObject_GC_New(PageIterator, py::kept_type<g_spec>());
    if (!it) throw nb::python_error();
    it->list_method = list_method.release().ptr();
    it->filters = filters.release().ptr();
    it->page = nullptr;
    it->index = 0;
    it->page_size = page_size;
    it->offset = 0;
    it->done = false;
    it->running = false;
    PyObject_GC_Track(it);
    return nb::steal(reinterpret_cast<PyObject*>(it));
}

// Pages are asked for by offset, so records removed from the filter while iterating (deleted, or
// changed so the filter no longer takes them) shift the later ones past the next page's offset.
constexpr const char* kPagingCaveat =
    "\n\nPages are fetched by offset: deleting the records while iterating (or changing them so the "
    "filters no longer match) moves the records not yet seen forward, and the iterator silently skips "
    "that many (deleting each of 100 records as it comes deletes 50). Collect first, then change: "
    "``ids = [r.id for r in <iterator>]``, then delete each id.";

}  // namespace

void add_page_iterator(nb::handle cls, const char* name, const char* list_name,
                       std::initializer_list<const char*> filters, const char* signature, const char* doc) {
    std::vector<std::string> names(filters.begin(), filters.end());
    std::string where = std::string(name) + "()";
    auto method = [names, where, list_name](nb::handle self, nb::kwargs kwargs) {
        nb::dict chosen;
        Py_ssize_t page_size = 100;
        for (auto [key, value] : kwargs) {
            if (PyUnicode_Check(key.ptr()) && PyUnicode_CompareWithASCIIString(key.ptr(), "page_size") == 0) {
                if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
                    py::raise(PyExc_TypeError, "page_size must be an int, not %s", Py_TYPE(value.ptr())->tp_name);
                }
                page_size = PyLong_AsSsize_t(value.ptr());
                if (page_size == -1 && PyErr_Occurred()) throw nb::python_error();
                if (page_size < 1) {
                    py::raise_text(PyExc_ValueError, "page_size must be at least 1");
                }
                continue;
            }
            bool known = false;
            for (const std::string& filter : names) {
                known = known || (PyUnicode_Check(key.ptr()) &&
                                  PyUnicode_CompareWithASCIIString(key.ptr(), filter.c_str()) == 0);
            }
            if (!known) {
                py::raise(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", where.c_str(), key.ptr());
            }
            chosen[key] = value;
        }
        return make_pages(nb::getattr(self, list_name), chosen, page_size);
    };
    // Every iterator's documentation ends with the same warning about removing records while paging.
    // The texts are kept for the process, as the methods that point at them are.
    static std::deque<std::string>& docs = *new std::deque<std::string>();
    docs.push_back(std::string(doc) + kPagingCaveat);
    py::add_method(cls, name, method, nb::sig(signature), docs.back().c_str());
}

}  // namespace korvane::api
