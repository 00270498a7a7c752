// The namespaces' weak hold on the client that built them, the client's finalizer that makes it strong
// when a namespace outlives the client, and the count of clients sharing one session (lifetime.hpp).
#include "api/client/lifetime.hpp"

#include <memory>
#include <vector>

#include "api/client/client.hpp"
#include "py/checks.hpp"
#include "py/guard.hpp"
#include "py/raise.hpp"
#include "py/types.hpp"
#include "util/python_compat.hpp"

namespace korvane::api {
namespace {

// KorvaneClient.__del__ as the class holds it (a strong reference, kept for the process, as the class
// is); the awaited client's class holds the same object.
PyObject* g_finalizer = nullptr;

// The interned key "_client": made on first use, kept for the process.
PyObject* client_key() {
    static PyObject* key = PyUnicode_InternFromString("_client");
    if (!key) throw nb::python_error();
    return key;
}

// obj.__dict__ (a new reference), or an invalid object with no error set when it has none.
nb::object dict_of(nb::handle obj) {
    PyObject* dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict) PyErr_Clear();
    return nb::steal(dict);
}

// The clients sharing one session: each client's own entry, with the count they share.
struct SessionShare {
    SessionShare(nb::object shared, std::shared_ptr<Py_ssize_t> count)
        : session(std::move(shared)), users(std::move(count)) {}
    SessionShare(SessionShare&&) = default;
    SessionShare(const SessionShare&) = delete;
    SessionShare& operator=(const SessionShare&) = delete;
    SessionShare& operator=(SessionShare&&) = delete;
    // A client dropped without close() stops counting too, so the others' close() still closes it.
    ~SessionShare() {
        if (users && !left) --*users;
    }

    nb::object session;  // strong: the session every client of this count uses
    std::shared_ptr<Py_ssize_t> users;
    bool left = false;  // this client no longer counts as a user
};

SessionShare* share_of(nb::handle client) {
    nb::object dict = dict_of(client);
    if (!dict.is_valid()) return nullptr;
    PyObject* entry = PyDict_GetItemString(dict.ptr(), "_session_share");  // borrowed, the dict holds it
    SessionShare* share = nullptr;
    if (!entry || !nb::try_cast<SessionShare*>(nb::handle(entry), share)) return nullptr;
    return share;
}

nb::object get_client(nb::handle self) {
    nb::object dict = dict_of(self);
    PyObject* value = dict.is_valid() ? PyDict_GetItemWithError(dict.ptr(), client_key()) : nullptr;
    if (!value) {
        if (PyErr_Occurred()) throw nb::python_error();
        py::raise(PyExc_AttributeError, "'%s' object has no attribute '_client'", Py_TYPE(self.ptr())->tp_name);
    }
    if (!PyWeakref_CheckRefExact(value)) return nb::borrow(value);
    PyObject* client = nullptr;
    if (PyWeakref_GetRef(value, &client) < 0) throw nb::python_error();
    if (!client) py::raise_text(PyExc_ReferenceError, "the client of this namespace no longer exists");
    return nb::steal(client);
}

void set_client(nb::handle self, nb::handle client) {
    nb::object dict = dict_of(self);
    if (!dict.is_valid()) {
        py::raise(PyExc_AttributeError, "'%s' object has no attribute '_client'", Py_TYPE(self.ptr())->tp_name);
    }
    if (PyDict_SetItem(dict.ptr(), client_key(), client.ptr()) < 0) throw nb::python_error();
}

void delete_client(nb::handle self) {
    nb::object dict = dict_of(self);
    if (!dict.is_valid() || PyDict_DelItem(dict.ptr(), client_key()) < 0) {
        PyErr_Clear();
        py::raise(PyExc_AttributeError, "'%s' object has no attribute '_client'", Py_TYPE(self.ptr())->tp_name);
    }
}

// Whether `ns` is held anywhere but by the tuple of linked namespaces and the dicts of the client and
// of those namespaces: then it may still be used after the client goes.
bool held_outside(PyObject* ns, const std::vector<nb::object>& dicts) {
    Py_ssize_t inside = 1;  // the tuple
    for (const nb::object& dict : dicts) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(dict.ptr(), &position, &key, &value)) inside += value == ns;
    }
    return Py_REFCNT(ns) > inside;
}

