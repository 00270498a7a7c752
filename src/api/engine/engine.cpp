// The call engine for whole calls: the rules of one call, answering each event with the next step.
#include "api/engine/engine.hpp"

#include <cerrno>
#include <iterator>

#include "api/client/answer_shape.hpp"
#include "api/client/handle_answer.hpp"
#include "api/client/plan.hpp"
#include "api/client/request_context.hpp"
#include "api/client/request_log.hpp"
#include "api/engine/awaitable.hpp"
#include "api/engine/hooks.hpp"
#include "http/headers.hpp"
#include "http/response.hpp"
#include "py/checks.hpp"
#include "py/raise.hpp"
#include "records/records.hpp"

namespace korvane::api::engine {
namespace {

constexpr int kDebug = 10;  // logging.DEBUG

nb::handle or_none(const nb::object& value) { return value.is_valid() ? nb::handle(value) : nb::handle(Py_None); }

// The keyword names of client._session.request for a whole call, interned once and kept for the
// process.
PyObject* session_keywords() {
    static PyObject* names = [] {
        const char* keywords[] = {"method", "url", "params", "json", "files", "headers", "timeout"};
        nb::tuple t = nb::steal<nb::tuple>(PyTuple_New(std::size(keywords)));
        for (size_t i = 0; i < std::size(keywords); ++i) {
            PyObject* name = PyUnicode_InternFromString(keywords[i]);
            if (!name) throw nb::python_error();
            PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i), name);
        }
        return t.release().ptr();
    }();
    return names;
}

PyObject* request_name() {
    static PyObject* name = PyUnicode_InternFromString("request");  // kept for the process
    return name;
}

// A failed attempt that repeating at once cannot mend: no descriptor left for a connection.
bool out_of_descriptors(const nb::python_error& failure) {
    nb::handle value = failure.value();
    if (!PyObject_HasAttrString(value.ptr(), "errno")) return false;
    nb::object code = nb::getattr(value, "errno", nb::none());
    if (!PyLong_Check(code.ptr())) return false;
    const long number = PyLong_AsLong(code.ptr());
    if (number == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return number == EMFILE || number == ENFILE;
}

// The answer's X-Request-Id as the response hooks see it (a str), or an invalid object without one.
// The HTTP layer's own answer is read in C++; another (a replaced session's) through headers.get(),
// and one without readable headers names none.
nb::object request_id_of(nb::handle response) {
    if (Py_TYPE(response.ptr()) == reinterpret_cast<PyTypeObject*>(nb::type<http::Response>().ptr())) {
        nb::object headers = nb::cast<http::Response&>(response).headers();
        const std::string* id = nb::cast<const http::HeaderMap&>(headers).find("X-Request-Id");
        if (!id) return {};
        return py::checked(PyUnicode_DecodeLatin1(id->data(), static_cast<Py_ssize_t>(id->size()), nullptr));
    }
    try {
        nb::object id = nb::getattr(response, "headers").attr("get")("X-Request-Id");
        if (PyUnicode_Check(id.ptr())) return id;
    } catch (nb::python_error& failure) {  // no readable headers: no request id, as the hooks are shown
        if (!failure.matches(PyExc_Exception)) throw;
    }
    return {};
}

}  // namespace

WholeCall::WholeCall(nb::handle client, Driver driver) : client_(nb::borrow(client)), driver_(driver), call_{"", {}} {}

WholeCall::WholeCall(nb::handle client, Driver driver, Call call, Finish finish, const records::JsonRecords* records,
                     nb::object file)
    : WholeCall(client, driver) {
    call_ = std::move(call);
    method_ = nb::str(call_.method);
    path_ = call_.path;
    params_ = nb::borrow(or_none(call_.params));
    json_ = nb::borrow(or_none(call_.json));
    files_ = nb::borrow(or_none(call_.files));
    raw_ = nb::bool_(call_.raw_response);
    finish_ = std::move(finish);
    records_ = records;
    file_ = std::move(file);
}

WholeCall WholeCall::request_entry(nb::handle client, Driver driver, nb::handle method, nb::handle path,
                                   nb::handle params, nb::handle json, nb::handle files, nb::handle raw_response) {
    WholeCall call(client, driver);
    call.entry_request_ = true;
    call.method_ = nb::borrow(method);
    call.path_ = nb::borrow(path);
    call.params_ = nb::borrow(params);
    call.json_ = nb::borrow(json);
    call.files_ = nb::borrow(files);
    call.raw_ = nb::borrow(raw_response);
    return call;
}

