// The event-loop driver, entry header of http/aio/: one libcurl multi handle per AsyncSession,
// moved on by the running asyncio loop (its reader/writer callbacks for sockets, call_later for
// libcurl's timer), and the transfers it carries. Everything here runs on the loop's thread with
// the GIL held.
//
// OWNERSHIP
//   LoopDriver   owned by the AsyncSession (shared_ptr) and by every AsyncTransfer made on it, so
//                the multi handle outlives each easy handle in it. It holds the loop, its bound
//                methods, the two readiness callbacks and the timer handle: strong references,
//                dropped by shutdown() (session close or dealloc) or its destructor.
//   AsyncTransfer  owned by the driver while nobody else can hold it (from start() until the
//                request's future is resolved: `waiting_`), then by the AsyncResponse alone. The
//                driver's `active_` map is not owning: a transfer removes itself from it when it
//                leaves the multi handle (finish, failure, abort, destruction).
//   Easy handles each AsyncTransfer owns its own; a whole-answer transfer gives it back to the
//                driver's `spare_easies_` (owned, reset) when it is destroyed.
//   Futures      a transfer holds its one waiter future (strong) until it resolves it or aborts;
//                the driver's `waiting_` maps each such future (not owning: the transfer's
//                reference keeps it alive) to its transfer (weak) for the one done-callback that
//                notices cancellations, removed from the future before it is resolved.
//   Sockets      `watched_` is what the loop has registered per descriptor. The reader of a
//                connection's socket (one libcurl opened through on_sockopt) stays registered
//                while the connection waits in libcurl's cache: the next transfer on it then
//                costs the loop nothing. It is removed when it fires unwanted and always before
//                libcurl closes the socket (on_close_socket), so a reused descriptor number
//                never meets a stale registration.
//   Connections  at most `max_connections` open at once (libcurl queues the transfers beyond it) and
//                as many idle in libcurl's cache. An idle connection its server closed is shut
//                down at once (no CLOSE_WAIT left); libcurl closes its descriptor when it next
//                looks at the cache.
//   Processes    a driver used in a process other than the one that made it (a fork child) never
//                touches the loop's registrations (the epoll set is shared with the parent) nor
//                lets libcurl close a connection (it may write on the shared socket): its handles
//                are let go of, never cleaned up.
//   Threads      every entry point that moves a transfer checks it runs on the loop's thread; a
//                response released on another thread hands its transfer to the loop to retire.
//   Re-entry     libcurl calls back into the driver only inside socket_action()/pause calls
//                (`in_curl_`); a transfer released by Python code running then (the garbage
//                collector inside loop.add_reader) is parked in `retired_` and aborted afterwards,
//                never freed while libcurl may still call it.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "http/curl_handles.hpp"
#include "http/exchange_core.hpp"

namespace korvane::http {

namespace nb = nanobind;

class LoopDriver;

class AsyncTransfer : public ExchangeCore, public std::enable_shared_from_this<AsyncTransfer> {
public:
    // What the waiter's future waits for, and what it is resolved with.
    enum class Want {
        None,
        Headers,  // the final headers: resolved with a new AsyncResponse on this transfer
        Whole,    // the whole answer: resolved the same way
        Data,     // more body bytes, the end or a failure: resolved with None
        End,      // the whole body: resolved with it as bytes
    };

    AsyncTransfer(std::shared_ptr<LoopDriver> driver, RequestPlan plan);
    ~AsyncTransfer() override;

    // Adds the request to the driver's multi handle; false with `failure` set when it cannot.
    bool start(Failure& failure);
    // Whether `want` holds now (a failure holds every want).
    bool satisfied(Want want) const;
    // Makes `future` the waiter for `want`; resolved from the loop's callbacks. A cancelled
    // future aborts the transfer.
    void wait(Want want, nb::object future);
    // Ends the transfer now: out of the multi handle, its connection closed; a waiter gets the
    // exception of `why` (by default: closed before its body was read).
    void abort();
    void abort(const Failure& why);
    // The whole body as bytes once the transfer ended (kept: later calls return the same object).
    nb::object body_bytes();
    bool has_body() const { return body_.is_valid(); }
    // The failure as a Python exception instance.
    nb::object failure_exception() const;
    const std::optional<Failure>& failure() const { return failure_; }
    std::string url() const { return effective_url(easy_.get()); }
    bool stream() const { return plan_.stream; }
    LoopDriver& driver() { return *driver_; }
    CURL* easy() const { return easy_.get(); }
    // Lets go of the upload's files and buffers once nothing is sent any more (true then).
    bool release_upload();
    // For a stream whose reader took its last line ("[DONE]") and lets go of it: the body's end is
    // still taken if it arrives within `bound` (the driver holds the transfer meanwhile), so the
    // connection goes back to the pool; past `bound` the transfer is aborted (its connection
    // closed). Nothing that arrives is handed out. `ended` (a future) is resolved with None when the
    // transfer ends either way. False when there is nothing to wait for (finished, failed, waited on).
    bool linger(std::chrono::milliseconds bound, nb::object ended);
    bool lingering() const { return lingering_; }

