// korvane_sdk.http.AsyncSession and AsyncResponse: the Python face of the loop driver.
#include <nanobind/stl/string.h>

#include <memory>
#include <optional>

#include "http/aio/aio.hpp"
#include "http/curl_loader.hpp"
#include "http/headers.hpp"
#include "http/line_buffer.hpp"
#include "json/json.hpp"
#include "py/awaitable_protocol.hpp"
#include "py/guard.hpp"
#include "py/raise.hpp"
#include "py/signed_method.hpp"
#include "py/spec_type.hpp"
#include "util/python_compat.hpp"

namespace korvane::http {
namespace {

constexpr size_t kMaxLine = size_t{64} << 20;  // as the blocking Response: a longer line is refused
// After a stream's last line ("[DONE]"): how long its reader waits for the body's end (as the
// blocking reader does), and how long the transfer may still take it after that with nobody
// waiting, holding its connection meanwhile.
constexpr std::chrono::milliseconds kEndWait{5};
constexpr std::chrono::milliseconds kEndAfterLastLine{200};

nb::object running_loop() {
    nb::object loop = running_loop_or_none();
    if (loop.is_none()) {
        py::raise_text(PyExc_RuntimeError, "AsyncSession.request must be awaited inside a running event loop");
    }
    return loop;
}

// A function resolving a future with None unless it is done (the timer of a reader's wait for its
// body's end). Kept for the process, never destroyed (a static destructor would run after the
// interpreter is gone); it holds nothing.
nb::handle settle_unless_done() {
    static PyObject* settle = [] {
        nb::object function = nb::cpp_function([](nb::handle future) {
            if (future_pending(future)) future.attr("set_result")(nb::none());
        });
        return function.release().ptr();
    }();
    return settle;
}

// A future of the driver's loop already resolved with `value`.
nb::object ready(LoopDriver& driver, nb::handle value) {
    nb::object future = driver.create_future();
    future.attr("set_result")(value);
    return future;
}

}  // namespace

class AsyncResponse {
public:
    explicit AsyncResponse(std::shared_ptr<AsyncTransfer> transfer)
        : transfer_(std::move(transfer)),
          status_(transfer_->status()),
          reason_(transfer_->reason()),
          url_(transfer_->url()) {
        headers_ = nb::cast(std::move(transfer_->headers()), nb::rv_policy::move);
    }
    // With the GIL (nanobind frees instances under it). An unfinished transfer is aborted, now or
    // once libcurl returns if it is the caller (see LoopDriver::retire).
    ~AsyncResponse() {
        if (transfer_) {
            LoopDriver& driver = transfer_->driver();
            driver.retire(std::move(transfer_));
        }
    }

    // Moving the transfer is the loop thread's alone (RuntimeError elsewhere). What the answer
    // already holds (status, headers, a body read whole) may be read from anywhere.
    void check_thread() const {
        if (transfer_) transfer_->driver().check_thread("AsyncResponse");
    }

    int status_code() const { return status_; }
    const std::string& reason() const { return reason_; }
    const std::string& url() const { return url_; }
    nb::object headers() const { return headers_; }
    bool ok() const { return status_ < 400 || status_ >= 600; }

    nb::object aread() {
        if (content_.is_valid()) return ready(transfer_->driver(), content_);
        AsyncTransfer& t = live();
        t.driver().check_loop();
        if (consumed_) py::raise_text(PyExc_RuntimeError, "The content for this response was already consumed");
        if (t.finished()) {
            if (t.failure()) raise_failure(t);
            content_ = t.body_bytes();
            return ready(t.driver(), content_);
        }
        nb::object future = t.driver().create_future();
        t.wait(AsyncTransfer::Want::End, future);
        // The bytes are kept by the transfer (body_bytes) for content/text/json afterwards.
        return future;
    }

