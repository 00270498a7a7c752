// LoopDriver and AsyncTransfer: libcurl's multi interface moved on by the asyncio loop.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "http/aio/aio.hpp"
#include "http/fork_count.hpp"
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

// Cancels a pending loop handle (a TimerHandle or Handle) and forgets it.
void cancel_handle(nb::object& handle) {
    if (!handle.is_valid()) return;
    static PyObject* cancel = PyUnicode_InternFromString("cancel");  // kept for the process
    PyObject* result = cancel ? PyObject_CallMethodNoArgs(handle.ptr(), cancel) : nullptr;
    if (result) {
        Py_DECREF(result);
    } else {
        PyErr_Clear();
    }
    handle.reset();
}

}  // namespace

bool future_pending(nb::handle future) {
    static PyObject* done = PyUnicode_InternFromString("done");  // kept for the process
    if (!done) throw nb::python_error();
    nb::object result = nb::steal(PyObject_CallMethodNoArgs(future.ptr(), done));
    if (!result.is_valid()) throw nb::python_error();
    return result.ptr() == Py_False;
}

// ---------------------------------------------------------------------------------------------
// LoopDriver

std::shared_ptr<LoopDriver> LoopDriver::create(nb::handle loop, long max_connections) {
    std::shared_ptr<LoopDriver> driver(new LoopDriver());
    driver->fork_generation_ = forks_so_far();
    driver->multi_.reset(libcurl::curl_multi_init());
    if (!driver->multi_) throw std::bad_alloc();
    CURLM* multi = driver->multi_.get();
    libcurl::curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &LoopDriver::on_socket);
    libcurl::curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, driver.get());
    libcurl::curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &LoopDriver::on_timer);
    libcurl::curl_multi_setopt(multi, CURLMOPT_TIMERDATA, driver.get());
    // Every transfer of the session shares its connections; HTTP/2 streams to one host share one.
    libcurl::curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    libcurl::curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, 1000L);
    driver->set_max_connections(max_connections);

    driver->loop_ = nb::borrow(loop);
    driver->add_reader_ = loop.attr("add_reader");
    driver->add_writer_ = loop.attr("add_writer");
    driver->remove_reader_ = loop.attr("remove_reader");
    driver->remove_writer_ = loop.attr("remove_writer");
    driver->call_later_ = loop.attr("call_later");
    driver->call_soon_ = loop.attr("call_soon");
    driver->call_soon_threadsafe_ = loop.attr("call_soon_threadsafe");
    driver->create_future_ = loop.attr("create_future");
    nb::object future_type = nb::borrow(driver->create_future().type());
    driver->add_done_callback_ = future_type.attr("add_done_callback");
    driver->remove_done_callback_ = future_type.attr("remove_done_callback");
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
    driver->soon_fired_ = nb::cpp_function([weak]() {
        if (auto d = weak.lock()) {
            d->soon_.reset();
            d->timer_due();
        }
    });
    driver->timer_fired_ = nb::cpp_function([weak]() {
        if (auto d = weak.lock()) {
            d->timer_.reset();
            d->timer_due();
        }
    });
    driver->idle_fired_ = nb::cpp_function([weak]() {
        if (auto d = weak.lock()) {
            d->idle_timer_.reset();
            d->check_idle();
        }
    });
    driver->cancelled_ = nb::cpp_function([weak](nb::handle future) {
        auto d = weak.lock();
        if (!d) return;
        auto found = d->waiting_.find(future.ptr());
        if (found == d->waiting_.end()) return;
        auto transfer = found->second.lock();
        d->waiting_.erase(found);
        if (!transfer || !transfer->waiter_.is(future)) return;
        nb::object cancelled = future.attr("cancelled")();
        if (PyObject_IsTrue(cancelled.ptr()) == 1) {
            transfer->waiter_.reset();
            transfer->want_ = AsyncTransfer::Want::None;
            transfer->abort();
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

void LoopDriver::check_thread(const char* what) const {
    if (std::this_thread::get_id() != thread_) {
        py::raise(PyExc_RuntimeError, "This %s is bound to another event loop (it was used from another thread)", what);
    }
}

bool LoopDriver::forked() const { return forks_now() != fork_generation_; }

void LoopDriver::set_max_connections(long cap) {
    if (!multi_) return;
    // Transfers beyond the cap wait in libcurl's queue for a connection to be free; the idle
    // connections kept for reuse are bounded alike (the oldest goes first).
    libcurl::curl_multi_setopt(multi_.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, cap);
    libcurl::curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, cap);
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
    CURLMcode code = in_curl([&] { return libcurl::curl_multi_add_handle(multi_.get(), transfer.easy()); });
    if (code != CURLM_OK) return false;
    active_[transfer.easy()] = &transfer;
    return true;
}

EasyHandle LoopDriver::spare_easy() {
    if (spare_easies_.empty()) return {};
    EasyHandle easy = std::move(spare_easies_.back());
    spare_easies_.pop_back();
    return easy;
}

void LoopDriver::keep_spare(EasyHandle easy) {
    if (!easy || closed_ || spare_easies_.size() >= kMaxSpareEasies) return;
    // Out of the multi handle already (detach): its options go, its read buffer stays.
    libcurl::curl_easy_reset(easy.get());
    spare_easies_.push_back(std::move(easy));
}

void LoopDriver::watch(nb::handle future, const std::shared_ptr<AsyncTransfer>& transfer) {
    PyObject* args[] = {future.ptr(), cancelled_.ptr()};
    PyObject* added = PyObject_Vectorcall(add_done_callback_.ptr(), args, 2, nullptr);
    if (!added) throw nb::python_error();
    Py_DECREF(added);
    waiting_[future.ptr()] = transfer;
}

void LoopDriver::unwatch(nb::handle future) {
    if (waiting_.erase(future.ptr()) == 0) return;
    // Taken off before the future is resolved, so a normal end schedules no callback at all.
    PyObject* args[] = {future.ptr(), cancelled_.ptr()};
    PyObject* removed = PyObject_Vectorcall(remove_done_callback_.ptr(), args, 2, nullptr);
    if (removed) {
        Py_DECREF(removed);
    } else {
        PyErr_Clear();
    }
}

void LoopDriver::check_idle_by(std::chrono::steady_clock::time_point deadline) {
    if (closed_ || (idle_timer_.is_valid() && idle_at_ <= deadline)) return;
    cancel_handle(idle_timer_);
    const auto now = std::chrono::steady_clock::now();
    const double seconds = deadline > now ? std::chrono::duration<double>(deadline - now).count() : 0.0;
    idle_timer_ = call_later(seconds, idle_fired_, nb::handle());
    idle_at_ = deadline;
}

void LoopDriver::check_idle() {
    if (closed_) return;
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<AsyncTransfer>> expired;
    std::optional<std::chrono::steady_clock::time_point> next;
    for (auto& [easy, transfer] : active_) {
        std::optional<std::chrono::steady_clock::time_point> deadline = transfer->idle_deadline(now);
        if (!deadline) continue;
        if (*deadline <= now) {
            expired.push_back(transfer->shared_from_this());
        } else if (!next || *deadline < *next) {
            next = deadline;
        }
    }
    for (auto& transfer : expired) transfer->time_out(now);  // leaves active_, so not in the loop above
    if (next) check_idle_by(*next);
    if (!expired.empty()) flush();  // the waiters learn it now
}

void LoopDriver::remove(AsyncTransfer& transfer) {
    active_.erase(transfer.easy());
    if (forked()) return;  // the parent's connection: libcurl must not close it (see OWNERSHIP)
    // May call on_socket (REMOVE) for a connection closed now.
    in_curl([&] { return libcurl::curl_multi_remove_handle(multi_.get(), transfer.easy()); });
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
    if (!on_loop_thread() && !closed_ && !forked()) {
        // Released on another thread (a response collected there): only the loop's thread may
        // move its transfers, so the loop retires it. A closed loop runs nothing, and nothing
        // races with this thread then: it is aborted here. What a finished transfer holds of
        // the caller's (an upload's buffer or file) goes now, as on the loop's thread.
        transfer->release_upload();
        nb::object later = nb::cpp_function([transfer] { transfer->driver().retire(transfer); });
        PyObject* handle = PyObject_CallOneArg(call_soon_threadsafe_.ptr(), later.ptr());
        if (handle) {
            Py_DECREF(handle);
            return;
        }
        PyErr_Clear();
    }
    if (transfer->lingering()) return;  // held by this driver until its body's end (see linger())
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

int LoopDriver::on_socket(CURL* easy, curl_socket_t socket, int what, void* self, void*) {
    auto* driver = static_cast<LoopDriver*>(self);
    if (driver->forked()) return 0;  // the loop's registrations are the parent's
    int fd = static_cast<int>(socket);
    Watch& watch = driver->watched_[fd];
    watch.wanted = what == CURL_POLL_REMOVE ? 0 : what;
    watch.easy = what == CURL_POLL_REMOVE ? nullptr : easy;
    nb::object key;  // made only when the loop is called: most calls change nothing there
    auto key_of = [&]() -> nb::handle {
        if (!key.is_valid()) key = nb::int_(fd);
        return key;
    };
    // The loop's registrations follow libcurl's wish; errors of a closed loop are dropped.
    const bool want_in = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool want_out = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    auto add = [&](const nb::object& method, nb::handle callback) {
        PyObject* args[] = {key_of().ptr(), callback.ptr(), key.ptr()};
        PyObject* result = PyObject_Vectorcall(method.ptr(), args, 3, nullptr);
        if (result) {
            Py_DECREF(result);
        } else {
            PyErr_Clear();
        }
    };
    if (want_in) watch.unwanted_firings = 0;
    if (want_in && !watch.reading) add(driver->add_reader_, driver->read_ready_);
    watch.reading = watch.reading || want_in;
    // A connection's reader stays while it idles in the cache (see OWNERSHIP); others go now.
    if (!want_in && watch.reading && !watch.connection) {
        quietly(driver->remove_reader_, key_of());
        watch.reading = false;
    }
    if (what == CURL_POLL_REMOVE && watch.connection && !watch.reading) {
        // Going idle into libcurl's cache: its reader comes back (an unwanted firing may have
        // taken it away while the transfer wrote), so that its server closing it is noticed.
        add(driver->add_reader_, driver->read_ready_);
        watch.reading = true;
        watch.unwanted_firings = 0;
    }
    if (want_out && !watch.writing) add(driver->add_writer_, driver->write_ready_);
    if (!want_out && watch.writing) quietly(driver->remove_writer_, key_of());
    watch.writing = want_out;
    if (!watch.reading && !watch.writing && !watch.connection) driver->watched_.erase(fd);
    return 0;
}

int LoopDriver::on_sockopt(void* self, curl_socket_t socket, curlsocktype purpose) {
    if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKOPT_OK;
    auto* driver = static_cast<LoopDriver*>(self);
    int fd = static_cast<int>(socket);
    // A new socket: a registration left under its number (it cannot be this socket's) goes.
    driver->unregister(fd);
    driver->watched_[fd].connection = true;
    return CURL_SOCKOPT_OK;
}

int LoopDriver::on_close_socket(void* self, curl_socket_t socket) {
    auto* driver = static_cast<LoopDriver*>(self);
    driver->unregister(static_cast<int>(socket));
    return close(socket);  // in a fork child: its own copy only, the parent's socket stays open
}

void LoopDriver::unregister(int fd) {
    auto found = watched_.find(fd);
    if (found == watched_.end()) return;
    if ((found->second.reading || found->second.writing) && !forked()) {
        nb::int_ key(fd);
        if (found->second.reading) quietly(remove_reader_, key);
        if (found->second.writing) quietly(remove_writer_, key);
    }
    watched_.erase(found);
}

int LoopDriver::on_timer(CURLM*, long timeout_ms, void* self) {
    auto* driver = static_cast<LoopDriver*>(self);
    // A deadline given up (-1) leaves the pending timer: its firing early is harmless.
    if (timeout_ms < 0 || driver->closed_) return 0;
    if (timeout_ms == 0) {
        if (driver->soon_.is_valid()) return 0;
        PyObject* handle = PyObject_CallOneArg(driver->call_soon_.ptr(), driver->soon_fired_.ptr());
        if (!handle) {
            PyErr_Clear();
            return -1;
        }
        driver->soon_ = nb::steal(handle);
        return 0;
    }
    const auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (driver->timer_.is_valid() && driver->timer_at_ <= at) return 0;
    cancel_handle(driver->timer_);
    nb::object delay = nb::float_(static_cast<double>(timeout_ms) / 1000.0);
    PyObject* args[] = {delay.ptr(), driver->timer_fired_.ptr()};
    PyObject* handle = PyObject_Vectorcall(driver->call_later_.ptr(), args, 2, nullptr);
    if (!handle) {
        PyErr_Clear();
        return -1;
    }
    driver->timer_ = nb::steal(handle);
    driver->timer_at_ = at;
    return 0;
}

void LoopDriver::timer_due() {
    if (closed_) return;
    std::shared_ptr<LoopDriver> keep = shared_from_this();
    socket_ready(CURL_SOCKET_TIMEOUT, 0);
    // libcurl announces its deadline only when it changes: after a kept timer fired early, the
    // one it announced may have no timer left behind it.
    long next = -1;
    if (!closed_ && libcurl::curl_multi_timeout(multi_.get(), &next) == CURLM_OK && next >= 0) {
        on_timer(multi_.get(), next, this);
    }
}

void LoopDriver::socket_ready(int fd, int mask) {
    if (closed_) return;
    if (mask == CURL_CSELECT_IN) {
        auto found = watched_.find(fd);
        if (found == watched_.end() ||
            !(found->second.wanted == CURL_POLL_IN || found->second.wanted == CURL_POLL_INOUT)) {
            // A connection idling in the cache (closed by its server), or a paused transfer's
            // data nobody asked for yet. A paused reader is usually back within this round of
            // the loop, so the first firing is let be; at the second the reader goes until
            // libcurl wants it again (the loop would otherwise report it in every round).
            if (found != watched_.end()) {
                if (found->second.connection && drop_if_dead(fd)) return;
                if (++found->second.unwanted_firings < 2) return;
                found->second.reading = false;
            }
            quietly(remove_reader_, nb::int_(fd));
            return;
        }
        // Bytes for the transfer reading here: activity for its read time-out even when they
        // complete no header line (the header callback sees whole lines only).
        if (found->second.easy) {
            auto reader = active_.find(found->second.easy);
            if (reader != active_.end()) reader->second->last_activity_ = std::chrono::steady_clock::now();
        }
    }
    std::shared_ptr<LoopDriver> keep = shared_from_this();  // a callback may drop the session
    int running = 0;
    in_curl([&] {
        return libcurl::curl_multi_socket_action(multi_.get(), static_cast<curl_socket_t>(fd), mask, &running);
    });
}

bool LoopDriver::drop_if_dead(int fd) {
    // Closed by its server (CLOSE_WAIT), or at its end where TCP cannot say: nothing more will
    // come, so no request can be sent on it either.
    bool at_end = false;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0) {
        at_end = info.tcpi_state == TCP_CLOSE_WAIT || info.tcpi_state == TCP_CLOSE;
    } else {
        char byte = 0;
        at_end = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }
    if (!at_end) return false;
    // A paused stream on it reads the end itself. (Only a paused transfer has a socket libcurl
    // does not watch; the socket a transfer still waiting for a connection reports may be the
    // last one its reused handle had, idle in the cache now.)
    for (auto& [easy, transfer] : active_) {
        if (!transfer->paused_) continue;
        curl_socket_t used = CURL_SOCKET_BAD;
        if (libcurl::curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &used) == CURLE_OK &&
            static_cast<int>(used) == fd) {
            return false;
        }
    }
    // An idle connection in libcurl's cache. libcurl has no call to drop one cached connection:
    // shut down, it leaves CLOSE_WAIT now (its server is told), and libcurl, finding it at its
    // end when it next looks at the cache (a reuse or a new connection), closes its descriptor.
    ::shutdown(fd, SHUT_RDWR);
    auto found = watched_.find(fd);
    if (found != watched_.end() && found->second.reading) {
        quietly(remove_reader_, nb::int_(fd));
        found->second.reading = false;
    }
    return true;
}

void LoopDriver::flush() {
    if (!in_curl_) settle();
}

void LoopDriver::settle() noexcept {
    guard([&] { settle_due(); });
    in_curl_ = false;
}

void LoopDriver::drain_completions() {
    int left = 0;
    while (CURLMsg* message = libcurl::curl_multi_info_read(multi_.get(), &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        auto found = active_.find(message->easy_handle);
        if (found == active_.end()) continue;
        AsyncTransfer* transfer = found->second;
        CURLcode result = message->data.result;
        std::shared_ptr<AsyncTransfer> keep = transfer->shared_from_this();
        guard([&] { transfer->on_finished(result); });
    }
}

void LoopDriver::settle_due() {
    in_curl_ = true;      // curl calls below must not settle recursively
    drain_completions();  // first: they decide what the waiters get
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
        drain_completions();
    }
    in_curl_ = false;
}

void LoopDriver::shutdown() {
    if (closed_) return;
    closed_ = true;
    if (forked()) {
        let_go_inherited();
        return;
    }
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
    while (!watched_.empty()) unregister(watched_.begin()->first);
    waiting_.clear();
    spare_easies_.clear();
    cancel_handle(soon_);
    cancel_handle(timer_);
    cancel_handle(idle_timer_);
    // Closes the cached connections; its socket callbacks find nothing watched any more.
    libcurl::curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETFUNCTION, nullptr);
    libcurl::curl_multi_setopt(multi_.get(), CURLMOPT_TIMERFUNCTION, nullptr);
    multi_.reset();
    in_curl_ = false;
}