    // Called by the driver.
    void on_finished(CURLcode result);
    void resolve();  // the waiter, when its want holds
    // When the read time-out of the current wait runs out (nullopt: not waiting, or no limit).
    std::optional<Clock::time_point> idle_deadline(Clock::time_point now) const;
    // Fails the transfer with the read time-out's error.
    void time_out(Clock::time_point now);

private:
    friend class LoopDriver;
    friend class AsyncResponse;
    void progressed() override;
    void detach();
    void end_lingering();  // the driver lets go of a lingering transfer that ended
    void settle_linger_ended();
    void configure_shared();  // the plan's options, and this driver's own
    void fail(Failure failure);
    // The waiter future, taken out of the driver's watch for cancellations.
    nb::object take_waiter();

    static curl_socket_t on_open_socket(void* self, curlsocktype purpose, struct curl_sockaddr* address);

    static constexpr long kStreamReadBuffer = 3072;
    static constexpr size_t kStreamPauseAt = 4096;  // unread bytes of a stream that pause it

    std::shared_ptr<LoopDriver> driver_;
    EasyHandle easy_;
    bool attached_ = false;
    bool queued_ = false;  // in the driver's wake list
    Want want_ = Want::None;
    nb::object waiter_;   // the future to resolve (owned; see OWNERSHIP)
    nb::object body_;     // the body as bytes, once taken whole
    int open_errno_ = 0;  // errno of the last socket() that failed for this transfer
    bool lingering_ = false;
    Clock::time_point linger_until_{};
    nb::object linger_ended_;  // the future linger() resolves at the end (owned until then)
};

class LoopDriver : public std::enable_shared_from_this<LoopDriver> {
public:
    // Binds to the running loop of this thread. Needs libcurl initialised.
    static std::shared_ptr<LoopDriver> create(nb::handle loop, long max_connections);
    ~LoopDriver();

    // The running loop is this driver's (else RuntimeError naming the reason); `running` is the
    // running loop when the caller has it.
    void check_loop() const;
    void check_loop(nb::handle running) const;
    // This is the loop's thread (else RuntimeError naming `what`).
    void check_thread(const char* what) const;
    bool on_loop_thread() const { return std::this_thread::get_id() == thread_; }
    // Made in another process than this one (a fork child inherited it).
    bool forked() const;
    // The cap of open connections (and of idle ones kept); applies to transfers started later.
    void set_max_connections(long cap);
    nb::handle loop() const { return loop_; }
    nb::object create_future() const;
    CURLM* multi() const { return multi_.get(); }
    bool closed() const { return closed_; }

    bool add(AsyncTransfer& transfer);
    void remove(AsyncTransfer& transfer);
    // A transfer that must stay alive until it resolves its request (see OWNERSHIP).
    void hold(std::shared_ptr<AsyncTransfer> transfer);
    void let_go(AsyncTransfer* transfer);
    // Called by an owner letting go of a transfer: aborted now, or after libcurl returns. From
    // another thread it is handed to the loop (aborted here when the loop takes nothing).
    void retire(std::shared_ptr<AsyncTransfer> transfer);
    void wake(AsyncTransfer& transfer);
    // Runs `fn` as libcurl's caller: callbacks from inside it are known to be re-entrant.
    template <typename Fn>
    auto in_curl(Fn&& fn) {
        const bool outer = in_curl_;
        in_curl_ = true;
        auto result = fn();  // a libcurl call: never throws
        in_curl_ = outer;
        if (!outer) settle();
        return result;
    }
    // Resolves what is due unless libcurl is the caller (it then happens when libcurl returns).
    void flush();
    nb::object call_later(double seconds, nb::handle callback, nb::handle argument);
    // Watches `future`, the waiter of `transfer`, for a cancellation (which aborts the transfer);
    // unwatch() before the future is resolved or dropped.
    void watch(nb::handle future, const std::shared_ptr<AsyncTransfer>& transfer);
    void unwatch(nb::handle future);
    // An easy handle of a finished whole-answer transfer, reset (empty when there is none); and
    // such a handle given back (out of the multi handle).
    EasyHandle spare_easy();
    void keep_spare(EasyHandle easy);
    // Makes sure the read time-outs are looked at by `deadline`.
    void check_idle_by(std::chrono::steady_clock::time_point deadline);

    // Runs `fn`; a failure (of one transfer's callback, say) is reported as unraisable, never
    // thrown into libcurl, the loop or a destructor.
    template <typename Fn>
    static void guard(Fn&& fn) noexcept;

