// Page iterators, blocking and awaited: every record of a list call, one page (one call) at a time.
//
// Each page goes through the manager's own list method (looked up once, when the iterator is
// made), so filters, tenant scoping and any override behave as for `list`. The iterator stops
// after a page shorter than the page size; a failed page leaves the state as it was, so the next
// pull asks for the same page again. The awaited iterator is its own __anext__ awaitable: a pull
// with a record in hand costs no future, and a page's call is awaited by delegation.
#include "api/engine/pages.hpp"

#include <deque>
#include <string>
#include <vector>

#include "api/engine/awaitable.hpp"
#include "py/awaitable_protocol.hpp"
#include "py/guard.hpp"
#include "py/raise.hpp"
#include "py/spec_type.hpp"
#include "py/types.hpp"

namespace korvane::api::engine {
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
    PyObject* inner;    // strong while a page's call is awaited: what `await` drives, else null
};

PageIterator* as_pages(PyObject* self) { return reinterpret_cast<PageIterator*>(self); }

// Its strong references, for the garbage collector.
using References = py::StrongMembers<PageIterator, &PageIterator::list_method, &PageIterator::filters,
                                     &PageIterator::page, &PageIterator::inner>;

// Takes `answer` (a new reference) as the next page; false with an exception set on failure.
bool take_page(PageIterator* it, PyObject* answer) {
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

// The list method's answer for the next page (its awaitable for the awaited iterator), or NULL.
PyObject* call_list(PageIterator* it) {
    PyObject* kwargs = PyDict_Copy(it->filters);
    if (!kwargs) return nullptr;
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
            answer = PyObject_Call(it->list_method, no_args, kwargs);
            Py_DECREF(no_args);
        }
    }
    Py_DECREF(kwargs);
    return answer;
}

// Fetches the next page into `page`; false with an exception set on failure.
bool fetch(PageIterator* it) {
    it->running = true;
    PyObject* answer = call_list(it);
    it->running = false;
    return answer && take_page(it, answer);
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

// One step of the awaited pull: `sent` into the page's call being awaited (or `thrown` at it), then
// the next record (PYGEN_RETURN), what to yield (PYGEN_NEXT), or the error (StopAsyncIteration at
// the end).
PySendResult pull_step(PageIterator* it, PyObject* sent, PyObject* thrown, PyObject** out) {
    *out = nullptr;
    if (!it->inner) {
        if (thrown) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(thrown)), thrown);
            return PYGEN_ERROR;
        }
    }
    for (;;) {
        if (it->inner) {
            PyObject* value = nullptr;
            PySendResult r = thrown ? throw_into(it->inner, thrown, &value)
                                    : PyIter_Send(it->inner, sent ? sent : Py_None, &value);
            thrown = sent = nullptr;
            if (r == PYGEN_NEXT) {
                *out = value;
                return PYGEN_NEXT;
            }
            Py_CLEAR(it->inner);
            it->running = false;
            if (r == PYGEN_ERROR || !take_page(it, value)) return PYGEN_ERROR;
            continue;
        }
        if (it->page && it->index < PyList_GET_SIZE(it->page)) {
            *out = Py_NewRef(PyList_GET_ITEM(it->page, it->index++));
            return PYGEN_RETURN;
        }
        Py_CLEAR(it->page);
        if (it->done) {
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return PYGEN_ERROR;
        }
        PyObject* answer = call_list(it);
        if (!answer) return PYGEN_ERROR;
        const bool awaiting = py::guarded<int>(-1, [&] {
            nb::object iterator = await_iterator(answer);
            if (!iterator.is_valid()) return 0;
            it->inner = iterator.release().ptr();
            return 1;
        });
        if (PyErr_Occurred()) {
            Py_DECREF(answer);
            return PYGEN_ERROR;
        }
        if (!awaiting) {
            if (!take_page(it, answer)) return PYGEN_ERROR;
            continue;
        }
        Py_DECREF(answer);
        it->running = true;
    }
}

// One pull of the awaited iterator (what __anext__ gives): an awaitable of the next record, the
// iterator's state moved on as it goes. Owner rule: `pages` is strong (the iterator it pulls from).
struct PagePull {
    PyObject_HEAD
    PyObject* pages;
};

PageIterator* pages_of(PyObject* pull) { return as_pages(reinterpret_cast<PagePull*>(pull)->pages); }

using PullReferences = py::StrongMembers<PagePull, &PagePull::pages>;