    nb::object content() {
        if (content_.is_valid()) return content_;
        AsyncTransfer& t = live();
        if (t.has_body()) {  // aread() resolved with it
            content_ = t.body_bytes();
            return content_;
        }
        // A streamed body is there only after aread(), however early it happened to arrive, so
        // the outcome does not depend on timing.
        if (t.stream() || !t.finished() || consumed_) {
            py::raise_text(PyExc_RuntimeError,
                           "The body of a streamed AsyncResponse is not read yet: await aread() first");
        }
        if (t.failure()) raise_failure(t);
        content_ = t.body_bytes();
        return content_;
    }

    nb::object text() {
        nb::object bytes = content();
        std::string charset;
        if (const std::string* type = nb::cast<const HeaderMap&>(headers_).find("Content-Type")) {
            charset = header_parameter(*type, "charset").value_or(std::string());
        }
        const char* data = PyBytes_AS_STRING(bytes.ptr());
        Py_ssize_t size = PyBytes_GET_SIZE(bytes.ptr());
        PyObject* text = PyUnicode_Decode(data, size, charset.empty() ? "utf-8" : charset.c_str(), "replace");
        if (!text && PyErr_ExceptionMatches(PyExc_LookupError)) {
            PyErr_Clear();  // a character set Python does not know: UTF-8 is the best guess
            text = PyUnicode_DecodeUTF8(data, size, "replace");
        }
        if (!text) throw nb::python_error();
        return nb::steal(text);
    }

    nb::object json() {
        nb::object bytes = content();
        return json::parse(std::string_view(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr())));
    }

    void close() {
        check_thread();
        if (transfer_ && !transfer_->finished() && !transfer_->lingering()) {
            std::shared_ptr<AsyncTransfer> transfer = transfer_;
            transfer->abort();  // the connection is closed: the rest of the body is never read
            closed_early_ = true;
        }
    }

    nb::object aclose() {
        close();
        if (!transfer_) return nb::none();
        return ready(transfer_->driver(), nb::none());
    }

    // The reader took its last line: the rest of the body is never handed out, and the transfer
    // still takes the body's end if it follows soon (the connection then goes back to the pool),
    // else it is closed. Gives a future for the reader to await before it reports its end, resolved
    // at the body's end or after kEndWait, whichever comes first (so that a next request finds the
    // connection free, as after the blocking reader's wait); invalid when there is nothing to wait for.
    nb::object finish_after_end() {
        check_thread();
        if (!transfer_ || transfer_->finished() || transfer_->lingering()) return {};
        LoopDriver& driver = transfer_->driver();
        nb::object ended = driver.create_future();
        if (!transfer_->linger(kEndAfterLastLine, ended)) {
            close();
            return {};
        }
        if (future_pending(ended)) {
            driver.call_later(std::chrono::duration<double>(kEndWait).count(), settle_unless_done(), ended);
        }
        return ended;
    }

    // The next line for the line iterator: the line, or nullopt when the caller has to wait for
    // `future` (set), or nullopt with nothing set at the end.
    std::optional<std::string_view> next_line(LineBuffer& buffer, bool whole, nb::object& future) {
        AsyncTransfer& t = live();
        for (;;) {
            const bool at_end = whole || (t.finished() && t.received().empty() && !t.failure());
            if (std::optional<std::string_view> line = buffer.next_line(at_end)) return line;
            if (whole || at_end) return std::nullopt;
            if (!t.received().empty()) {
                buffer.append(t.received());
                continue;
            }
            if (t.failure()) {
                buffer.clear();
                raise_failure(t);
            }
            if (buffer.pending() > kMaxLine) {
                buffer.clear();
                t.abort();
                raise_error(ErrorKind::Request, "A line of the answer is longer than 64 MiB");
            }
            future = t.driver().create_future();
            t.wait(AsyncTransfer::Want::Data, future);
            return std::nullopt;
        }
    }

