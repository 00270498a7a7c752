// LoopDriver and AsyncTransfer: libcurl's multi interface moved on by the asyncio loop.
#include <strings.h>
#include <algorithm>
#include <cstdio>

#include "http/loop/loop.hpp"
#include "py/raise.hpp"

namespace korvane::http {
namespace {

long milliseconds(std::chrono::steady_clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// Calls a loop method; an error there (a closed loop) is dropped: what it was asked to undo or
// schedule no longer matters once the loop is gone.
void quietly(const nb::object& method, nb::handle a) {
    PyObject* result = a ? PyObject_CallOneArg(method.ptr(), a.ptr()) : PyObject_CallNoArgs(method.ptr());
    if (result) {
        Py_DECREF(result);
    } else {
        PyErr_Clear();
    }
}

bool future_pending(nb::handle future) {
    nb::object done = future.attr("done")();
    return !PyObject_IsTrue(done.ptr());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// LoopDriver

std::shared_ptr<LoopDriver> LoopDriver::create(nb::handle loop) {
    std::shared_ptr<LoopDriver> driver(new LoopDriver());
    driver->multi_.reset(curl_multi_init());
    if (!driver->multi_) throw std::bad_alloc();
    CURLM* multi = driver->multi_.get();
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &LoopDriver::on_socket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, driver.get());
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &LoopDriver::on_timer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, driver.get());
    // Every transfer of the session shares its connections; HTTP/2 streams to one host share one.
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 1000L);
    curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, 1000L);

    driver->loop_ = nb::borrow(loop);
    driver->add_reader_ = loop.attr("add_reader");
    driver->add_writer_ = loop.attr("add_writer");
    driver->remove_reader_ = loop.attr("remove_reader");
    driver->remove_writer_ = loop.attr("remove_writer");
    driver->call_later_ = loop.attr("call_later");
    driver->create_future_ = loop.attr("create_future");
    driver->timer_ = nb::none();
    driver->thread_ = std::this_thread::get_id();
    // The loop's callbacks hold the driver weakly: a callback left in a loop after the session
    // went away does nothing.
    std::weak_ptr<LoopDriver> weak = driver;
    driver->read_ready_ = nb::cpp_function([weak](int fd) {
        if (auto d = weak.lock()) d->socket_ready(fd, CURL_CSELECT_IN);
    });
    driver->write_ready_ = nb::cpp_function([weak](int fd) {
        if (auto d = weak.lock()) d->socket_ready(fd, CURL_CSELECT_OUT);
    });
    driver->timer_fired_ = nb::cpp_function([weak]() {
        if (auto d = weak.lock()) {
            d->timer_ = nb::none();
            d->socket_ready(CURL_SOCKET_TIMEOUT, 0);
        }
    });
    return driver;
}

LoopDriver::~LoopDriver() {
    guard([&] { shutdown(); });
}

nb::object running_loop_or_none() {
    static PyObject* get_running_loop = nullptr;  // asyncio._get_running_loop: strong, kept for the process
    if (!get_running_loop) {
        get_running_loop = nb::object(nb::module_::import_("asyncio").attr("_get_running_loop")).release().ptr();
    }
    PyObject* loop = PyObject_CallNoArgs(get_running_loop);
    if (!loop) throw nb::python_error();
    return nb::steal(loop);
}

void LoopDriver::check_loop(nb::handle running) const {
    if (std::this_thread::get_id() != thread_) {
        py::raise_text(PyExc_RuntimeError,
                       "This AsyncSession is bound to another event loop (it was used from another thread)");
    }
    if (!running.is(loop_)) {
        py::raise_text(PyExc_RuntimeError, "This AsyncSession is bound to another event loop than the running one");
    }
}

void LoopDriver::check_loop() const {
    if (std::this_thread::get_id() == thread_) {
        nb::object running = running_loop_or_none();
        check_loop(running);
    } else {
        check_loop(nb::handle());
    }
}

nb::object LoopDriver::create_future() const {
    PyObject* future = PyObject_CallNoArgs(create_future_.ptr());
    if (!future) throw nb::python_error();
    return nb::steal(future);
}