PySendResult pull_step_of(PyObject* self, PyObject* sent, PyObject* thrown, PyObject** out) {
    return pull_step(pages_of(self), sent, thrown, out);
}

using PullProtocol = py::AwaitableProtocol<&pull_step_of>;

// close() of an interrupted pull (its awaiting code was closed): the page's call is let go, and
// the next pull asks for the same page again.
PyObject* pull_close(PyObject* self, PyObject*) {
    PageIterator* it = pages_of(self);
    PyObject* inner = it->inner;
    it->inner = nullptr;
    it->running = false;
    return py::close_delegate(inner);
}

PyMethodDef g_pull_methods[] = {
    {"send", &PullProtocol::send, METH_O, "Resume the pull (what a task sends is None)."},
    {"throw", PullProtocol::throw_method(), METH_FASTCALL, "Raise an exception at the page's call being awaited."},
    {"close", &pull_close, METH_NOARGS, "Let go of the page's call being awaited."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_pull_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_am_send, reinterpret_cast<void*>(&PullProtocol::am_send)},
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&PullProtocol::next)},
    {Py_tp_methods, reinterpret_cast<void*>(g_pull_methods)},
    {Py_tp_traverse, reinterpret_cast<void*>(&PullReferences::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&PullReferences::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&PullReferences::dealloc)},
    {Py_tp_doc, const_cast<char*>("The next record of an awaited page iterator; await it once.")},
    {0, nullptr},
};

PyType_Spec g_pull_spec = {
    "korvane_sdk.aio._PagePull",
    static_cast<int>(sizeof(PagePull)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_pull_slots,
};

// A new pull: refused while another one awaits its page (resuming a pull goes through send()).
PyObject* pages_anext(PyObject* self) {
    if (as_pages(self)->running) {
        PyErr_SetString(PyExc_ValueError, "page iterator already executing");
        return nullptr;
    }
    return py::guarded<PyObject*>(nullptr, [&] {
        auto* pull = PyObject_GC_New(PagePull, py::kept_type<g_pull_spec>());
        if (!pull) throw nb::python_error();
        pull->pages = Py_NewRef(self);
        PyObject_GC_Track(pull);
        return reinterpret_cast<PyObject*>(pull);
    });
}

PyType_Slot g_awaited_slots[] = {
    {Py_am_aiter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_am_anext, reinterpret_cast<void*>(&pages_anext)},
    {Py_tp_traverse, reinterpret_cast<void*>(&References::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&References::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&References::dealloc)},
    {Py_tp_doc, const_cast<char*>("Every record of a list call, awaited one page (one request) at a time.")},
    {0, nullptr},
};

PyType_Spec g_awaited_spec = {
    "korvane_sdk.aio.AsyncPageIterator",
    static_cast<int>(sizeof(PageIterator)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_awaited_slots,
};

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

nb::object make_pages(nb::object list_method, nb::dict filters, Py_ssize_t page_size, bool awaited) {
    PageIterator* it = PyObject_GC_New(PageIterator,
                                       awaited ? py::kept_type<g_awaited_spec>() : py::kept_type<g_spec>());
    if (!it) throw nb::python_error();
    it->list_method = list_method.release().ptr();
    it->filters = filters.release().ptr();
    it->page = nullptr;
    it->index = 0;
    it->page_size = page_size;
    it->offset = 0;
    it->done = false;
    it->running = false;
    it->inner = nullptr;
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

nb::object add_page_iterator(nb::handle cls, const char* name, const char* list_name,
                             std::initializer_list<const char*> filters, const char* signature, const char* doc) {
    std::vector<std::string> names(filters.begin(), filters.end());
    std::string where = std::string(name) + "()";
    auto pages = [names, where, list_name](nb::handle self, nb::kwargs kwargs, bool awaited) {
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
        return make_pages(nb::getattr(self, list_name), chosen, page_size, awaited);
    };
    auto method = [pages](nb::handle self, nb::kwargs kwargs) { return pages(self, kwargs, false); };
    // Every iterator's documentation ends with the same warning about removing records while paging.
    // The texts are kept for the process, as the methods that point at them are.
    static std::deque<std::string>& docs = *new std::deque<std::string>();
    docs.push_back(std::string(doc) + kPagingCaveat);
    py::add_method(cls, name, method, nb::sig(signature), docs.back().c_str());
    return nb::cpp_function([pages](nb::handle self, nb::kwargs kwargs) { return pages(self, kwargs, true); },
                            nb::name(name), docs.back().c_str());
}

}  // namespace korvane::api::engine