    // Aborts every transfer, removes every reader and writer and the timer; later requests are
    // refused with SessionClosedError.
    void shutdown();

private:
    friend class AsyncTransfer;  // hands on_sockopt and on_close_socket to its easy handle
    LoopDriver() = default;
    static int on_socket(CURL* easy, curl_socket_t socket, int what, void* self, void* socket_data);
    static int on_timer(CURLM* multi, long timeout_ms, void* self);
    static int on_sockopt(void* self, curl_socket_t socket, curlsocktype purpose);
    static int on_close_socket(void* self, curl_socket_t socket);
    void socket_ready(int fd, int mask);
    void timer_due();         // libcurl's timer fired (maybe early: it is then asked for the next one)
    void check_idle();        // the read time-outs of every transfer
    void unregister(int fd);  // the loop forgets the descriptor's reader and writer
    // The reader of `fd` fired while libcurl did not want it: an idle connection at its end is
    // shut down (see OWNERSHIP); true when it was.
    bool drop_if_dead(int fd);
    void let_go_inherited();  // shutdown() in a fork child
    void settle() noexcept;   // after libcurl returned: completions, wakes, retired transfers
    void settle_due();
    void drain_completions();  // libcurl's finished transfers, each told its result

    MultiHandle multi_;
    nb::object loop_;
    nb::object add_reader_, add_writer_, remove_reader_, remove_writer_, call_later_, create_future_;
    nb::object call_soon_, call_soon_threadsafe_, remove_done_callback_, add_done_callback_;
    // Callbacks handed to the loop (each holds the driver weakly).
    nb::object read_ready_, write_ready_, soon_fired_, timer_fired_, idle_fired_, cancelled_;
    // libcurl's timer: a "now" runs as one call_soon however often it is asked for; a later
    // deadline is one TimerHandle, kept when it fires no later than asked (an early firing asks
    // libcurl for its next deadline). Invalid when none is pending.
    nb::object soon_, timer_;
    std::chrono::steady_clock::time_point timer_at_;
    // The read time-outs: one TimerHandle for all transfers, at the earliest deadline.
    nb::object idle_timer_;
    std::chrono::steady_clock::time_point idle_at_;
    std::thread::id thread_;
    unsigned fork_generation_ = 0;  // the process's fork count when made (see forked())
    struct Watch {
        int wanted = 0;            // the CURL_POLL_* libcurl asked for last (0: nothing)
        bool reading = false;      // a reader is registered with the loop
        bool writing = false;      // a writer is registered
        bool connection = false;   // a connection socket: its reader may stay (see OWNERSHIP)
        int unwanted_firings = 0;  // the reader fired while libcurl did not want it (in a row)
        CURL* easy = nullptr;      // the transfer libcurl last named for it (see socket_ready)
    };
    std::unordered_map<int, Watch> watched_;
    std::unordered_map<PyObject*, std::weak_ptr<AsyncTransfer>> waiting_;  // see OWNERSHIP
    // Easy handles kept for the next whole answers: as many as were in use at once, up to a
    // bound (each holds libcurl's 16 KiB read buffer).
    static constexpr size_t kMaxSpareEasies = 1024;
    std::vector<EasyHandle> spare_easies_;
    std::unordered_map<CURL*, AsyncTransfer*> active_;                         // in the multi handle (not owning)
    std::unordered_map<AsyncTransfer*, std::shared_ptr<AsyncTransfer>> held_;  // see hold()
    std::vector<std::shared_ptr<AsyncTransfer>> woken_;
    std::vector<std::shared_ptr<AsyncTransfer>> retired_;
    bool in_curl_ = false;
    bool closed_ = false;
};

template <typename Fn>
inline void LoopDriver::guard(Fn&& fn) noexcept {
    // A failure of one transfer's callback is reported, never thrown into libcurl or the loop.
    try {
        fn();
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("korvane_sdk.http.AsyncSession");
    } catch (...) {
        PyErr_Clear();
    }
}

// Whether `future` is not done yet (raises what its done() raised).
bool future_pending(nb::handle future);

// The running event loop of this thread, or None.
nb::object running_loop_or_none();

// A new AsyncResponse owning `transfer` (the binding's side, async_session.cpp).
nb::object make_async_response(std::shared_ptr<AsyncTransfer> transfer);

// What a converter made of one line: a value to yield, a line to pass over, or the end.
enum class LineStep { Value, Skip, End };
// What a converting line iterator (aiter_converted) does with each line and with its end; each gets
// the `context` the iterator was made with (the iterator holds it strongly until it is freed).
struct LineHooks {
    // The value of one line of `response` (setting `step` for a line to pass over or the end); may
    // throw.
    nb::object (*convert)(nb::handle context, std::string_view line, LineStep& step, nb::handle response);
    void (*ended)(nb::handle context);                     // the body ended with no End step
    void (*failed)(nb::handle context, nb::handle error);  // `error` ends the iteration (it may add to it)
    void (*closed)(nb::handle context);                    // closed or cancelled before its end
};
// An async iterator over the lines of `response` (an AsyncResponse) yielding hooks.convert(line)
// for each. At an End step the body's end is still taken if it follows at once (the connection
// then goes back to the pool: AsyncResponse::finish_after_end); at the body's end, on a failure and
// on a cancellation it closes the response. Stepping it while a step waits raises RuntimeError, as
// an async generator does. `hooks` is kept for the process by its owner.
nb::object aiter_converted(nb::handle response, const LineHooks& hooks, nb::handle context);

void bind_loop(nb::module_& m);

}  // namespace korvane::http
