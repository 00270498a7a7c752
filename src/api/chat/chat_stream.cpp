// The generator that a streamed chat completion returns: sends on first pull, yields one
// ChatCompletionChunk per data line, and gives the connection back as soon as it is done with it.
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "api/chat/completions.hpp"
#include "api/chat/sse_line.hpp"
#include "api/chat/stream_assembly.hpp"
#include "api/client/client.hpp"
#include "api/engine/stream_call.hpp"
#include "http/aio/aio.hpp"
#include "http/response.hpp"
#include "json/json.hpp"
#include "py/raise.hpp"
#include "records/from_json.hpp"
#include "records/records.hpp"
#include "util/python_compat.hpp"

namespace korvane::api {
namespace {

using engine::LineKind;
using engine::Next;

enum class Phase { created, streaming, finished };

// How long a finished stream waits for its body's end after "[DONE]" (see next_chunk): long
// enough for bytes already on their way, short enough never to be noticed.
constexpr std::chrono::milliseconds kEndAfterDone{5};

struct StreamState {
    Phase phase = Phase::created;
    bool running = false;    // a pull is in progress (re-entry is refused, as for generators)
    nb::object completions;  // until the first pull
    nb::object payload;      // until the first pull
    nb::object response;     // while streaming
    nb::object lines;        // iterator over response.iter_lines(), while streaming
    nb::object chunk_class;  // while streaming
    // When the response is the HTTP layer's own, its lines are read here without a Python
    // object per line (`lines` stays unset); `direct` lives as long as `response` holds it.
    http::Response* direct = nullptr;
    http::LineBuffer own_lines;  // the body's bytes not yet split into lines
    bool complete = false;       // own_lines holds the whole body
    nb::object request_id;       // the answer's X-Request-Id once it arrived (a str; kept after the end)
    nb::object assembly;  // [assembly hook] what the chunks add up to (the call shows it each); kept after the end
    // The call's engine, from the first pull until the stream finishes: it decides every step.
    std::optional<engine::StreamCall> call;
};

struct StreamObject {
    PyObject_HEAD
    PyObject* weakrefs;  // weak references are allowed, as on generators
    StreamState state;
};

PyTypeObject* g_stream_type = nullptr;

StreamState& state_of(PyObject* self) { return reinterpret_cast<StreamObject*>(self)->state; }

// Marks a pull in progress for its whole duration.
class RunningGuard {
public:
    explicit RunningGuard(StreamState& state) : state_(state) { state_.running = true; }
    ~RunningGuard() { state_.running = false; }
    RunningGuard(const RunningGuard&) = delete;
    RunningGuard& operator=(const RunningGuard&) = delete;

private:
    StreamState& state_;
};

bool refuse_if_running(const StreamState& state) {
    if (!state.running) return false;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return true;
}

// Finishes the stream: drops every reference and closes the response, which releases the
// connection without reading what is left of the body.
void release(StreamState& state) {
    state.phase = Phase::finished;
    if (state.call) {
        std::optional<engine::StreamCall> call = std::move(state.call);
        state.call.reset();
        call->closed();  // logs the end of a stream let go before it
    }
    state.completions.reset();
    state.payload.reset();
    state.chunk_class.reset();
    state.lines.reset();
    state.direct = nullptr;
    state.own_lines = http::LineBuffer();  // its memory goes now, not when the stream object does
    nb::object response = std::move(state.response);
    if (!response.is_valid()) return;
    nb::object close = nb::getattr(response, "close", nb::none());
    if (!close.is_none()) close();
}

// Finishes after a failure that is the current Python error; a failing close() must not hide it.
void release_after_error(StreamState& state) {
    nb::error_scope keep_failure;
    try {
        release(state);
    } catch (nb::python_error&) {
    }
}

LineKind read_chat_line(std::string_view text, bool checked, nb::object& chunk);

void start(StreamState& state) {
    nb::object client = nb::getattr(state.completions, "_client");
    Call call{"POST", nb::str("/v1/chat/completions")};
    call.json = state.payload;
    state.call.emplace(client, nb::str(call.method), call.path, state.payload, &read_chat_line);
    state.call->observe(&assemble_chunk, state.assembly);  // [assembly hook]
    nb::object response = request_stream(client, call, *state.call);
    state.request_id = state.call->request_id();
    state.phase = Phase::streaming;
    state.completions.reset();
    state.payload.reset();
    state.response = std::move(response);
    state.chunk_class = nb::borrow(records::record_class(records::Record::ChatCompletionChunk));
    if (http::Response* own = own_lines(state.response)) {  // the seam decides (seam.hpp)
        state.complete = own->begin_lines(state.own_lines);
        state.direct = own;
        return;
    }
    nb::object lines = state.response.attr("iter_lines")();
    state.lines = nb::steal(PyObject_GetIter(lines.ptr()));
    if (!state.lines.is_valid()) throw nb::python_error();
}

// The next line of the response, as a view valid until the next call; false at the end. Lines
// read directly (state.direct) are not yet checked for UTF-8 (see next_chunk); the others are.
bool next_line(StreamState& state, std::string_view& text, nb::object& holder) {
    if (state.direct) {
        // Lines already here are split off without asking the response (no lock, no copy).
        std::optional<std::string_view> line = state.own_lines.next_line(state.complete);
        if (!line && !state.complete) line = state.direct->next_line_in(state.own_lines);
        if (!line) return false;
        text = *line;
        return true;
    }
    holder = nb::steal(PyIter_Next(state.lines.ptr()));
    if (!holder.is_valid()) {
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
    }
    text = engine::line_text(holder);
    return true;
}

// False when `data` cannot be JSON text because of its first character after JSON whitespace
// (NaN and Infinity count, as the interpreter's decoder accepts them): such lines are skipped
// without paying for a decode error.
bool may_be_json(std::string_view data) {
    size_t at = data.find_first_not_of(" \t\n\r");
    if (at == std::string_view::npos) return false;
    char c = data[at];
    return c == '{' || c == '[' || c == '"' || c == '-' || (c >= '0' && c <= '9') || c == 't' || c == 'f' || c == 'n' ||
           c == 'N' || c == 'I';
}

// Reads a chunk straight from its JSON text with the defaults of chunk_from_object().
// Kept for the process (never destroyed): the values it keeps stay reachable for leak checkers,
// and nothing of it runs after the interpreter is gone.
const records::JsonRecords& chunk_reader() {
    static const records::JsonRecords* reader = [] {
        const ChatNames& k = chat_names();
        nb::dict absent;
        absent[k.id] = k.empty;
        absent[k.object] = k.chat_completion_chunk;
        absent[k.created] = nb::int_(0);
        absent[k.model] = k.empty;
        absent[k.choices] = nb::list();
        return new records::JsonRecords(records::record_name(records::Record::ChatCompletionChunk),
                                        records::JsonRecords::Layout::Object, nullptr, absent);
    }();
    return *reader;
}

// What one line of a stream is: a chunk (put in `chunk`, of `chunk_class`), a line to pass over or
// the end ("[DONE]"). A line not `checked` for UTF-8 yet is checked before anything else is done
// with it, unless it was read whole as a chunk: that proves it UTF-8 (the prefix is ASCII, the
// JSON reader checks the rest).
LineKind read_line(std::string_view text, bool checked, nb::handle chunk_class, nb::object& chunk) {
    if (text.empty()) return LineKind::skip;
    ClassifiedLine classified = classify_sse_line(text);
    static const records::JsonRecords& chunks = chunk_reader();
    const bool data = classified.kind == SseLine::data && may_be_json(classified.data);
    if (data) {
        if (nb::object read = chunks.read(classified.data); read.is_valid()) {
            chunk = std::move(read);
            return LineKind::chunk;
        }
    }
    if (!checked) engine::check_utf8(text);
    if (classified.kind == SseLine::done) return LineKind::done;
    if (!data) return LineKind::skip;
    nb::object value;
    try {
        value = json::parse_text(classified.data);  // the line's text, decoded (as a str is)
    } catch (nb::python_error& failure) {
        if (failure.matches(PyExc_ValueError)) return LineKind::skip;  // a line that is not JSON is skipped
        throw;
    }
    chunk = chunk_from_object(chunk_class, value);
    return LineKind::chunk;
}

// A line of a stream read into a chunk (the engine's reader for chat).
LineKind read_chat_line(std::string_view text, bool checked, nb::object& chunk) {
    static const nb::handle chunk_class = records::record_class(records::Record::ChatCompletionChunk);
    return read_line(text, checked, chunk_class, chunk);
}

// The next chunk, or an invalid object once the stream is over.
nb::object next_chunk(StreamState& state) {
    if (state.phase == Phase::created) start(state);
    nb::object response = state.response;  // held across the calls below
    engine::StreamCall& call = *state.call;
    for (;;) {
        std::string_view text;
        nb::object line;
        if (!next_line(state, text, line)) {
            call.ended();
            release(state);
            return {};
        }
        if (call.line(text, !state.direct) == Next::read) continue;
        if (!call.finished()) return call.take_chunk();
        // "[DONE]": the body's end usually follows at once: taking it keeps the connection.
        if (state.direct) state.direct->finish_within(kEndAfterDone);
        release(state);
        return {};
    }
}

// One pull: the chunk, or nullptr with StopIteration implied (no error set) or an error set.
PyObject* pull(PyObject* self) {
    StreamState& state = state_of(self);
    if (refuse_if_running(state)) return nullptr;
    if (state.phase == Phase::finished) return nullptr;
    RunningGuard guard(state);
    try {
        return next_chunk(state).release().ptr();
    } catch (nb::python_error& failure) {
        if (state.call) state.call->failed(failure.value());  // the request's context, the end's log line
        failure.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        PyErr_SetString(PyExc_RuntimeError, failure.what());
    }
    release_after_error(state);
    return nullptr;
}

PyObject* stream_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* stream_send(PyObject* self, PyObject* value) {
    StreamState& state = state_of(self);
    if (state.phase == Phase::created && value != Py_None && !state.running) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* chunk = pull(self);
    if (!chunk && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return chunk;
}

// Raises the given exception at the paused point, as a generator without handlers would: the
// stream finishes (connection released) and the exception reaches the caller.
PyObject* stream_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError,
                     nargs < 1 ? "throw expected at least 1 argument, got %zd"
                               : "throw expected at most 3 arguments, got %zd",
                     nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0) {
        return nullptr;
    }
    StreamState& state = state_of(self);
    if (refuse_if_running(state)) return nullptr;

    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : nullptr;
    PyObject* traceback = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
    if (traceback && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    nb::object exception;
    if (PyExceptionClass_Check(type)) {
        PyObject* t = Py_NewRef(type);
        PyObject* v = Py_XNewRef(value);
        PyObject* tb = Py_XNewRef(traceback);
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb) PyException_SetTraceback(v, tb);
        Py_XDECREF(t);
        Py_XDECREF(tb);
        exception = nb::steal(v);
        // Building the exception may itself fail; that failure is what gets raised then.
        if (!PyExceptionInstance_Check(exception.ptr())) {
            PyErr_SetString(PyExc_TypeError, "calling the exception class did not give an exception instance");
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exception = nb::borrow(type);
        if (traceback) PyException_SetTraceback(exception.ptr(), traceback);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    PyErr_SetRaisedException(exception.release().ptr());
    release_after_error(state);
    return nullptr;
}

PyObject* stream_close(PyObject* self, PyObject*) {
    StreamState& state = state_of(self);
    if (refuse_if_running(state)) return nullptr;
    try {
        release(state);
    } catch (nb::python_error& failure) {
        failure.restore();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* stream_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* stream_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    PyObject* result = stream_close(self, nullptr);
    if (!result) return nullptr;
    Py_DECREF(result);
    Py_RETURN_FALSE;
}

// Dropping an unfinished stream closes its response (also when it is collected in a cycle).
void stream_finalize(PyObject* self) {
    PyObject* pending = PyErr_GetRaisedException();
    StreamState& state = state_of(self);
    if (state.phase != Phase::finished) {
        try {
            release(state);
        } catch (nb::python_error& failure) {
            failure.restore();
            PyErr_WriteUnraisable(self);
        }
    }
    PyErr_SetRaisedException(pending);
}

int stream_traverse(PyObject* self, visitproc visit, void* arg) {
    StreamState& state = state_of(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(state.completions.ptr());
    Py_VISIT(state.payload.ptr());
    Py_VISIT(state.response.ptr());
    Py_VISIT(state.lines.ptr());
    Py_VISIT(state.chunk_class.ptr());
    Py_VISIT(state.assembly.ptr());  // [assembly hook]
    if (state.call) return state.call->traverse(visit, arg);
    return 0;
}

int stream_clear(PyObject* self) {
    StreamState& state = state_of(self);
    state.phase = Phase::finished;
    state.call.reset();
    state.completions.reset();
    state.payload.reset();
    state.direct = nullptr;
    state.own_lines.clear();
    state.response.reset();
    state.lines.reset();
    state.chunk_class.reset();
    state.assembly.reset();  // [assembly hook]
    return 0;
}

void stream_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by its finalizer
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<StreamObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    state_of(self).~StreamState();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef g_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(stream_send), METH_O,
     PyDoc_STR("send($self, value, /)\n--\n\nThe next chunk; the value is not used. Raises StopIteration at the end.")},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_throw)), METH_FASTCALL,
     PyDoc_STR("throw($self, typ, val=None, tb=None, /)\n--\n\nRaise the exception here; the stream finishes and "
               "releases its connection.")},
    {"close", stream_close, METH_NOARGS,
     PyDoc_STR("close($self, /)\n--\n\nFinish the stream and release its connection.")},
    {"__enter__", stream_enter, METH_NOARGS,
     PyDoc_STR("__enter__($self, /)\n--\n\nEnter a with block: the stream itself.")},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_exit)), METH_FASTCALL,
     PyDoc_STR("__exit__($self, exc_type, exc_val, exc_tb, /)\n--\n\nLeave a with block: close the stream; exceptions "
               "pass on.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef g_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(StreamObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* stream_request_id(PyObject* self, void*) {
    const nb::object& id = state_of(self).request_id;
    return Py_NewRef(id.is_valid() ? id.ptr() : Py_None);
}