void LoopDriver::let_go_inherited() {
    // A fork child's copy: the connections, the epoll set and the loop's registrations are the
    // parent's too. Nothing is removed from the loop and libcurl closes nothing (it could write
    // on a shared socket): the handles are let go of, the Python objects dropped.
    for (auto& [easy, transfer] : active_) {
        transfer->attached_ = false;
        transfer->done_ = true;
        if (!transfer->failure_) transfer->failure_ = Failure{ErrorKind::SessionClosed, "Session is closed"};
    }
    active_.clear();
    auto held = std::move(held_);
    held_.clear();
    held.clear();
    woken_.clear();
    retired_.clear();
    watched_.clear();
    waiting_.clear();
    spare_easies_.clear();  // out of the multi handle: their cleanup touches no connection
    soon_.reset();
    timer_.reset();
    idle_timer_.reset();
    (void)multi_.release();  // NOLINT(bugprone-unused-return-value): left to the parent
}

// ---------------------------------------------------------------------------------------------
// AsyncTransfer

AsyncTransfer::AsyncTransfer(std::shared_ptr<LoopDriver> driver, RequestPlan plan)
    : ExchangeCore(std::move(plan)), driver_(std::move(driver)) {
    // Whole answers reuse the handles of finished ones (streams are long: a new handle costs
    // them little, and they read with a buffer of their own size).
    if (!plan_.stream) easy_ = driver_->spare_easy();
    if (!easy_) easy_.reset(libcurl::curl_easy_init());
    if (!easy_) throw std::bad_alloc();
    libcurl::curl_easy_setopt(easy_.get(), CURLOPT_PRIVATE, this);
}

