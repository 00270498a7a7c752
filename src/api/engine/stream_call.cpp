// The streamed call's engine: what each event of a stream's life leads to (see stream_call.hpp).
#include "api/engine/stream_call.hpp"

#include <nanobind/stl/string.h>

#include <utility>

#include "api/client/answer_shape.hpp"
#include "api/client/handle_answer.hpp"
#include "api/client/plan.hpp"
#include "api/client/request_context.hpp"
#include "api/client/request_log.hpp"
#include "api/engine/hooks.hpp"
#include "errors/errors.hpp"
#include "json/json.hpp"
#include "py/raise.hpp"
#include "util/python_compat.hpp"

namespace korvane::api::engine {
namespace {

constexpr int kDebug = 10;  // logging.DEBUG

// Whether `error` is a failure of the HTTP layer (a cut body, a read time-out, a reset), as the
// request loop tells them: transport_error() maps exactly those.
bool is_transport_failure(nb::handle error) {
    PyErr_SetRaisedException(nb::borrow(error).release().ptr());
    nb::python_error caught;  // takes the exception just set
    return transport_error(caught, nb::none()).is_valid();
}

}  // namespace

void check_utf8(std::string_view text) {
    if (json::is_utf8(text)) return;
    // The interpreter's decoder gives the error its usual form; should it accept the text after
    // all, the text is used.
    nb::object decoded = nb::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    if (!decoded.is_valid()) throw nb::python_error();
}

std::string_view line_text(nb::handle line) {
    PyObject* raw = line.ptr();
    if (PyBytes_Check(raw)) {
        std::string_view text(PyBytes_AS_STRING(raw), static_cast<size_t>(PyBytes_GET_SIZE(raw)));
        check_utf8(text);
        return text;
    }
    if (PyUnicode_Check(raw)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(raw, &size);
        if (!data) throw nb::python_error();
        return {data, static_cast<size_t>(size)};
    }
    int truth = PyObject_IsTrue(raw);
    if (truth < 0) throw nb::python_error();
    if (truth) {
        py::raise(PyExc_TypeError, "iter_lines() gave a line of type %s; expected bytes or str", Py_TYPE(raw)->tp_name);
    }
    return {};
}

StreamCall::StreamCall(nb::handle client, nb::handle method, nb::handle path, nb::handle json, LineReader reader)
    : client_(nb::borrow(client)),
      method_(nb::borrow(method)),
      path_(nb::borrow(path)),
      json_(nb::borrow(json)),
      reader_(reader),
      started_(std::chrono::steady_clock::now()) {}

Next StreamCall::start() {
    const RequestPlan plan = plan_request(client_, path_, Py_None);
    url_ = plan.url;
    headers_ = plan.headers;
    span_.begin(method_, url_, path_, json_, headers_, true);
    // Busy answers may be repeated (opt-in) before the stream delivers anything; never after.
    busy_ = busy_retry_of(client_);
    extras_ = hooks::extras_of(client_);
    attempts_ = busy_.enabled ? attempts_allowed(client_) : 1;
    phase_ = Phase::sending;
    started_ = attempt_started_ = std::chrono::steady_clock::now();
    return Next::send;
}

nb::dict StreamCall::request_keywords() const {
    nb::dict keywords;
    keywords["method"] = method_;
    keywords["url"] = url_;
    keywords["json"] = json_;
    keywords["headers"] = headers_;
    keywords["timeout"] = nb::getattr(client_, "timeout");
    keywords["stream"] = true;
    return keywords;
}

nb::object StreamCall::send() {
    nb::dict keywords = request_keywords();
    if (extras_.is_valid()) return hooks::send(extras_, client_, attempt_, keywords);
    nb::object request = nb::getattr(client_, "_session").attr("request");
    PyObject* answer = PyObject_Call(request.ptr(), nb::tuple().ptr(), keywords.ptr());
    if (!answer) throw nb::python_error();
    return nb::steal(answer);
}

Next StreamCall::answered(nb::handle response) {
    nb::object status_code = nb::getattr(response, "status_code");
    const long status = nb::cast<long>(status_code);
    if (nb::handle logger = request_log::enabled(kDebug); logger.is_valid()) {
        log_attempt(logger, method_, url_, status_code, attempt_started_, attempt_, attempts_);
    }
    if (span_) span_.status(status);
    if (busy_.enabled && attempt_ + 1 < attempts_ && is_busy(status)) {
        pause_ = busy_pause(client_, busy_, response, attempt_);
        log_repeat(method_, url_, nb::str("HTTP {}").format(status_code), attempt_, attempts_, pause_);
        span_.retry(status);
        ++attempt_;
        return Next::pause;
    }
    note_request_id(response);
    if (status >= 400 && status <= 599) return Next::read;  // _handle_error reads the whole body
    phase_ = Phase::reading;
    client_.reset();  // not needed any more: the stream does not keep the client alive
    return Next::result;
}

Next StreamCall::paused() {
    attempt_started_ = std::chrono::steady_clock::now();
    return Next::send;
}

Next StreamCall::body_read(nb::handle response) {
    try {
        nb::getattr(client_, "_handle_error")(response);
    } catch (nb::python_error& failure) {
        add_request_context(failure, method_, url_);
        error_ = nb::borrow(failure.value());
        finish("failed", nb::type_name(error_.type()));
        return Next::raise;
    }
    // A replaced _handle_error that returned: the answer is the stream's, as it always was.
    phase_ = Phase::reading;
    client_.reset();
    return Next::result;
}

Next StreamCall::send_failed(nb::handle error) {
    // Neither repeated nor translated: the HTTP layer's own exception, naming the request.
    nb::str kind = nb::type_name(error.type());
    if (nb::handle logger = request_log::enabled(kDebug); logger.is_valid()) {
        log_attempt(logger, method_, url_, kind, attempt_started_, attempt_, attempts_);
    }
    if (is_transport_failure(error)) add_exchange_context(error, method_, url_);
    error_ = nb::borrow(error);
    finish("failed", kind);
    return Next::raise;
}

void StreamCall::adopt(nb::handle response) {
    phase_ = Phase::reading;
    client_.reset();
    nb::object url;
    try {
        url = nb::getattr(response, "url", nb::none());
    } catch (nb::python_error&) {
        url = nb::none();
    }
    url_ = url.is_none() || !PyUnicode_Check(url.ptr()) ? path_ : url;
    note_request_id(response);
}

Next StreamCall::line(std::string_view text, bool checked) {
    nb::object chunk;
    switch (reader_(text, checked, chunk)) {
        case LineKind::chunk:
            if (observe_ && observer_.is_valid()) observe_(observer_, chunk, text);
            ++chunks_;
            if (span_) span_.chunk(chunk);
            chunk_ = std::move(chunk);
            return Next::result;
        case LineKind::skip: return Next::read;
        case LineKind::done: break;
    }
    saw_done_ = true;
    finish("ended");
    return Next::result;
}

Next StreamCall::ended() {
    finish("ended");
    return Next::result;
}

Next StreamCall::failed(nb::handle error) {
    if (phase_ == Phase::reading) {
        // The same context as the errors of whole calls: method, URL, request id and a note.
        try {
            const bool ours = nb::isinstance(error, errors::type(errors::Kind::Korvane));
            if (ours || is_transport_failure(error) ||
                PyErr_GivenExceptionMatches(error.type().ptr(), PyExc_UnicodeDecodeError)) {
                if (request_id_.is_valid() && nb::getattr(error, "request_id", nb::none()).is_none()) {
                    nb::setattr(error, "request_id", request_id_);
                }
                add_exchange_context(error, method_, url_);
            }
        } catch (nb::python_error&) {  // the failure goes on as it is
        }
    }
    if (phase_ != Phase::created) finish("failed", nb::type_name(error.type()));
    return Next::raise;  // `error` itself, which the caller holds (kept here it could hold its frames)
}

void StreamCall::closed() {
    if (phase_ == Phase::reading || phase_ == Phase::sending) finish("closed");
    phase_ = Phase::finished;
}

int StreamCall::traverse(visitproc visit, void* arg) const {
    for (const nb::object* held :
         {&client_, &method_, &path_, &json_, &url_, &headers_, &extras_, &request_id_, &chunk_, &error_, &observer_}) {
        Py_VISIT(held->ptr());
    }
    return span_.traverse(visit, arg);
}

void StreamCall::clear() {
    for (nb::object* held :
         {&client_, &method_, &path_, &json_, &url_, &headers_, &extras_, &request_id_, &chunk_, &error_, &observer_}) {
        held->reset();
    }
    span_.abandon();
    phase_ = Phase::finished;
}

void StreamCall::note_request_id(nb::handle response) {
    try {
        nb::object headers = nb::getattr(response, "headers");
        nb::object id = headers.attr("get")("X-Request-Id");
        if (!id.is_none()) request_id_ = std::move(id);
    } catch (nb::python_error&) {  // an answer without readable headers names no request id
    }
}

void StreamCall::finish(const char* how, nb::handle detail) {
    if (phase_ == Phase::finished) return;
    phase_ = Phase::finished;
    client_.reset();
    span_.stream_end(how, detail);
    log_end(how, detail);
}

void StreamCall::log_end(const char* how, nb::handle detail) {
    // Logging must never make a stream fail, nor hide the failure in flight.
    nb::error_scope keep;
    try {
        nb::handle logger = request_log::enabled(kDebug);
        if (!logger.is_valid()) return;
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_).count();
        nb::str outcome = detail.is_valid() ? nb::str("{} ({})").format(how, detail) : nb::str(how);
        request_log::emit(logger, kDebug, "%s %s -> stream %s, %d chunks in %.1f ms",
                          nb::make_tuple(method_, shown_url(url_.is_valid() ? url_ : path_), outcome, chunks_, ms));
    } catch (nb::python_error&) {
    }
}