WholeCall::~WholeCall() {
    if (file_.is_valid()) {
        nb::error_scope keep_error;
        close_file(true);
    }
}

Next WholeCall::start() {
    if (!entry_request_) {
        request_ = nb::getattr(client_, "_request");
        own_request_ = is_own(request_, client_, OwnMethod::request, driver_);
        if (!own_request_) {
            phase_ = Phase::seam_request;
            return Next::send;
        }
    }
    RequestPlan plan = plan_request(client_, path_, files_);
    url_ = std::move(plan.url);
    headers_ = std::move(plan.headers);
    attempts_ = attempts_allowed(client_);
    busy_ = busy_retry_of(client_);
    extras_ = hooks::extras_of(client_);
    attempt_ = 0;
    span_.begin(method_, url_, path_, json_, headers_, false);
    phase_ = Phase::attempt;
    return Next::send;
}

nb::object WholeCall::send() {
    if (phase_ == Phase::seam_request) {
        nb::dict kwargs = call_.keywords();
        PyObject* answer = PyObject_Call(request_.ptr(), nb::tuple().ptr(), kwargs.ptr());
        if (!answer) throw nb::python_error();
        return nb::steal(answer);
    }
    timeout_ = nb::getattr(client_, "timeout");
    logger_ = request_log::enabled(kDebug);  // invalid when nobody listens
    started_ = logger_.is_valid() ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
    if (extras_.is_valid()) return send_with_extras();
    nb::object session = nb::getattr(client_, "_session");
    PyObject* args[] = {session.ptr(), method_.ptr(), url_.ptr(),     params_.ptr(),
                        json_.ptr(),   files_.ptr(),  headers_.ptr(), timeout_.ptr()};
    PyObject* response = PyObject_VectorcallMethod(request_name(), args, 1, session_keywords());
    if (!response) throw nb::python_error();
    return nb::steal(response);
}

nb::object WholeCall::send_with_extras() {
    nb::dict keywords;
    PyObject* values[] = {method_.ptr(), url_.ptr(),     params_.ptr(), json_.ptr(),
                          files_.ptr(),  headers_.ptr(), timeout_.ptr()};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(session_keywords()); ++i) {
        keywords[nb::handle(PyTuple_GET_ITEM(session_keywords(), i))] = nb::handle(values[i]);
    }
    return hooks::send(extras_, client_, attempt_, keywords);
}

Next WholeCall::answered(nb::handle value) {
    switch (phase_) {
        case Phase::seam_request:
            if (driver_ == Driver::awaited && is_awaitable(value)) {
                awaiting_ = nb::borrow(value);
                phase_ = Phase::seam_request_read;
                return Next::read;
            }
            return handled(value);
        case Phase::attempt: return attempt_answered(value);
        case Phase::seam_request_read:
        case Phase::seam_handler_read: return handled(value);
        default: break;
    }
    py::raise_text(PyExc_RuntimeError, "the call engine was fed an answer it did not ask for");
}

Next WholeCall::attempt_answered(nb::handle response) {
    if (logger_.is_valid()) {
        log_attempt(logger_, method_, url_, nb::getattr(response, "status_code"), started_, attempt_, attempts_);
    }
    if (span_) span_.status(status_of(response));
    if (busy_.enabled && attempt_ + 1 < attempts_ && is_busy(status_of(response))) {
        pause_ = busy_pause(client_, busy_, response, attempt_);
        log_repeat(method_, url_, nb::str("HTTP {}").format(status_of(response)), attempt_, attempts_, pause_);
        busy_answer_ = nb::borrow(response);
        span_.retry(status_of(response));
        phase_ = Phase::pausing;
        return Next::pause;
    }
    answer_ = nb::borrow(response);
    nb::object answer;
    try {
        nb::object handler = nb::getattr(client_, "_handle_response");
        if (is_own(handler, client_, OwnMethod::handle_response, driver_)) {
            http::Response* own = records_ && !entry_request_ && !call_.raw_response ? own_json(response) : nullptr;
            if (own) {
                nb::object records;
                answer = handle_response_into_records(client_, response, *own, *records_, records);
                if (records.is_valid()) {
                    close_file(false);
                    return give(std::move(records));
                }
            } else {
                answer = handle_response(client_, response, raw_);
            }
        } else {
            answer = handler(response, raw_);
            if (driver_ == Driver::awaited && is_awaitable(answer)) {
                awaiting_ = std::move(answer);
                phase_ = Phase::seam_handler_read;
                return Next::read;
            }
        }
    } catch (nb::python_error& failure) {
        add_request_context(failure, method_, url_);
        return fail(failure);
    }
    return handled(answer);
}