    // Starts line reading: true when the whole body is here already (copied into `into`).
    bool begin_lines(LineBuffer& into) {
        AsyncTransfer& t = live();
        t.driver().check_loop();
        if (content_.is_valid() || t.has_body() || (t.finished() && !t.failure() && !t.stream())) {
            nb::object bytes = content();  // read first: it may be what makes content_
            std::string copy(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
            into.append(copy);
            return true;
        }
        consumed_ = true;
        return false;
    }

private:
    AsyncTransfer& live() {
        if (!transfer_) raise_error(ErrorKind::Request, "The response was closed before its body was read");
        return *transfer_;
    }
    [[noreturn]] void raise_failure(AsyncTransfer& t) {
        const Failure& failure = *t.failure();
        raise_error(failure);
    }

    std::shared_ptr<AsyncTransfer> transfer_;  // owned; given to the driver to retire on drop
    int status_;
    std::string reason_;
    std::string url_;
    nb::object headers_;
    nb::object content_;  // the whole body once read (also kept by the transfer)
    bool consumed_ = false;
    bool closed_early_ = false;
};

nb::object make_async_response(std::shared_ptr<AsyncTransfer> transfer) {
    return nb::cast(std::make_unique<AsyncResponse>(std::move(transfer)).release(), nb::rv_policy::take_ownership);
}

namespace {

// The lines of an AsyncResponse: its own async iterator and the awaitable of each step, so a
// line that is already here costs no future. With a converter (aiter_converted) it yields what the
// converter makes of each line instead, and it owns the response's end: at the converter's end,
// the body's end, a failure or an exception thrown into its await (a cancellation), it closes the
// response and is finished.
// Owner rule: `response` is strong (the iterator keeps its response alive); `waiting` is the
// future it yielded last (strong), dropped on the next step; `context` is the hooks' (strong, until
// the iterator is freed or cleared); `hooks` is kept for the process by whoever made the iterator.
struct LineIterator {
    PyObject_HEAD
    PyObject* response;
    PyObject* waiting;
    PyObject* context;
    LineBuffer* buffer;  // owned (made in aiter_lines, freed in dealloc)
    const LineHooks* hooks;
    bool whole;
    bool finished;
};

using IteratorMembers =
    py::StrongMembers<LineIterator, &LineIterator::response, &LineIterator::waiting, &LineIterator::context>;

int line_iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    return IteratorMembers::traverse(self, visit, arg);
}
int line_iterator_clear(PyObject* self) { return IteratorMembers::clear(self); }
void line_iterator_dealloc(PyObject* self) {
    auto* it = reinterpret_cast<LineIterator*>(self);
    std::unique_ptr<LineBuffer> owned(it->buffer);
    it->buffer = nullptr;
    IteratorMembers::dealloc(self);
}

PyObject* line_iterator_self(PyObject* self) { return Py_NewRef(self); }

// Whether a step is under way: the future it yielded is not done yet. Its task steps it again
// only once that future is done, so a step now comes from a second caller.
bool line_iterator_busy(LineIterator* it) {
    if (!it->waiting) return false;
    try {
        return future_pending(it->waiting);
    } catch (nb::python_error&) {
        return false;  // a future that cannot say is taken as done: the step goes on
    }
}

// How a converting iterator ends.
enum class Ending { last_line, body_end, failure, closed };

// The yielded future is let go; a converting iterator ends: the response is released (its
// unread rest never read; after the last line its end is still taken if it follows soon, and the
// future to await for it is returned).
nb::object line_iterator_finish(LineIterator* it, Ending how) {
    Py_CLEAR(it->waiting);
    if (!it->hooks || it->finished) return {};
    it->finished = true;
    if (it->context) {
        if (how == Ending::body_end) it->hooks->ended(it->context);
        if (how == Ending::closed) it->hooks->closed(it->context);
    }
    if (!it->response) return {};
    AsyncResponse& response = nb::cast<AsyncResponse&>(nb::handle(it->response));
    if (how == Ending::last_line) return response.finish_after_end();
    response.close();
    return {};
}

// One step: PYGEN_RETURN with the line's value in `out`, PYGEN_NEXT with the future to wait for
// in `out`, or PYGEN_ERROR with an error set (StopAsyncIteration at the end).
PySendResult line_iterator_step(LineIterator* it, PyObject** out) {
    AsyncResponse& response = nb::cast<AsyncResponse&>(nb::handle(it->response));
    for (;;) {
        nb::object future;
        std::optional<std::string_view> line = response.next_line(*it->buffer, it->whole, future);
        if (line) {
            if (!it->hooks) {
                *out = PyBytes_FromStringAndSize(line->data(), static_cast<Py_ssize_t>(line->size()));
                return *out ? PYGEN_RETURN : PYGEN_ERROR;
            }
            LineStep step = LineStep::Value;
            nb::object value = it->hooks->convert(it->context, *line, step, nb::handle(it->response));
            if (step == LineStep::Skip) continue;
            if (step == LineStep::End) {
                future = line_iterator_finish(it, Ending::last_line);
                if (!future.is_valid()) break;
                // Awaited as below; the step after it finds the iterator finished.
                if (PyObject_SetAttrString(future.ptr(), "_asyncio_future_blocking", Py_True) < 0) return PYGEN_ERROR;
                it->waiting = Py_NewRef(future.ptr());
                *out = future.release().ptr();
                return PYGEN_NEXT;
            }
            *out = value.release().ptr();
            return PYGEN_RETURN;
        }
        if (!future.is_valid()) break;
        // Yielded as `await future` would: the task waits for it, then steps this iterator again.
        if (PyObject_SetAttrString(future.ptr(), "_asyncio_future_blocking", Py_True) < 0) return PYGEN_ERROR;
        it->waiting = Py_NewRef(future.ptr());
        *out = future.release().ptr();
        return PYGEN_NEXT;
    }
    line_iterator_finish(it, Ending::body_end);
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return PYGEN_ERROR;
}

PySendResult line_iterator_advance(LineIterator* it, PyObject** out) {
    *out = nullptr;
    if (it->response && !py::guarded<bool>(false, [&] {
            nb::cast<AsyncResponse&>(nb::handle(it->response)).check_thread();
            return true;
        })) {
        return PYGEN_ERROR;
    }
    if (it->hooks && line_iterator_busy(it)) {
        PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
        return PYGEN_ERROR;
    }
    PySendResult result = py::guarded<PySendResult>(PYGEN_ERROR, [&] {
        Py_CLEAR(it->waiting);
        if (!it->response || it->finished) {  // cleared by the garbage collector, or over
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return PYGEN_ERROR;
        }
        return line_iterator_step(it, out);
    });
    if (result == PYGEN_ERROR && it->hooks && !it->finished) {
        // A failure ends a converting iterator: its response is released, the error stays (the
        // hooks may add to it).
        PyObject* error = PyErr_GetRaisedException();
        py::guarded<int>(0, [&] {
            if (it->context && error) it->hooks->failed(it->context, error);
            line_iterator_finish(it, Ending::failure);
            return 0;
        });
        PyErr_Clear();
        PyErr_SetRaisedException(error);
    }
    return result;
}

PyObject* line_iterator_next(PyObject* self);

// A step as `await` takes it: the value handed over in StopIteration. send(value) is the same
// step (what a task sends is None), so a pull is a coroutine to asyncio.create_task too.
PyObject* line_iterator_send(PyObject* self, PyObject*) { return line_iterator_next(self); }

PyObject* line_iterator_next(PyObject* self) {
    PyObject* out = nullptr;
    const PySendResult result = line_iterator_advance(reinterpret_cast<LineIterator*>(self), &out);
    return py::as_generator_step(result, out);
}

// throw(exception) while the await is suspended (a cancellation): a converting iterator is
// finished first; the exception goes on to the awaiting code.
PyObject* line_iterator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    auto* it = reinterpret_cast<LineIterator*>(self);
    const bool owner = py::guarded<bool>(false, [&] {
        if (it->response) nb::cast<AsyncResponse&>(nb::handle(it->response)).check_thread();
        return true;
    });
    if (!owner) return nullptr;
    py::guarded<int>(0, [&] {
        line_iterator_finish(it, Ending::closed);
        return 0;
    });
    PyErr_Clear();
    return py::raise_thrown(args, nargs);
}