// --- the Python face, for the asyncio driver -------------------------------------------------

namespace {

int step(Next next) { return static_cast<int>(next); }

// The garbage collector's slots of _StreamCall: the references its call holds.
int call_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<StreamCall>(self)->traverse(visit, arg);
}

int call_clear(PyObject* self) {
    if (nb::inst_ready(self)) nb::inst_ptr<StreamCall>(self)->clear();
    return 0;
}

PyType_Slot g_call_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&call_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&call_clear)},
    {0, nullptr},
};

}  // namespace

nb::object wrap(StreamCall call) { return nb::cast(std::move(call), nb::rv_policy::move); }

StreamCall* unwrap(nb::handle object) { return nb::inst_ptr<StreamCall>(object); }

void bind_stream_call(nb::module_& m) {
    nb::class_<StreamCall> type(
        m, "_StreamCall",
        "The engine of one streamed call: each method is fed an event and answers with the next step "
        "(SEND, PAUSE, READ, RESULT or RAISE); the asyncio stream performs the steps.",
        nb::type_slots(g_call_slots));
    type.attr("SEND") = step(Next::send);
    type.attr("PAUSE") = step(Next::pause);
    type.attr("READ") = step(Next::read);
    type.attr("RESULT") = step(Next::result);
    type.attr("RAISE") = step(Next::raise);
    type.def(
            "start", [](StreamCall& call) { return step(call.start()); }, "Plan the call: SEND.")
        .def_prop_ro("request", &StreamCall::request_keywords, "The keywords of client._session.request.")
        .def("send", &StreamCall::send, "Send the attempt: the response, or what to await for it.")
        .def(
            "answered", [](StreamCall& call, nb::handle response) { return step(call.answered(response)); },
            nb::arg("response"), "An answer arrived: PAUSE (close it, then pause), READ (its error body) or RESULT.")
        .def(
            "paused", [](StreamCall& call) { return step(call.paused()); }, "The pause is over: SEND.")
        .def(
            "body_read", [](StreamCall& call, nb::handle response) { return step(call.body_read(response)); },
            nb::arg("response"),
            "The error answer's body is read: RAISE (or RESULT after a _handle_error that returned).")
        .def(
            "send_failed", [](StreamCall& call, nb::handle error) { return step(call.send_failed(error)); },
            nb::arg("error"), "Sending failed with `error`: RAISE.")
        .def_prop_ro("pause", &StreamCall::pause, "Seconds to pause before the next attempt.")
        .def_prop_ro(
            "request_id",
            [](const StreamCall& call) { return call.request_id().is_valid() ? call.request_id() : nb::none(); },
            "The answer's X-Request-Id (None before it arrived, or without one).")
        .def("take_error", &StreamCall::take_error, "The error to raise.")
        .def("adopt", &StreamCall::adopt, nb::arg("response"), "Read a response that a replaced seam gave.")
        .def(
            "line",
            [](StreamCall& call, nb::handle line, nb::handle done) -> nb::object {
                try {
                    if (call.line(line_text(line), true) == Next::read) return nb::none();
                } catch (nb::python_error& failure) {
                    call.failed(failure.value());
                    throw;
                }
                return call.finished() ? nb::borrow(done) : call.take_chunk();
            },
            nb::arg("line").none(), nb::arg("done"),
            "The chunk of one line, None for a line to pass over, `done` at the end marker.")
        .def(
            "ended", [](StreamCall& call) { call.ended(); }, "The body ended.")
        .def(
            "failed", [](StreamCall& call, nb::handle error) { call.failed(error); }, nb::arg("error"),
            "Reading failed with `error` (the context is added to it).")
        .def("closed", &StreamCall::closed, "The stream was let go before its end.")
        .def_prop_ro("finished", &StreamCall::finished, "Whether the stream is over.")
        .def_prop_ro("chunks", &StreamCall::chunks, "The chunks delivered so far.");
}

}  // namespace korvane::api::engine