nb::object LoopDriver::call_later(double seconds, nb::handle callback, nb::handle argument) {
    nb::object delay = nb::float_(seconds);
    PyObject* args[] = {delay.ptr(), callback.ptr(), argument.ptr()};
    PyObject* handle = PyObject_Vectorcall(call_later_.ptr(), args, argument.is_valid() ? 3 : 2, nullptr);
    if (!handle) throw nb::python_error();
    return nb::steal(handle);
}

bool LoopDriver::add(AsyncTransfer& transfer) {
    if (closed_) return false;
    CURLMcode code = in_curl([&] { return curl_multi_add_handle(multi_.get(), transfer.easy()); });
    if (code != CURLM_OK) return false;
    active_[transfer.easy()] = &transfer;
    return true;
}

void LoopDriver::remove(AsyncTransfer& transfer) {
    active_.erase(transfer.easy());
    // May call on_socket (REMOVE) for a connection closed now.
    in_curl([&] { return curl_multi_remove_handle(multi_.get(), transfer.easy()); });
}

void LoopDriver::hold(std::shared_ptr<AsyncTransfer> transfer) {
    AsyncTransfer* key = transfer.get();
    held_.emplace(key, std::move(transfer));
}

void LoopDriver::let_go(AsyncTransfer* transfer) {
    // Every caller keeps its own shared_ptr to `transfer` until it returns.
    held_.erase(transfer);
}

void LoopDriver::retire(std::shared_ptr<AsyncTransfer> transfer) {
    if (!transfer) return;
    if (in_curl_) {
        retired_.push_back(std::move(transfer));
        return;
    }
    transfer->abort();
}

void LoopDriver::wake(AsyncTransfer& transfer) {
    if (transfer.queued_) return;
    transfer.queued_ = true;
    woken_.push_back(transfer.shared_from_this());
}

int LoopDriver::on_socket(CURL*, curl_socket_t socket, int what, void* self, void*) {
    auto* driver = static_cast<LoopDriver*>(self);
    int fd = static_cast<int>(socket);
    int& had = driver->watched_[fd];
    nb::int_ key(fd);
    // The loop's registrations follow libcurl's wish; errors of a closed loop are dropped.
    const bool want_in = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool want_out = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    const bool had_in = had == CURL_POLL_IN || had == CURL_POLL_INOUT;
    const bool had_out = had == CURL_POLL_OUT || had == CURL_POLL_INOUT;
    auto call2 = [&](const nb::object& method, nb::handle callback) {
        PyObject* args[] = {key.ptr(), callback.ptr(), key.ptr()};
        PyObject* result = PyObject_Vectorcall(method.ptr(), args, 3, nullptr);
        if (result) {
            Py_DECREF(result);
        } else {
            PyErr_Clear();
        }
    };
    if (want_in && !had_in) call2(driver->add_reader_, driver->read_ready_);
    if (!want_in && had_in) quietly(driver->remove_reader_, key);
    if (want_out && !had_out) call2(driver->add_writer_, driver->write_ready_);
    if (!want_out && had_out) quietly(driver->remove_writer_, key);
    if (what == CURL_POLL_REMOVE) {
        driver->watched_.erase(fd);
    } else {
        had = what;
    }
    return 0;
}

int LoopDriver::on_timer(CURLM*, long timeout_ms, void* self) {
    auto* driver = static_cast<LoopDriver*>(self);
    // One timer at a time: the previous one is cancelled, whatever libcurl asks next.
    if (!driver->timer_.is_none()) {
        nb::object cancel = nb::steal(PyObject_GetAttrString(driver->timer_.ptr(), "cancel"));
        if (cancel.is_valid()) quietly(cancel, nb::handle());
        PyErr_Clear();
        driver->timer_ = nb::none();
    }
    if (timeout_ms < 0 || driver->closed_) return 0;
    nb::object delay = nb::float_(static_cast<double>(timeout_ms) / 1000.0);
    PyObject* args[] = {delay.ptr(), driver->timer_fired_.ptr()};
    PyObject* handle = PyObject_Vectorcall(driver->call_later_.ptr(), args, 2, nullptr);
    if (!handle) {
        PyErr_Clear();
        return -1;
    }
    driver->timer_ = nb::steal(handle);
    return 0;
}