AsyncTransfer::~AsyncTransfer() {
    if (driver_->forked()) {
        // Its connection may be the parent's: libcurl must not close it (see OWNERSHIP).
        (void)easy_.release();  // NOLINT(bugprone-unused-return-value)
        return;
    }
    LoopDriver::guard([&] {
        detach();
        if (!plan_.stream) driver_->keep_spare(std::move(easy_));
    });
}

void AsyncTransfer::configure_shared() {
    configure(easy_.get());
    // Over TLS (where HTTP/2 is offered), transfers that start together wait for the first
    // connection to a host to tell whether it multiplexes instead of each opening its own. Plain
    // HTTP is HTTP/1.1 here: waiting would only serialise the connections' set-up.
    const bool tls = plan_.url.size() > 8 && strncasecmp(plan_.url.c_str(), "https://", 8) == 0;
    libcurl::curl_easy_setopt(easy_.get(), CURLOPT_PIPEWAIT, tls ? 1L : 0L);
    libcurl::curl_easy_setopt(easy_.get(), CURLOPT_PRIVATE, this);
    // A stream's lines come a few hundred bytes at a time: a small read buffer (libcurl's is
    // 16 KiB, held per transfer) keeps an open stream small. With kStreamPauseAt, measured at
    // 1,000 streams that arrive at once: about 30 KiB per open stream, for 10% more CPU per
    // chunk than reading 16 KiB at a time with no early pause (44 KiB per open stream).
    if (plan_.stream) libcurl::curl_easy_setopt(easy_.get(), CURLOPT_BUFFERSIZE, kStreamReadBuffer);
    // Connection sockets are known to the driver from their opening to their closing (see
    // OWNERSHIP in loop.hpp). A connection keeps these from the transfer that opened it.
    libcurl::curl_easy_setopt(easy_.get(), CURLOPT_SOCKOPTFUNCTION, &LoopDriver::on_sockopt);
    libcurl::curl_easy_setopt(easy_.get(), CURLOPT_SOCKOPTDATA, driver_.get());
    libcurl::curl_easy_setopt(easy_.get(), CURLOPT_CLOSESOCKETFUNCTION, &LoopDriver::on_close_socket);
    libcurl::curl_easy_setopt(easy_.get(), CURLOPT_CLOSESOCKETDATA, driver_.get());
    // To tell a descriptor limit reached from a refused connection.
    libcurl::curl_easy_setopt(easy_.get(), CURLOPT_OPENSOCKETFUNCTION, &AsyncTransfer::on_open_socket);
    libcurl::curl_easy_setopt(easy_.get(), CURLOPT_OPENSOCKETDATA, this);
}

