// Records built from chat answers: the whole ChatCompletion and one streamed chunk.
#include "api/chat/completions.hpp"
#include "api/client/client.hpp"
#include "py/raise.hpp"
#include "records/records.hpp"

namespace korvane::api {
namespace {

// A record of class `cls` from `fields`; a failure is always raised, never an empty result.
nb::object record(nb::handle cls, nb::handle fields) {
    nb::object built = records::from_mapping(cls, fields);
    if (!built.is_valid()) throw nb::python_error();
    return built;
}

[[noreturn]] void shape_error(const char* what, const char* expected, nb::handle got) {
    py::raise(PyExc_TypeError, "%s must be %s, not %s", what, expected, Py_TYPE(got.ptr())->tp_name);
}

nb::handle expect_dict(nb::handle value, const char* what) {
    if (!PyDict_Check(value.ptr())) shape_error(what, "a JSON object", value);
    return value;
}

// Only role and content are taken; a missing message counts as an empty object.
nb::object message_record(nb::handle choice) {
    const ChatNames& k = chat_names();
    nb::dict fields;
    PyObject* message = PyDict_GetItemWithError(choice.ptr(), k.message.ptr());  // borrowed
    if (!message && PyErr_Occurred()) throw nb::python_error();
    if (message) {
        expect_dict(message, "the message of a chat completion choice");
        fields[k.role] = member_or(message, k.role, k.assistant);
        fields[k.content] = member_or(message, k.content, k.empty);
    } else {
        fields[k.role] = k.assistant;
        fields[k.content] = k.empty;
    }
    return record(records::record_class(records::Record::ChatMessage), fields);
}

nb::list choice_records(nb::handle choices) {
    const ChatNames& k = chat_names();
    if (!PyList_Check(choices.ptr())) shape_error("the 'choices' of a chat completion", "a JSON array", choices);
    nb::handle choice_class = records::record_class(records::Record::ChatCompletionChoice);
    nb::list records;
    // The list is the answer's own; index by position each time in case a record hook changes it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(choices.ptr()); ++i) {
        nb::object choice = nb::borrow(PyList_GET_ITEM(choices.ptr(), i));
        expect_dict(choice, "a chat completion choice");
        nb::dict fields;
        fields[k.index] = member_or(choice, k.index, nb::int_(i));
        fields[k.message] = message_record(choice);
        fields[k.finish_reason] = member_or(choice, k.finish_reason, nb::none());
        records.append(record(choice_class, fields));
    }
    return records;
}

}  // namespace

nb::object member_or(nb::handle object, nb::handle key, nb::handle fallback) {
    PyObject* value = PyDict_GetItemWithError(object.ptr(), key.ptr());  // borrowed
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(fallback);
}

nb::object completion_from_answer(nb::handle answer, nb::handle payload) {
    const ChatNames& k = chat_names();
    // Text (an answer that is not JSON, an empty one) or another JSON value: not a completion.
    expect_object(answer, "POST /v1/chat/completions");
    nb::dict fields;
    fields[k.id] = member_or(answer, k.id, k.empty);
    fields[k.object] = member_or(answer, k.object, k.chat_completion);
    fields[k.created] = member_or(answer, k.created, nb::int_(0));
    PyObject* model = PyDict_GetItemWithError(answer.ptr(), k.model.ptr());  // borrowed
    if (!model && PyErr_Occurred()) throw nb::python_error();
    fields[k.model] = model ? nb::borrow(model) : nb::object(payload[k.model]);
    PyObject* choices = PyDict_GetItemWithError(answer.ptr(), k.choices.ptr());  // borrowed
    if (!choices && PyErr_Occurred()) throw nb::python_error();
    fields[k.choices] = choices ? choice_records(choices) : nb::list();

    nb::object usage = member_or(answer, k.usage, nb::none());
    int has_usage = PyObject_IsTrue(usage.ptr());
    if (has_usage < 0) throw nb::python_error();
    if (has_usage) {
        expect_dict(usage, "the 'usage' of a chat completion");
        fields[k.usage] = record(records::record_class(records::Record::ChatCompletionUsage), usage);
    } else {
        fields[k.usage] = nb::none();
    }
    fields[k.rerank_tier] = member_or(answer, k.rerank_tier, nb::none());
    fields[k.quantum_enhanced] = member_or(answer, k.quantum_enhanced, nb::bool_(false));
    return record(records::record_class(records::Record::ChatCompletion), fields);
}

nb::object chunk_from_object(nb::handle cls, nb::handle object) {
    const ChatNames& k = chat_names();
    if (!PyDict_Check(object.ptr())) shape_error("the data of a chat stream line", "a JSON object", object);
    PyObject* dict = object.ptr();
    // The decoded object belongs to this chunk alone, so the defaults go straight into it.
    auto fill = [dict](nb::handle key, nb::handle value) {
        if (!PyDict_SetDefault(dict, key.ptr(), value.ptr())) throw nb::python_error();
    };
    fill(k.id, k.empty);
    fill(k.object, k.chat_completion_chunk);
    fill(k.created, nb::int_(0));
    fill(k.model, k.empty);
    int has_choices = PyDict_Contains(dict, k.choices.ptr());
    if (has_choices < 0) throw nb::python_error();
    if (!has_choices) fill(k.choices, nb::list());
    return record(cls, object);
}

}  // namespace korvane::api
