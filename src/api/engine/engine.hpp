// The call engine: one sans-I/O object per whole call (every operation but a stream), which owns
// every rule of the call and answers each event with the next step its driver performs.
//
// CONTRACT.
//   Events (fed by a driver):      start(), answered(value), failed(exception), paused().
//   Steps (next_step.hpp, answered): send   -> call send() now; feed answered(what it gave) or, when
//                                             it raised, failed(the exception). The awaited driver
//                                             awaits what send() gave first when it is awaitable.
//                                    pause  -> release busy_answer() (close(); the awaited driver
//                                             awaits aclose() when it has one), wait pause_seconds()
//                                             (client._sleep when set, else time.sleep / asyncio.sleep,
//                                             awaited when awaitable), then feed paused().
//                                    read   -> the awaited driver only: await awaiting() (a replaced
//                                             seam's awaitable answer); feed answered(its value) or
//                                             failed(what it raised).
//                                    result -> take_result(): the call is over.
//                                    raise  -> raise_error(): the call is over; the error has its
//                                             context (method, URL, note) already.
//   An engine method that raises (a failing attribute lookup, a setting of the wrong type) ends the
//   call with that exception; the driver lets it through.
//
//   What a call does: it looks the seams up once (seam.hpp CONTRACT): with the client's own _request
//   it plans (URL, headers), sends through client._session.request, repeats transport failures at
//   once and busy answers after a pause (attempts.hpp), logs each attempt (sent through the client's
//   hooks, default headers and query and rotating key when it has any: hooks.hpp), hands the answer to
//   _handle_response (its own C++ code when not replaced; a list answer straight into records when
//   every seam on the way is ours), then reads the answer into the operation's result (finish), an
//   unexpected answer named as the call's. A record the call returns carries the X-Request-Id of the
//   answer it was read from as its `_request_id` (records.hpp: note_request_id), for both drivers;
//   a list or dict cannot, and a replaced _request's result has no answer here. With a replaced
//   _request, send() calls it instead and its answer goes to finish. Entered as _request itself
//   (request_entry) there is no finish step.
//
// OWNER RULES. A WholeCall holds strong references to the client, the call's arguments, the answer
// in hand, the awaitable being awaited and the result or error; it is owned by its driver (on the
// blocking driver's stack, or by the awaitable of the awaited driver) and dropped with it. A value
// handed out (send(), busy_answer(), awaiting()) is a new reference the driver owns. The finish
// function is the operation's; it may hold references of its own, dropped with the engine. An
// upload's file given to the engine is closed once the request is over (quietly after a failure),
// or when the engine is dropped unfinished.
//
// DRIVERS. blocking::drive() (api/client/blocking.hpp) on the calling thread; the awaitable made by
// awaited::make_awaitable() (awaited.hpp), which yields the futures of an AsyncSession to the
// running task, with no Python frame per step.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>
#include <functional>
#include <optional>

#include "api/client/attempts.hpp"
#include "api/client/seam.hpp"
#include "api/engine/next_step.hpp"
#include "api/engine/telemetry.hpp"

namespace korvane::records {
class JsonRecords;
}

namespace korvane::api::engine {

namespace nb = nanobind;

// The operation's result from the decoded answer (no finish: the answer is the result).
using Finish = std::function<nb::object(nb::handle answer)>;

class WholeCall {
public:
    // An operation (a namespace method, list_models, chat's create): `call` through client._request,
    // then `finish`. `records` (kept by the caller for the process), when set, reads a list answer
    // straight into records; `finish` is then skipped for what it read.
    WholeCall(nb::handle client, Driver driver, Call call, Finish finish, const records::JsonRecords* records = nullptr,
              nb::object file = {});

    // client._request(method, path, params, json, files, raw_response) itself: its arguments as
    // bound (None where not given), no seam lookup of _request, no finish.
    static WholeCall request_entry(nb::handle client, Driver driver, nb::handle method, nb::handle path,
                                   nb::handle params, nb::handle json, nb::handle files, nb::handle raw_response);

    WholeCall(WholeCall&&) = default;
    WholeCall& operator=(WholeCall&&) = delete;
    WholeCall(const WholeCall&) = delete;
    ~WholeCall();

    Next start();
    Next answered(nb::handle value);
    Next failed(nb::python_error& failure);
    Next paused();

    nb::object send();
    nb::object busy_answer() { return std::move(busy_answer_); }
    double pause_seconds() const { return pause_; }
    nb::object awaiting() { return std::move(awaiting_); }
    nb::handle client() const { return client_; }
    Driver driver() const { return driver_; }
    nb::object take_result() { return std::move(result_); }
    [[noreturn]] void raise_error();

    // The references held, for the garbage collector of an owner that is a Python object.
    int traverse(visitproc visit, void* arg) const;
    // Lets go of what the call holds (an upload's file is closed quietly): the call is abandoned.
    void abandon() noexcept;

private:
    enum class Phase : unsigned char {
        planned,            // not started
        seam_request,       // a replaced _request was called
        seam_request_read,  // ... and its awaitable answer is awaited
        attempt,            // an attempt was sent through the session
        pausing,            // a busy answer is being waited out
        seam_handler_read,  // a replaced _handle_response's awaitable answer is awaited
        over,
    };

    WholeCall(nb::handle client, Driver driver);
    nb::object send_with_extras();  // an attempt through the client's extras (hooks.hpp)
    Next attempt_answered(nb::handle response);
    Next handled(nb::handle answer);  // _request's answer: into the operation's result
    Next finish_with(nb::handle answer);
    Next give(nb::object result);
    Next fail(nb::python_error& failure);
    Next fail_with(nb::handle error);
    void close_file(bool quietly);

    nb::object client_;
    Driver driver_;
    Phase phase_ = Phase::planned;
    bool entry_request_ = false;  // entered as _request itself: no seam lookup, no finish
    bool own_request_ = true;
    // The call as the operation describes it, and _request's arguments (None when not given).
    Call call_;
    nb::object method_, path_, params_, json_, files_, raw_;
    Finish finish_;
    const records::JsonRecords* records_ = nullptr;
    nb::object file_;
    // The seam that was looked up (a replaced _request), then the plan and the retry rule.
    nb::object request_;
    nb::object url_, headers_, timeout_;
    nb::object extras_;  // the client's _call_extras, when it has any (hooks.hpp)
    long attempt_ = 0, attempts_ = 1;
    BusyRetry busy_{};
    nb::handle logger_;  // the request log's logger while this attempt is logged (kept by request_log)
    std::chrono::steady_clock::time_point started_{};
    nb::object last_error_;  // the SDK error of the last failed attempt
    nb::object answer_;      // the attempt's answer the result is read from: a record result carries its request id
    nb::object busy_answer_, awaiting_, result_;
    std::optional<nb::python_error> error_;
    double pause_ = 0.0;
    CallSpan span_;  // the call's OpenTelemetry span, when the application set a provider
};

// Binds _core._CallEngine: the engine fed by hand, for tests of its rules.
void bind_engine(nb::module_& m);

}  // namespace korvane::api::engine