curl_socket_t AsyncTransfer::on_open_socket(void* self, curlsocktype, struct curl_sockaddr* address) {
    const int fd = ::socket(address->family, address->socktype, address->protocol);
    static_cast<AsyncTransfer*>(self)->open_errno_ = fd < 0 ? errno : 0;
    return fd < 0 ? CURL_SOCKET_BAD : static_cast<curl_socket_t>(fd);
}

bool AsyncTransfer::start(Failure& failure) {
    configure_shared();
    pausable_ = plan_.stream;
    // An open stream holds little unread: beyond it the bytes wait in the socket, not here.
    if (plan_.stream) pause_at_ = kStreamPauseAt;
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
    return true;
}

void AsyncTransfer::detach() {
    if (attached_) {
        attached_ = false;
        driver_->remove(*this);
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
    // A cancelled waiter (its task cancelled, asyncio.timeout, wait_for) aborts the transfer.
    driver_->watch(waiter_, shared_from_this());
    if (plan_.read_timeout_ms > 0) {
        // As in the blocking exchange, the idle clock counts from the moment the wait begins.
        last_activity_ = Clock::now();
        driver_->check_idle_by(last_activity_ + std::chrono::milliseconds(plan_.read_timeout_ms));
    }
    if (paused_) {
        paused_ = false;
        CURLcode resumed = driver_->in_curl([&] { return libcurl::curl_easy_pause(easy_.get(), CURLPAUSE_CONT); });
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

bool AsyncTransfer::linger(std::chrono::milliseconds bound, nb::object ended) {
    if (done_ || !attached_ || waiter_.is_valid() || lingering_) return false;
    lingering_ = true;
    linger_ended_ = std::move(ended);
    linger_until_ = Clock::now() + bound;
    received_.clear();  // nothing after the last line is handed out
    pump_base_ = 0;
    driver_->hold(shared_from_this());
    // Paused with unread bytes: the end may be right behind them. Should more than a little follow
    // instead, the transfer pauses again and the deadline ends it.
    if (paused_) {
        paused_ = false;
        CURLcode resumed = driver_->in_curl([&] { return libcurl::curl_easy_pause(easy_.get(), CURLPAUSE_CONT); });
        if (resumed != CURLE_OK) fail(failure_of(resumed));
    }
    if (lingering_) driver_->check_idle_by(linger_until_);
    return true;
}

void AsyncTransfer::on_finished(CURLcode result) {
    if (result == CURLE_COULDNT_CONNECT && (open_errno_ == EMFILE || open_errno_ == ENFILE)) {
        // Not a refused connection: repeating at once fails alike (the error carries errno).
        fail({ErrorKind::Connection,
              std::string(open_errno_ == EMFILE ? "Too many open files: the process's descriptor limit (RLIMIT_NOFILE)"
                                                : "Too many open files in system: the system's descriptor limit") +
                  " is reached, no connection can be opened to " + url() +
                  " (lower the session's max_connections, or raise the limit)"});
        return;
    }
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
    end_lingering();
}

void AsyncTransfer::fail(Failure failure) {
    if (!failure_) failure_ = std::move(failure);
    done_ = true;
    detach();  // an unfinished transfer's connection is closed
    if (waiter_.is_valid()) driver_->wake(*this);
    end_lingering();
}

void AsyncTransfer::end_lingering() {
    if (!lingering_) return;
    lingering_ = false;
    std::shared_ptr<AsyncTransfer> keep = shared_from_this();  // let_go may drop the last owner
    settle_linger_ended();
    driver_->let_go(this);
}

void AsyncTransfer::settle_linger_ended() {
    nb::object ended = std::move(linger_ended_);
    if (!ended.is_valid()) return;
    LoopDriver::guard([&] {
        if (future_pending(ended)) ended.attr("set_result")(nb::none());
    });
}

void AsyncTransfer::abort() { abort({ErrorKind::Request, "The response was closed before its body was read"}); }

void AsyncTransfer::abort(const Failure& why) {
    std::shared_ptr<AsyncTransfer> keep = shared_from_this();  // let_go may drop the last owner
    lingering_ = false;
    settle_linger_ended();
    detach();
    done_ = true;
    if (!failure_) failure_ = why;
    if (waiter_.is_valid()) {
        // Someone still awaits this transfer (a request, aread, a line): an error, not a
        // cancellation its task never asked for.
        nb::object waiter = take_waiter();
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

bool AsyncTransfer::release_upload() {
    // Finished and out of the multi handle: libcurl reads nothing more from it, and the loop's
    // thread no longer looks at this transfer.
    if (!done_ || attached_) return false;
    plan_.multipart.reset();
    return true;
}

nb::object AsyncTransfer::failure_exception() const {
    const Failure& f = *failure_;
    nb::object error = error_type(f.kind)(nb::str(f.message.c_str(), f.message.size()));
    if (f.kind == ErrorKind::Connection && (open_errno_ == EMFILE || open_errno_ == ENFILE)) {
        error.attr("errno") = open_errno_;  // an OSError: callers tell it from a refused connection by it
    }
    return error;
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
    nb::object future = take_waiter();
    Want want = want_;
    want_ = Want::None;
    if (!future_pending(future)) {
        // Cancelled in this round of the loop, before its watch saw it (the watch is gone now):
        // the transfer ends here as the watch would have ended it. Nobody is left to take the
        // answer, and a stream must not keep its connection with unread data.
        abort();
        return;
    }
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

std::optional<ExchangeCore::Clock::time_point> AsyncTransfer::idle_deadline(Clock::time_point now) const {
    if (lingering_) return done_ || !attached_ ? std::nullopt : std::optional(linger_until_);
    if (plan_.read_timeout_ms <= 0 || done_ || !attached_ || !waiter_.is_valid()) return std::nullopt;
    const auto limit = std::chrono::milliseconds(plan_.read_timeout_ms);
    // The connect phase has libcurl's own deadline: looked at again a whole limit later.
    if (!connected_) return now + limit;
    return last_activity_ + limit;
}

void AsyncTransfer::time_out(Clock::time_point now) {
    if (lingering_) {
        abort();  // the body's end did not follow: its connection is closed
        return;
    }
    char text[160];
    std::snprintf(text, sizeof text, "Operation timed out after %ld milliseconds with %zu bytes received",
                  milliseconds(now - started_), body_bytes_);
    fail({ErrorKind::ReadTimeout, text});
}

nb::object AsyncTransfer::take_waiter() {
    nb::object waiter = std::move(waiter_);
    if (waiter.is_valid()) driver_->unwatch(waiter);
    return waiter;
}

}  // namespace korvane::http