void LoopDriver::socket_ready(int fd, int mask) {
    if (closed_) return;
    std::shared_ptr<LoopDriver> keep = shared_from_this();  // a callback may drop the session
    int running = 0;
    in_curl([&] { return curl_multi_socket_action(multi_.get(), static_cast<curl_socket_t>(fd), mask, &running); });
}

void LoopDriver::flush() {
    if (!in_curl_) settle();
}

void LoopDriver::settle() noexcept {
    guard([&] { settle_due(); });
    in_curl_ = false;
}

void LoopDriver::settle_due() {
    in_curl_ = true;  // curl calls below must not settle recursively
    // Completions first: they decide what the waiters get.
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        auto found = active_.find(message->easy_handle);
        if (found == active_.end()) continue;
        AsyncTransfer* transfer = found->second;
        CURLcode result = message->data.result;
        std::shared_ptr<AsyncTransfer> keep = transfer->shared_from_this();
        guard([&] { transfer->on_finished(result); });
    }
    while (!woken_.empty() || !retired_.empty()) {
        std::vector<std::shared_ptr<AsyncTransfer>> woken;
        woken.swap(woken_);
        for (auto& transfer : woken) {
            transfer->queued_ = false;
            guard([&] { transfer->resolve(); });
        }
        std::vector<std::shared_ptr<AsyncTransfer>> retired;
        retired.swap(retired_);
        for (auto& transfer : retired) guard([&] { transfer->abort(); });
        // The transfers of `retired` (and woken ones now let go) are freed here, outside libcurl.
        int more = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &more)) {
            if (message->msg != CURLMSG_DONE) continue;
            auto found = active_.find(message->easy_handle);
            if (found == active_.end()) continue;
            AsyncTransfer* transfer = found->second;
            CURLcode result = message->data.result;
            std::shared_ptr<AsyncTransfer> keep = transfer->shared_from_this();
            guard([&] { transfer->on_finished(result); });
        }
    }
    in_curl_ = false;
}

void LoopDriver::shutdown() {
    if (closed_) return;
    closed_ = true;
    in_curl_ = true;
    std::vector<AsyncTransfer*> live;
    for (auto& [easy, transfer] : active_) live.push_back(transfer);
    // Held transfers stay alive through the loop below.
    auto held = std::move(held_);
    held_.clear();
    const Failure closed{ErrorKind::SessionClosed, "Session is closed"};
    for (AsyncTransfer* transfer : live) guard([&] { transfer->abort(closed); });
    for (auto& transfer : retired_) guard([&] { transfer->abort(closed); });
    held.clear();
    woken_.clear();
    retired_.clear();
    for (auto& [fd, what] : watched_) {
        nb::int_ key(fd);
        if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) quietly(remove_reader_, key);
        if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) quietly(remove_writer_, key);
    }
    watched_.clear();
    if (timer_.is_valid() && !timer_.is_none()) {
        nb::object cancel = nb::steal(PyObject_GetAttrString(timer_.ptr(), "cancel"));
        if (cancel.is_valid()) quietly(cancel, nb::handle());
        PyErr_Clear();
    }
    timer_ = nb::none();
    // Closes the cached connections; its socket callbacks find nothing watched any more.
    curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(multi_.get(), CURLMOPT_TIMERFUNCTION, nullptr);
    multi_.reset();
    in_curl_ = false;
}

// ---------------------------------------------------------------------------------------------
// AsyncTransfer

AsyncTransfer::AsyncTransfer(std::shared_ptr<LoopDriver> driver, RequestPlan plan)
    : ExchangeCore(std::move(plan)), driver_(std::move(driver)), easy_(curl_easy_init()) {
    if (!easy_) throw std::bad_alloc();
    curl_easy_setopt(easy_.get(), CURLOPT_PRIVATE, this);
}

AsyncTransfer::~AsyncTransfer() {
    LoopDriver::guard([&] { detach(); });
}