Next WholeCall::handled(nb::handle answer) {
    try {
        close_file(false);
    } catch (nb::python_error& failure) {
        return fail(failure);
    }
    if (entry_request_ || !finish_) return give(nb::borrow(answer));
    try {
        return give(finish_(answer));
    } catch (nb::python_error& failure) {
        add_reading_context(failure, client_, method_, path_);
        return fail(failure);
    }
}

Next WholeCall::failed(nb::python_error& failure) {
    switch (phase_) {
        case Phase::seam_handler_read: add_request_context(failure, method_, url_); return fail(failure);
        case Phase::attempt: break;
        default: return fail(failure);  // a replaced _request's failure goes on unchanged
    }
    nb::object error = transport_error(failure, or_none(timeout_));
    if (!error.is_valid()) return fail(failure);  // not the transport's: unchanged
    nb::str kind = nb::str(nb::type_name(error.type()));
    if (logger_.is_valid()) log_attempt(logger_, method_, url_, kind, started_, attempt_, attempts_);
    last_error_ = std::move(error);
    // Out of descriptors, repeating at once would fail alike.
    if (attempt_ + 1 < attempts_ && !out_of_descriptors(failure)) {
        log_repeat(method_, url_, kind, attempt_, attempts_, 0.0);
        span_.retry(kind);
        ++attempt_;
        return Next::send;
    }
    add_request_context(last_error_, method_, url_);
    return fail_with(last_error_);
}

Next WholeCall::paused() {
    if (phase_ != Phase::pausing)
        py::raise_text(PyExc_RuntimeError, "the call engine was told a pause is over that it did not ask for");
    phase_ = Phase::attempt;
    ++attempt_;
    return Next::send;
}

Next WholeCall::give(nb::object result) {
    phase_ = Phase::over;
    result_ = std::move(result);
    // The one place both drivers' results pass: a record returned carries its answer's request id.
    if (nb::object answer = std::move(answer_); answer.is_valid() && records::is_record(result_)) {
        if (nb::object id = request_id_of(answer); id.is_valid()) records::note_request_id(result_, id);
    }
    span_.ok(result_);
    return Next::result;
}

Next WholeCall::fail(nb::python_error& failure) {
    close_file(true);
    phase_ = Phase::over;
    span_.failed(failure.value());
    error_.emplace(std::move(failure));
    return Next::raise;
}

Next WholeCall::fail_with(nb::handle error) {
    close_file(true);
    phase_ = Phase::over;
    span_.failed(error);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    error_.emplace();  // takes the error just set
    return Next::raise;
}

void WholeCall::raise_error() {
    if (!error_) py::raise_text(PyExc_RuntimeError, "the call engine has no error to raise");
    nb::python_error error = std::move(*error_);
    error_.reset();
    throw error;
}

void WholeCall::close_file(bool quietly) {
    if (!file_.is_valid()) return;
    nb::object file = std::move(file_);
    if (!quietly) {
        nb::getattr(file, "close")();
        return;
    }
    try {
        nb::getattr(file, "close")();
    } catch (nb::python_error&) {
        // the call's own error is the one to report; closing a file opened for reading loses nothing
    }
}

void WholeCall::abandon() noexcept {
    nb::error_scope keep_error;
    try {
        close_file(true);
    } catch (...) {
    }
    span_.abandon();
    phase_ = Phase::over;
}

int WholeCall::traverse(visitproc visit, void* arg) const {
    for (const nb::object* o :
         {&client_,      &method_,   &path_,   &params_,  &json_,        &files_,     &raw_,
          &file_,        &request_,  &url_,    &headers_, &timeout_,     &extras_,    &last_error_,
          &busy_answer_, &awaiting_, &result_, &answer_,  &call_.params, &call_.json, &call_.files}) {
        if (o->is_valid()) Py_VISIT(o->ptr());
    }
    return span_.traverse(visit, arg);
}

}  // namespace korvane::api::engine