// close(): the awaiting code was closed, or the owner is done with the iterator.
PyObject* line_iterator_close(PyObject* self, PyObject*) {
    auto* it = reinterpret_cast<LineIterator*>(self);
    if (!py::guarded<bool>(false, [&] {
            if (it->response) nb::cast<AsyncResponse&>(nb::handle(it->response)).check_thread();
            line_iterator_finish(it, Ending::closed);
            return true;
        })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* line_iterator_running(PyObject* self, void*) {
    return PyBool_FromLong(line_iterator_busy(reinterpret_cast<LineIterator*>(self)) ? 1 : 0);
}

PyGetSetDef line_iterator_getset[] = {
    {"running", &line_iterator_running, nullptr, "Whether a step waits for data now.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef line_iterator_methods[] = {
    {"send", &line_iterator_send, METH_O, "Take the next step (the value sent is not used)."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&line_iterator_throw)), METH_FASTCALL,
     "Raise an exception at the suspended step (a converting iterator is finished first)."},
    {"close", &line_iterator_close, METH_NOARGS, "End the iteration (a converting iterator releases its response)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot line_iterator_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&line_iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&line_iterator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&line_iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&line_iterator_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(&line_iterator_next)},
    {Py_tp_methods, reinterpret_cast<void*>(line_iterator_methods)},
    {Py_tp_getset, reinterpret_cast<void*>(line_iterator_getset)},
    {Py_am_await, reinterpret_cast<void*>(&line_iterator_self)},
    {Py_am_aiter, reinterpret_cast<void*>(&line_iterator_self)},
    {Py_am_anext, reinterpret_cast<void*>(&line_iterator_self)},
    {Py_tp_doc, const_cast<char*>("Lines of an AsyncResponse's body as they arrive.")},
    {0, nullptr},
};
PyType_Spec line_iterator_spec = {"korvane_sdk.http._AsyncLineIterator", sizeof(LineIterator), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, line_iterator_slots};

nb::object make_line_iterator(nb::handle self, const LineHooks* hooks, nb::handle context) {
    AsyncResponse& response = nb::cast<AsyncResponse&>(self);
    auto buffer = std::make_unique<LineBuffer>();
    bool whole = response.begin_lines(*buffer);
    PyTypeObject* type = py::kept_type<line_iterator_spec>();
    auto* it = PyObject_GC_New(LineIterator, type);
    if (!it) throw nb::python_error();
    it->response = Py_NewRef(self.ptr());
    it->waiting = nullptr;
    it->context = context.is_valid() ? Py_NewRef(context.ptr()) : nullptr;
    it->buffer = buffer.release();
    it->hooks = hooks;
    it->whole = whole;
    it->finished = false;
    PyObject_GC_Track(it);
    return nb::steal(reinterpret_cast<PyObject*>(it));
}

nb::object aiter_lines(nb::handle self) { return make_line_iterator(self, nullptr, nb::handle()); }

struct AsyncSession {
    AsyncSession() { ensure_curl_initialised(); }
    // Drops every transfer still in flight (the loop may be gone already).
    ~AsyncSession() {
        if (driver) driver->shutdown();
    }

    // Bound to the loop of the first request; shared with every transfer made on it.
    std::shared_ptr<LoopDriver> driver;
    bool closed = false;
    // Connections open at once (transfers beyond wait for one), and idle ones kept. As peers
    // do (100 per session or pool): far below the usual descriptor limit of 1,024, and plenty
    // for HTTP/1.1 calls to one platform, whose HTTP/2 connections carry many streams each.
    static constexpr long kDefaultMaxConnections = 100;
    long max_connections = kDefaultMaxConnections;
    nb::object verify = nb::bool_(true);
    static constexpr size_t kDefaultMaxBody = size_t{1} << 30;
    size_t max_body = kDefaultMaxBody;

    nb::object request(nb::handle method, nb::handle url, nb::handle params, nb::handle json, nb::handle files,
                       nb::handle headers, nb::handle timeout, nb::handle stream) {
        if (driver && driver->forked()) {
            // The parent's loop, copied into this child, shares its epoll set with the parent: nothing
            // may run on it (asyncio itself no longer counts it as running here). On a loop of the
            // child's own the inherited driver is let go of, touching none of the parent's
            // connections, and the session starts afresh.
            nb::object own = running_loop_or_none();
            if (own.is_none() || driver->loop().is(own)) {
                py::raise_text(PyExc_RuntimeError,
                               "This AsyncSession was opened in another process (it was inherited through fork): "
                               "use it from an event loop of this process, or make a new one");
            }
            driver->shutdown();
            driver.reset();
        }
        nb::object loop = running_loop();
        if (driver) {
            driver->check_loop(loop);
        } else if (!closed) {
            driver = LoopDriver::create(loop, max_connections);
        }
        if (closed || driver->closed()) raise_error(ErrorKind::SessionClosed, "Session is closed");
        int streaming = PyObject_IsTrue(stream.ptr());
        if (streaming < 0) throw nb::python_error();
        RequestPlan plan = plan_request(method, url, params, json, files, headers, timeout, streaming == 1, verify);
        plan.max_body = max_body;
        auto transfer = std::make_shared<AsyncTransfer>(driver, std::move(plan));
        Failure failure;
        if (!transfer->start(failure)) raise_error(failure);
        nb::object future = driver->create_future();
        driver->hold(transfer);
        transfer->wait(streaming ? AsyncTransfer::Want::Headers : AsyncTransfer::Want::Whole, future);
        return future;
    }

    void set_max_connections(nb::handle value) {
        if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
            py::raise(PyExc_TypeError, "max_connections must be an int, not %s", Py_TYPE(value.ptr())->tp_name);
        }
        long cap = PyLong_AsLong(value.ptr());
        if ((cap == -1 && PyErr_Occurred()) || cap < 1 || cap > kMaxConnectionsLimit) {
            PyErr_Clear();
            py::raise_text(PyExc_ValueError, "max_connections must be a positive number of connections");
        }
        max_connections = cap;
        if (driver && !driver->closed() && !driver->forked()) driver->set_max_connections(cap);
    }
    static constexpr long kMaxConnectionsLimit = 1L << 20;

    nb::object close_now() {
        // In a fork child the shutdown leaves the parent's connections and registrations be; on
        // the loop's own thread, or once nothing runs the loop, it is safe anywhere.
        if (driver && !driver->closed() && !driver->forked() && !driver->on_loop_thread()) {
            nb::object running = driver->loop().attr("is_running")();
            if (PyObject_IsTrue(running.ptr()) == 1) driver->check_thread("AsyncSession");
        }
        closed = true;
        if (!driver) return nb::none();
        driver->shutdown();
        return nb::none();
    }
};

// What `async def` methods that finish at once return: a coroutine that ends at its first step
// with `value`, never suspending (so awaiting it is safe where suspending is not: inside a
// coroutine being closed, whose GeneratorExit must go on at once).
// Owner rule: `value` is strong, released with the object.
struct Finished {
    PyObject_HEAD
    PyObject* value;
};

int finished_traverse(PyObject* self, visitproc visit, void* arg) {
    return py::StrongMembers<Finished, &Finished::value>::traverse(self, visit, arg);
}
int finished_clear(PyObject* self) { return py::StrongMembers<Finished, &Finished::value>::clear(self); }
void finished_dealloc(PyObject* self) { py::StrongMembers<Finished, &Finished::value>::dealloc(self); }
PyObject* finished_self(PyObject* self) { return Py_NewRef(self); }

PyObject* finished_next(PyObject* self) {
    auto* f = reinterpret_cast<Finished*>(self);
    PyObject* value = f->value ? f->value : Py_None;
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!stop) return nullptr;
    PyErr_SetObject(PyExc_StopIteration, stop);
    Py_DECREF(stop);
    return nullptr;
}
PyObject* finished_send(PyObject* self, PyObject*) { return finished_next(self); }
PyObject* finished_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return py::raise_thrown(args, nargs); }
PyObject* finished_close(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyMethodDef finished_methods[] = {
    {"send", &finished_send, METH_O, "End with the value."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&finished_throw)), METH_FASTCALL,
     "Raise the exception."},
    {"close", &finished_close, METH_NOARGS, "Nothing to end."},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot finished_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&finished_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&finished_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&finished_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&finished_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(&finished_next)},
    {Py_tp_methods, reinterpret_cast<void*>(finished_methods)},
    {Py_am_await, reinterpret_cast<void*>(&finished_self)},
    {Py_tp_doc, const_cast<char*>("The result of a method that finished at once.")},
    {0, nullptr},
};
PyType_Spec finished_spec = {"korvane_sdk.http._Finished", sizeof(Finished), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                             finished_slots};