// __del__: when a namespace of the client is still held from outside, every weak link of its
// namespaces becomes strong again (which keeps the client alive for them), so they go on working.
void finalize(nb::handle self) {
    try {
        nb::object dict = dict_of(self);
        PyObject* linked = dict.is_valid() ? PyDict_GetItemString(dict.ptr(), "_namespaces") : nullptr;
        if (!linked || !PyTuple_CheckExact(linked)) return;
        std::vector<nb::object> dicts{dict};
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(linked); ++i) {
            nb::object inner = dict_of(PyTuple_GET_ITEM(linked, i));
            if (inner.is_valid()) dicts.push_back(std::move(inner));
        }
        bool escaped = Py_REFCNT(linked) > 1;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(linked) && !escaped; ++i) {
            escaped = held_outside(PyTuple_GET_ITEM(linked, i), dicts);
        }
        if (!escaped) return;
        for (size_t i = 1; i < dicts.size(); ++i) {
            PyObject* value = PyDict_GetItemWithError(dicts[i].ptr(), client_key());
            if (!value || !PyWeakref_CheckRefExact(value)) continue;
            PyObject* referent = nullptr;
            if (PyWeakref_GetRef(value, &referent) > 0) {
                bool ours = referent == self.ptr();
                Py_DECREF(referent);
                if (ours) PyDict_SetItem(dicts[i].ptr(), client_key(), self.ptr());
            }
        }
        PyErr_Clear();
    } catch (nb::python_error& error) {
        error.discard_as_unraisable(self);
    }
}

}  // namespace

void add_client_property(nb::handle cls) {
    // A getset descriptor: read at every call of a namespace, so without an argument parser between.
    static PyGetSetDef client_getset[] = {{"_client",
                                           [](PyObject* self, void*) -> PyObject* {
                                               return py::guarded<PyObject*>(nullptr, [&] {
                                                   return get_client(self).release().ptr();
                                               });
                                           },
                                           [](PyObject* self, PyObject* value, void*) -> int {
                                               return py::guarded(-1, [&] {
                                                   value ? set_client(self, value) : delete_client(self);
                                                   return 0;
                                               });
                                           },
                                           "The client this namespace sends its calls through.", nullptr},
                                          {nullptr, nullptr, nullptr, nullptr, nullptr}};
    nb::object descriptor = py::checked(
        PyDescr_NewGetSet(reinterpret_cast<PyTypeObject*>(cls.ptr()), &client_getset[0]));
    nb::setattr(cls, "_client", descriptor);
}

void link_namespaces(nb::handle client) {
    // Only a client whose finalizer is ours may be held weakly: one that replaced __del__ would
    // leave a namespace kept alone without its client.
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(client.ptr()));
    if (!g_finalizer || !nb::getattr(type, "__del__", nb::none()).is(nb::handle(g_finalizer))) return;
    nb::object dict = dict_of(client);
    if (!dict.is_valid()) return;
    nb::list found;
    for (const char* name : {"chat", "tenants", "feedback", "training"}) {
        PyObject* ns = PyDict_GetItemString(dict.ptr(), name);  // borrowed
        if (!ns) continue;
        found.append(nb::handle(ns));
        nb::object inner = dict_of(ns);  // the namespaces inside one (chat.completions)
        if (!inner.is_valid()) continue;
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(inner.ptr(), &position, &key, &value)) {
            nb::object nested = dict_of(value);
            if (nested.is_valid() && PyDict_GetItemWithError(nested.ptr(), client_key()) == client.ptr()) {
                found.append(nb::handle(value));
            }
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    nb::object weak = py::checked(PyWeakref_NewRef(client.ptr(), nullptr));
    for (nb::handle ns : found) {
        nb::object inner = dict_of(ns);
        if (inner.is_valid() && PyDict_GetItemWithError(inner.ptr(), client_key()) == client.ptr()) {
            if (PyDict_SetItem(inner.ptr(), client_key(), weak.ptr()) < 0) throw nb::python_error();
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    nb::setattr(client, "_namespaces", nb::tuple(found));
}

void adopt_session(nb::handle client, nb::handle session) {
    nb::setattr(client, "_session", session);
    nb::setattr(client, "_session_share", nb::cast(SessionShare{nb::borrow(session), std::make_shared<Py_ssize_t>(1)}));
}

bool share_session(nb::handle parent, nb::handle copy) {
    SessionShare* share = share_of(parent);
    if (!share || share->left || !share->session.is(nb::getattr(parent, "_session", nb::none()))) return false;
    ++*share->users;
    nb::setattr(copy, "_session", share->session);
    nb::setattr(copy, "_session_share", nb::cast(SessionShare{share->session, share->users}));
    return true;
}

bool leave_session(nb::handle client) {
    SessionShare* share = share_of(client);
    if (!share || !share->session.is(nb::getattr(client, "_session", nb::none()))) return true;
    if (!share->left) {
        share->left = true;
        --*share->users;
    }
    return *share->users == 0;
}

void bind_lifetime(nb::module_& m, nb::handle client_class) {
    // NOLINTNEXTLINE(bugprone-unused-raii): binding the class is the whole point; nothing keeps the object
    nb::class_<SessionShare>(m, "_SessionShare", "One client's use of a session that clients may share.");
    py::add_method(client_class, "__del__", &finalize,
                   "Keep the client for its namespaces that are still in use elsewhere.");
    g_finalizer = nb::getattr(client_class, "__del__").release().ptr();
}

}  // namespace korvane::api
