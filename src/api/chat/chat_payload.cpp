// The request body of a chat completion: message normalisation and each member's presence rule.
#include <string>

#include "api/chat/completions.hpp"
#include "errors/errors.hpp"
#include "json/json.hpp"
#include "py/checks.hpp"
#include "records/records.hpp"
#include "util/imported_class.hpp"
#include "util/python_compat.hpp"

namespace korvane::api {
namespace {

using py::truthy;

// Numeric inequality with a float constant: 0 equals 0.0, None differs from it.
bool differs_from(nb::handle value, double constant) {
    nb::object number = nb::steal(PyFloat_FromDouble(constant));
    if (!number.is_valid()) throw nb::python_error();
    int result = PyObject_RichCompareBool(value.ptr(), number.ptr(), Py_NE);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// Whether `messages` is one message on its own (a mapping or a ChatMessage record) or a text,
// whose iteration gives keys, fields or characters rather than messages.
bool single_message(nb::handle messages, nb::handle record) {
    if (PyDict_Check(messages.ptr()) || PyUnicode_Check(messages.ptr()) || PyBytes_Check(messages.ptr())) return true;
    static util::ImportedClass mapping{"collections.abc", "Mapping"};  // its owner rule: imported_class.hpp
    if (mapping.has_instance(messages.ptr())) return true;
    const int is_record = PyObject_IsInstance(messages.ptr(), record.ptr());
    if (is_record < 0) throw nb::python_error();
    return is_record != 0;
}

// The error for a message of the wrong type; when the whole argument was one message, a note says
// that a list of messages was expected (the text itself stays the documented one).
[[noreturn]] void invalid_message(nb::handle message, nb::handle messages, nb::handle record) {
    nb::object text = nb::str("Invalid message type: ") + nb::str(message.type());
    nb::object error = errors::make(errors::Kind::InvalidRequest, nb::make_tuple(text));
    if (single_message(messages, record)) {
        errors::add_note(
            error,
            nb::str("messages takes a list of messages (mappings or ChatMessage records); a "
                    "single {} was given: pass [message]")
                .format(nb::str(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(messages.ptr()))).attr("__name__"))));
    }
    errors::raise(error);
}

// Records are dumped whole (a missing name stays as null); dicts go in by reference, unchanged.
nb::list normalise_messages(nb::handle messages) {
    nb::handle record = records::record_class(records::Record::ChatMessage);
    nb::object iterator = nb::steal(PyObject_GetIter(messages.ptr()));
    if (!iterator.is_valid()) throw nb::python_error();
    nb::list normalised;
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object message = nb::steal(raw);
        int is_record = PyObject_IsInstance(message.ptr(), record.ptr());
        if (is_record < 0) throw nb::python_error();
        if (is_record) {
            normalised.append(message.attr("model_dump")());
        } else if (PyDict_Check(message.ptr())) {
            normalised.append(message);
        } else {
            invalid_message(message, messages, record);
        }
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return normalised;
}

// Extra keyword arguments go into the body as they are, so a value JSON cannot carry is refused
// here, naming the argument, instead of failing later inside the HTTP layer.
void check_sendable(nb::handle name, nb::handle value, std::string& scratch) {
    scratch.clear();
    try {
        json::write(value, scratch);
    } catch (nb::python_error& failure) {
        if (!failure.matches(PyExc_TypeError) && !failure.matches(PyExc_ValueError) &&
            !failure.matches(PyExc_RecursionError)) {
            throw;
        }
        failure.restore();
        nb::object cause = nb::steal(PyErr_GetRaisedException());
        PyErr_Format(PyExc_TypeError, "keyword argument '%U' of create() cannot be sent as JSON: %S", name.ptr(),
                     cause.ptr());
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause.release().ptr());
        PyErr_SetRaisedException(error);
        throw nb::python_error();
    }
}

}  // namespace

nb::dict build_chat_payload(const py::Arguments& args) {
    const ChatNames& k = chat_names();
    nb::list messages = normalise_messages(args[kMessages]);

    nb::dict payload;
    payload[k.model] = args[kModel];
    payload[k.messages] = messages;
    payload[k.temperature] = args.has(kTemperature) ? nb::object(nb::borrow(args[kTemperature])) : nb::float_(0.7);
    payload[k.stream] = args.has(kStream) ? nb::borrow(args[kStream]) : nb::object(nb::bool_(false));
    payload[k.n] = args.has(kN) ? nb::borrow(args[kN]) : nb::object(nb::int_(1));

    auto present_unless_null = [&](size_t i, nb::handle key) {
        if (args.has(i) && !args[i].is_none()) payload[key] = args[i];
    };
    auto present_unless_equal = [&](size_t i, nb::handle key, double fallback) {
        if (args.has(i) && differs_from(args[i], fallback)) payload[key] = args[i];
    };
    auto present_if_truthy = [&](size_t i, nb::handle key) {
        if (args.has(i) && truthy(args[i])) payload[key] = args[i];
    };
    present_unless_null(kMaxTokens, k.max_tokens);
    present_unless_null(kStop, k.stop);
    present_unless_equal(kPresencePenalty, k.presence_penalty, 0.0);
    present_unless_equal(kFrequencyPenalty, k.frequency_penalty, 0.0);
    present_unless_equal(kTopP, k.top_p, 1.0);
    present_if_truthy(kRerankTier, k.rerank_tier);
    present_if_truthy(kRerankK, k.rerank_k);
    present_if_truthy(kTenantId, k.tenant_id);

    std::string scratch;
    for (auto [name, value] : args.extra()) {
        check_sendable(name, value, scratch);
        payload[name] = value;
    }
    return payload;
}

}  // namespace korvane::api