PyGetSetDef g_getset[] = {
    {"request_id", stream_request_id, nullptr,
     PyDoc_STR("The answer's X-Request-Id: None until the first pull sent the request (or without one)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Streamed chat completion: a generator of ChatCompletionChunk records.\n\n"
                       "The request is sent on the first pull. The open response is held until the stream ends,\n"
                       "is closed, leaves a with block or is dropped; then the connection is released without\n"
                       "reading the rest of the body.")},
    {Py_tp_iter, reinterpret_cast<void*>(stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(pull)},
    {Py_tp_methods, g_methods},
    {Py_tp_members, g_members},
    {Py_tp_getset, g_getset},
    {Py_tp_finalize, reinterpret_cast<void*>(stream_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "korvane_sdk.chat.ChatCompletionStream",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

// The hooks of the native chunk iterator over an AsyncResponse: each line, the end and a failure go
// to the call's engine (the iterator's context, a _StreamCall), as the blocking stream's do.
nb::object convert_awaited_line(nb::handle context, std::string_view text, http::LineStep& step, nb::handle) {
    engine::StreamCall& call = *engine::unwrap(context);
    if (call.line(text, false) == Next::read) {
        step = http::LineStep::Skip;
        return {};
    }
    if (call.finished()) {
        step = http::LineStep::End;
        return {};
    }
    return call.take_chunk();
}

const http::LineHooks kAwaitedChunks{
    &convert_awaited_line,
    [](nb::handle context) { engine::unwrap(context)->ended(); },
    [](nb::handle context, nb::handle error) { engine::unwrap(context)->failed(error); },
    [](nb::handle context) { engine::unwrap(context)->closed(); },
};

}  // namespace

nb::object make_chat_stream(nb::handle completions, nb::handle payload) {
    PyObject* raw = g_stream_type->tp_alloc(g_stream_type, 0);
    if (!raw) throw nb::python_error();
    StreamState* state = new (&state_of(raw)) StreamState();
    state->completions = nb::borrow(completions);
    state->payload = nb::borrow(payload);
    state->assembly = new_stream_assembly(payload);  // [assembly hook]
    return nb::steal(raw);
}

void bind_chat_stream(nb::module_& m) {
    nb::object type = nb::steal(PyType_FromSpec(&g_spec));
    if (!type.is_valid()) throw nb::python_error();
    // A generator in every respect but its implementation, so the abstract class says so too.
    nb::module_::import_("_collections_abc").attr("Generator").attr("register")(type);
    m.attr("ChatCompletionStream") = type;
    m.def(
        "_async_chunks",
        [](nb::handle response, nb::handle call) {
            nb::cast<engine::StreamCall&>(call);  // a _StreamCall, else TypeError (the hooks then trust it)
            return http::aiter_converted(response, kAwaitedChunks, call);
        },
        nb::arg("response"), nb::arg("call"),
        "The chunks of an AsyncResponse's streamed completion, read by `call` (a _StreamCall): an async iterator "
        "that closes the response at its end, on a failure and when cancelled.");
    m.def(
        "_chat_stream_call",
        [](nb::handle client, nb::handle method, nb::handle path, nb::handle json, nb::handle assembly) {
            engine::StreamCall call(client, method, path, json, &read_chat_line);
            if (!assembly.is_none()) {  // [assembly hook]
                if (!is_stream_assembly(assembly))
                    py::raise_text(PyExc_TypeError, "expected a stream assembly or None");
                call.observe(&assemble_chunk, nb::borrow(assembly));
            }
            return engine::wrap(std::move(call));
        },
        nb::arg("client"), nb::arg("method"), nb::arg("path"), nb::arg("json").none(),
        nb::arg("assembly").none() = nb::none(),
        "The engine of one streamed chat completion (a _StreamCall), showing each chunk to `assembly` when given.");
    bind_stream_assembly(m);  // [assembly hook] the helpers, and the assembly of each stream:
    add_stream_helpers(type, [](nb::handle stream) -> nb::handle {
        if (Py_TYPE(stream.ptr()) != g_stream_type) py::raise_text(PyExc_TypeError, "expected a ChatCompletionStream");
        return state_of(stream.ptr()).assembly;
    });
    g_stream_type = reinterpret_cast<PyTypeObject*>(type.release().ptr());
}

}  // namespace korvane::api