void AsyncTransfer::configure_shared() {
    configure(easy_.get());
    // Over TLS (where HTTP/2 is offered), transfers that start together wait for the first
    // connection to a host to tell whether it multiplexes instead of each opening its own. Plain
    // HTTP is HTTP/1.1 here: waiting would only serialise the connections' set-up.
    const bool tls = plan_.url.size() > 8 && strncasecmp(plan_.url.c_str(), "https://", 8) == 0;
    curl_easy_setopt(easy_.get(), CURLOPT_PIPEWAIT, tls ? 1L : 0L);
    curl_easy_setopt(easy_.get(), CURLOPT_PRIVATE, this);
}

bool AsyncTransfer::start(Failure& failure) {
    configure_shared();
    pausable_ = plan_.stream;
    started_ = last_activity_ = Clock::now();
    if (driver_->closed()) {
        failure = {ErrorKind::SessionClosed, "Session is closed"};
        return false;
    }
    if (!driver_->add(*this)) {
        failure = {ErrorKind::Request, "Cannot start the transfer"};
        return false;
    }
    attached_ = true;
    if (plan_.read_timeout_ms > 0) arm_idle_timer(plan_.read_timeout_ms);
    return true;
}

void AsyncTransfer::detach() {
    if (attached_) {
        attached_ = false;
        driver_->remove(*this);
    }
    if (idle_timer_.is_valid()) {
        nb::object cancel = nb::steal(PyObject_GetAttrString(idle_timer_.ptr(), "cancel"));
        if (cancel.is_valid()) quietly(cancel, nb::handle());
        PyErr_Clear();
        idle_timer_.reset();
    }
}

bool AsyncTransfer::satisfied(Want want) const {
    if (failure_ || done_) return true;
    switch (want) {
        case Want::None: return true;
        case Want::Headers: return final_headers_;
        case Want::Whole: return false;
        case Want::Data: return received_.size() > pump_base_;
        case Want::End: return false;
    }
    return true;
}

void AsyncTransfer::wait(Want want, nb::object future) {
    want_ = want;
    waiter_ = std::move(future);
    if (want == Want::Data) pump_base_ = received_.size();
    pausable_ = plan_.stream && want != Want::End;
    // A cancelled waiter (its task cancelled, asyncio.timeout, wait_for) aborts the transfer. One
    // callback per transfer, made at its first wait; it holds the transfer weakly.
    if (!on_cancel_.is_valid()) {
        std::weak_ptr<AsyncTransfer> weak = weak_from_this();
        on_cancel_ = nb::cpp_function([weak](nb::handle future) {
            auto self = weak.lock();
            if (!self || !self->waiter_.is(future)) return;
            nb::object cancelled = future.attr("cancelled")();
            if (PyObject_IsTrue(cancelled.ptr()) == 1) {
                self->waiter_.reset();
                self->want_ = Want::None;
                self->abort();
            }
        });
    }
    static PyObject* add_done_callback = PyUnicode_InternFromString("add_done_callback");  // kept for the process
    if (!add_done_callback) throw nb::python_error();
    PyObject* added = PyObject_CallMethodOneArg(waiter_.ptr(), add_done_callback, on_cancel_.ptr());
    if (!added) throw nb::python_error();
    Py_DECREF(added);
    if (paused_) {
        paused_ = false;
        CURLcode resumed = driver_->in_curl([&] { return curl_easy_pause(easy_.get(), CURLPAUSE_CONT); });
        if (resumed != CURLE_OK) fail(failure_of(resumed));
    }
    if (satisfied(want)) {
        driver_->wake(*this);
        driver_->flush();
    }
}

void AsyncTransfer::progressed() {
    if (waiter_.is_valid() && satisfied(want_)) driver_->wake(*this);
}

void AsyncTransfer::on_finished(CURLcode result) {
    if (result != CURLE_OK) {
        fail(failure_of(result));
        return;
    }
    if (redirecting()) {
        driver_->remove(*this);
        attached_ = false;
        Failure refused;
        if (!prepare_follow(easy_.get(), refused)) {
            fail(std::move(refused));
            return;
        }
        configure_shared();  // prepare_follow configured the plan's options; ours go on top
        if (!driver_->add(*this)) {
            fail({ErrorKind::Request, "Cannot start the transfer"});
            return;
        }
        attached_ = true;
        return;
    }
    done_ = true;
    final_headers_ = true;
    // Finished: the connection stays in the multi handle's cache for the next transfer.
    detach();
    if (waiter_.is_valid()) driver_->wake(*this);
}

