// The C API calls the SDK's hot paths make, each done N times, built as it is today (full C API) and
// as a cp312-abi3 module (Py_LIMITED_API), where each is replaced by its nearest limited equivalent.
// Also nanobind's own call path, which STABLE_ABI changes. Driven by bench/bench_stable_abi.py.
#include <nanobind/nanobind.h>

#include <cstring>

#ifndef Py_LIMITED_API
#include <datetime.h>
#endif
#include <valgrind/callgrind.h>

namespace nb = nanobind;

namespace {

constexpr char kText[] = "assistant-42";  // a short ASCII value, as most answer fields are

// A short ASCII str from bytes known to be ASCII (src/json/scalars.cpp).
void make_short_text(long n) {
    for (long i = 0; i < n; ++i) {
#ifdef Py_LIMITED_API
        PyObject* text = PyUnicode_FromStringAndSize(kText, sizeof kText - 1);
#else
        PyObject* text = PyUnicode_New(sizeof kText - 1, 127);
        std::memcpy(PyUnicode_1BYTE_DATA(text), kText, sizeof kText - 1);
#endif
        Py_DECREF(text);
    }
}

// A record's object, allocated by its class's tp_alloc (src/records/from_json.cpp).
void alloc_record(long n, nb::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    for (long i = 0; i < n; ++i) {
#ifdef Py_LIMITED_API
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* made = alloc(type, 0);
#else
        PyObject* made = type->tp_alloc(type, 0);
#endif
        Py_DECREF(made);
    }
}

// A dumped record: a dict of six fields (src/records/dump.cpp).
void dump_dict(long n, nb::tuple keys) {
    for (long i = 0; i < n; ++i) {
#ifdef Py_LIMITED_API
        PyObject* out = PyDict_New();
#else
        PyObject* out = _PyDict_NewPresized(6);
#endif
        for (Py_ssize_t k = 0; k < 6; ++k) PyDict_SetItem(out, keys[k].ptr(), Py_None);
        Py_DECREF(out);
    }
}

// A timestamp field: a UTC datetime from its parts (src/records/datetime.cpp).
void make_datetime(long n, nb::handle datetime_class, nb::handle utc) {
#ifndef Py_LIMITED_API
    (void)datetime_class;
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
#endif
    for (long i = 0; i < n; ++i) {
#ifdef Py_LIMITED_API
        PyObject* parts[8] = {PyLong_FromLong(2026), PyLong_FromLong(12), PyLong_FromLong(9),      PyLong_FromLong(16),
                              PyLong_FromLong(57),   PyLong_FromLong(3),  PyLong_FromLong(123456), nullptr};
        parts[7] = utc.ptr();
        PyObject* value = PyObject_Vectorcall(datetime_class.ptr(), parts, 8, nullptr);
        for (int p = 0; p < 7; ++p) Py_DECREF(parts[p]);
#else
        PyObject* value = PyDateTimeAPI->DateTime_FromDateAndTime(2026, 12, 9, 16, 57, 3, 123456, utc.ptr(),
                                                                  PyDateTimeAPI->DateTimeType);
#endif
        Py_DECREF(value);
    }
}

// A timestamp dumped to JSON: its parts read back (src/records/dump.cpp).
long read_datetime(long n, nb::handle value, nb::tuple names) {
    long sum = 0;
    for (long i = 0; i < n; ++i) {
#ifdef Py_LIMITED_API
        for (Py_ssize_t k = 0; k < 7; ++k) {
            PyObject* part = PyObject_GetAttr(value.ptr(), names[k].ptr());
            sum += PyLong_AsLong(part);
            Py_DECREF(part);
        }
#else
        PyObject* v = value.ptr();
        sum += PyDateTime_GET_YEAR(v) + PyDateTime_GET_MONTH(v) + PyDateTime_GET_DAY(v) + PyDateTime_DATE_GET_HOUR(v) +
               PyDateTime_DATE_GET_MINUTE(v) + PyDateTime_DATE_GET_SECOND(v) + PyDateTime_DATE_GET_MICROSECOND(v);
#endif
    }
    return sum;
}

// Items of a list and a tuple, bytes' storage, a str's storage (the GET_ITEM / AS_STRING macros,
// src/json/string_writer.cpp): eight reads of each per round.
long read_storage(long n, nb::handle list, nb::handle tuple, nb::handle bytes, nb::handle text) {
    long sum = 0;
    for (long i = 0; i < n; ++i) {
        for (Py_ssize_t k = 0; k < 8; ++k) {
#ifdef Py_LIMITED_API
            sum += reinterpret_cast<std::intptr_t>(PyList_GetItem(list.ptr(), k));
            sum += reinterpret_cast<std::intptr_t>(PyTuple_GetItem(tuple.ptr(), k));
            sum += PyBytes_AsString(bytes.ptr())[k] + PyBytes_Size(bytes.ptr());
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
            sum += data[k] + size;
#else
            sum += reinterpret_cast<std::intptr_t>(PyList_GET_ITEM(list.ptr(), k));
            sum += reinterpret_cast<std::intptr_t>(PyTuple_GET_ITEM(tuple.ptr(), k));
            sum += PyBytes_AS_STRING(bytes.ptr())[k] + PyBytes_GET_SIZE(bytes.ptr());
            sum += static_cast<const char*>(PyUnicode_DATA(text.ptr()))[k] + PyUnicode_KIND(text.ptr()) +
                   PyUnicode_GET_LENGTH(text.ptr());
#endif
        }
    }
    return sum;
}

// A class attribute looked up without running descriptors (src/http/response.cpp).
long lookup_class_attribute(long n, nb::handle cls, nb::handle name) {
    long found = 0;
    for (long i = 0; i < n; ++i) {
#ifdef Py_LIMITED_API
        // The limited API has no MRO-only lookup: a plain attribute read of the class instead.
        PyObject* value = PyObject_GetAttr(cls.ptr(), name.ptr());
        found += value != nullptr;
        Py_XDECREF(value);
#else
        found += _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr()) != nullptr;
#endif
    }
    return found;
}

// Callgrind's counters around each probe, so one run measures them all (no-ops outside valgrind).
void zero_stats() { CALLGRIND_ZERO_STATS; }
void dump_stats(const char* label) { CALLGRIND_DUMP_STATS_AT(label); }

struct Thing {
    long value = 0;
    long bump(long by) { return value += by; }
};

}  // namespace

NB_MODULE(PROBE_NAME, m) {
    m.def("zero_stats", &zero_stats);
    m.def("dump_stats", &dump_stats);
    m.def("make_short_text", &make_short_text);
    m.def("alloc_record", &alloc_record);
    m.def("dump_dict", &dump_dict);
    m.def("make_datetime", &make_datetime);
    m.def("read_datetime", &read_datetime);
    m.def("read_storage", &read_storage);
    m.def("lookup_class_attribute", &lookup_class_attribute);
    // nanobind's own paths, called from Python: a function, a method, a new instance.
    m.def("noop", [](long x) { return x; });
    nb::class_<Thing>(m, "Thing").def(nb::init<>()).def("bump", &Thing::bump);
}