nb::object finished_with(nb::handle value) {
    auto* f = PyObject_GC_New(Finished, py::kept_type<finished_spec>());
    if (!f) throw nb::python_error();
    f->value = Py_NewRef(value.ptr());
    PyObject_GC_Track(f);
    return nb::steal(reinterpret_cast<PyObject*>(f));
}

// `async def` methods that finish at once: an awaitable resolved with None.
nb::object done_awaitable() { return finished_with(Py_None); }

// `async def __aenter__`: an awaitable resolved with `self`.
nb::object ready_self(nb::handle self) { return finished_with(self); }

}  // namespace

nb::object aiter_converted(nb::handle response, const LineHooks& hooks, nb::handle context) {
    if (!nb::isinstance<AsyncResponse>(response)) py::raise_text(PyExc_TypeError, "expected an AsyncResponse");
    return make_line_iterator(response, &hooks, context);
}

void bind_loop(nb::module_& m) {
    nb::class_<AsyncResponse>(m, "AsyncResponse", "An answer of an AsyncSession: status, headers and body.")
        .def_prop_ro("status_code", &AsyncResponse::status_code, "The HTTP status code.")
        .def_prop_ro("reason", &AsyncResponse::reason, "The reason phrase of the status line (empty over HTTP/2).")
        .def_prop_ro("url", &AsyncResponse::url, "The URL of the answer, after redirects.")
        .def_prop_ro("headers", &AsyncResponse::headers, "The headers, looked up by name without regard to case.")
        .def_prop_ro("ok", &AsyncResponse::ok, "False for a status from 400 to 599, else True.")
        .def_prop_ro("content", &AsyncResponse::content, "The body as bytes, once it is in (else: await aread()).")
        .def_prop_ro("text", &AsyncResponse::text,
                     "The body as text, decoded by the declared charset, else as UTF-8 (bad bytes replaced).")
        .def("json", &AsyncResponse::json, "The body decoded as json.loads decodes bytes.")
        .def("aread", &AsyncResponse::aread, "Await the rest of the body; returns the whole body as bytes.")
        .def("aiter_lines", &aiter_lines,
             "The body's lines as they arrive, as bytes without their endings (LF, CR LF or CR).")
        .def(
            "aclose",
            [](AsyncResponse& r) {
                r.close();
                return done_awaitable();
            },
            "Release the transfer; an unread body is never read (its connection is closed).")
        .def("__aenter__", [](nb::handle self) { return ready_self(self); })
        .def(
            "__aexit__",
            [](AsyncResponse& r, nb::handle, nb::handle, nb::handle) {
                r.close();
                return done_awaitable();
            },
            nb::arg("exc_type").none(), nb::arg("exc_value").none(), nb::arg("traceback").none())
        .def("__repr__",
             [](const AsyncResponse& r) { return "<AsyncResponse [" + std::to_string(r.status_code()) + "]>"; });

    nb::class_<AsyncSession>(m, "AsyncSession", nb::dynamic_attr(),
                             "AsyncSession(*, max_connections=100)\n--\n\n"
                             "Sends HTTP requests from an asyncio event loop, which moves every transfer on; "
                             "connections are shared.")
        .def(
            "__init__",
            [](AsyncSession* s, nb::handle max_connections) {
                new (s) AsyncSession();
                s->set_max_connections(max_connections);
            },
            nb::kw_only(), nb::arg("max_connections") = AsyncSession::kDefaultMaxConnections)
        .def_prop_rw(
            "max_connections", [](AsyncSession& s) { return s.max_connections; },
            [](AsyncSession& s, nb::handle value) { s.set_max_connections(value); },
            nb::for_setter(nb::arg("value").none()),
            "Connections open at once (100 by default); requests beyond wait for one to be free. As many idle\n"
            "connections are kept for reuse; one its server closed is let go at once.")
        .def_prop_rw(
            "verify", [](AsyncSession& s) { return s.verify; },
            [](AsyncSession& s, nb::object value) { s.verify = std::move(value); },
            nb::for_setter(nb::arg("value").none()), "TLS verification, as Session.verify.")
        .def_prop_rw(
            "max_body_size", [](AsyncSession& s) { return s.max_body; },
            [](AsyncSession& s, nb::handle value) {
                if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
                    py::raise(PyExc_TypeError, "max_body_size must be an int, not %s", Py_TYPE(value.ptr())->tp_name);
                }
                size_t bytes = PyLong_AsSize_t(value.ptr());
                if ((bytes == static_cast<size_t>(-1) && PyErr_Occurred()) || bytes == 0) {
                    PyErr_Clear();
                    py::raise_text(PyExc_ValueError, "max_body_size must be a positive number of bytes");
                }
                s.max_body = bytes;
            },
            nb::for_setter(nb::arg("value").none()), "As Session.max_body_size.")
        .def("request", &AsyncSession::request, nb::arg("method"), nb::arg("url"), nb::arg("params") = nb::none(),
             nb::arg("json") = nb::none(), nb::arg("files") = nb::none(), nb::arg("headers") = nb::none(),
             nb::arg("timeout") = nb::none(), nb::arg("stream") = false,
             "Send a request; await the AsyncResponse. With a true `stream` it resolves once the headers\n"
             "have arrived, else once the whole body is in.")
        .def(
            "close",
            [](AsyncSession& s) {
                s.close_now();
                return done_awaitable();
            },
            "Abort every transfer and close the connections; later requests are refused.")
        .def(
            "aclose",
            [](AsyncSession& s) {
                s.close_now();
                return done_awaitable();
            },
            "The same as close().")
        .def("__aenter__", [](nb::handle self) { return ready_self(self); })
        .def(
            "__aexit__",
            [](AsyncSession& s, nb::handle, nb::handle, nb::handle) {
                s.close_now();
                return done_awaitable();
            },
            nb::arg("exc_type").none(), nb::arg("exc_value").none(), nb::arg("traceback").none());

    py::sign_methods(m.attr("AsyncSession"));
    py::sign_methods(nb::type<AsyncResponse>());
    for (const char* name : {"AsyncSession", "AsyncResponse"}) m.attr(name).attr("__module__") = "korvane_sdk.http";
}

}  // namespace korvane::http