void AsyncTransfer::fail(Failure failure) {
    if (!failure_) failure_ = std::move(failure);
    done_ = true;
    detach();  // an unfinished transfer's connection is closed
    if (waiter_.is_valid()) driver_->wake(*this);
}

void AsyncTransfer::abort() { abort({ErrorKind::Request, "The response was closed before its body was read"}); }

void AsyncTransfer::abort(const Failure& why) {
    std::shared_ptr<AsyncTransfer> keep = shared_from_this();  // let_go may drop the last owner
    detach();
    done_ = true;
    if (!failure_) failure_ = why;
    if (waiter_.is_valid()) {
        // Someone still awaits this transfer (a request, aread, a line): an error, not a
        // cancellation its task never asked for.
        nb::object waiter = std::move(waiter_);
        want_ = Want::None;
        if (future_pending(waiter)) {
            PyObject* set = PyObject_CallMethod(waiter.ptr(), "set_exception", "O", failure_exception().ptr());
            if (set) {
                Py_DECREF(set);
            } else {
                PyErr_Clear();
            }
        }
    }
    driver_->let_go(this);
}

nb::object AsyncTransfer::failure_exception() const {
    const Failure& f = *failure_;
    return error_type(f.kind)(nb::str(f.message.c_str(), f.message.size()));
}

nb::object AsyncTransfer::body_bytes() {
    if (!body_.is_valid()) {
        PyObject* bytes = PyBytes_FromStringAndSize(received_.data(), static_cast<Py_ssize_t>(received_.size()));
        if (!bytes) throw nb::python_error();
        body_ = nb::steal(bytes);
        std::string().swap(received_);
    }
    return body_;
}

void AsyncTransfer::resolve() {
    if (!waiter_.is_valid() || !satisfied(want_)) return;
    std::shared_ptr<AsyncTransfer> keep = shared_from_this();
    nb::object future = std::move(waiter_);
    Want want = want_;
    want_ = Want::None;
    if (!future_pending(future)) return;  // cancelled meanwhile
    nb::object result;
    if (want == Want::Data) {
        future.attr("set_result")(nb::none());  // the reader looks at what arrived, failure included
    } else if (failure_ && (want != Want::Headers || !final_headers_)) {
        result = failure_exception();
        future.attr("set_exception")(result);
    } else {
        switch (want) {
            case Want::Headers:
            case Want::Whole: {
                result = make_async_response(shared_from_this());
                break;
            }
            case Want::End: result = body_bytes(); break;
            default: result = nb::none(); break;
        }
        future.attr("set_result")(result);
    }
    if (want == Want::Headers || want == Want::Whole) driver_->let_go(this);  // the response owns it now
}

void AsyncTransfer::arm_idle_timer(long delay_ms) {
    std::weak_ptr<AsyncTransfer> weak = weak_from_this();
    nb::object fired = nb::cpp_function([weak]() {
        if (auto self = weak.lock()) self->check_idle();
    });
    idle_timer_ = driver_->call_later(static_cast<double>(delay_ms) / 1000.0, fired, nb::handle());
}

void AsyncTransfer::check_idle() {
    idle_timer_.reset();
    if (done_ || !attached_) return;
    if (!connected_) {
        arm_idle_timer(plan_.read_timeout_ms);  // the connect phase has libcurl's own deadline
        return;
    }
    const Clock::time_point now = Clock::now();
    const long idle = milliseconds(now - last_activity_);
    if (idle >= plan_.read_timeout_ms) {
        char text[160];
        std::snprintf(text, sizeof text, "Operation timed out after %ld milliseconds with %zu bytes received",
                      milliseconds(now - started_), body_bytes_);
        fail({ErrorKind::ReadTimeout, text});
        driver_->flush();  // the waiter learns it now
        return;
    }
    arm_idle_timer(std::max(1L, plan_.read_timeout_ms - idle));
}

}  // namespace korvane::http
