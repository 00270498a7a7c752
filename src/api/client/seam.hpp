// The client's seam: what a subclass or a test may replace on KorvaneClient, and the one place that
// decides, once per call, whether the call runs on the C++ route or through the replaced methods.
//
// CONTRACT. The namespaces reach the client, and the client its session, through ordinary attribute
// lookup at each call, so any of these may be replaced on a subclass, on an instance, or with
// unittest.mock.patch.object; a replacement must take the keywords shown and give what is said:
//
//   client._request(method=, path=, params=, json=, files=, raw_response=)
//       -> the decoded answer (dict, list, ...), or its text when `raw_response` is true or the body is not
//          JSON. Raises the SDK's errors. The namespaces pass only the keywords a call uses.
//   client._request_stream(method=, path=, json=)
//       -> an open response: iter_lines() yields the body's lines (bytes or str), close() releases it.
//          An error answer raises (through _handle_error) before anything is returned.
//   client._handle_response(response, raw)  (called positionally)
//       -> what _request returns for one answer; a 4xx/5xx answer goes to _handle_error.
//   client._handle_error(response)
//       -> does not return: raises the SDK error that the answer's status maps to.
//   client._get_headers() -> a new dict of the call's headers (the request loop changes it).
//   client._get_base_url(path) -> the text that `path` is appended to.
//   client._session.request(method=, url=, params=, json=, files=, headers=, timeout=) and, for a stream,
//   (method=, url=, json=, headers=, timeout=, stream=True)
//       -> a response with status_code (int), headers (a mapping with get()), text, json(),
//          iter_lines() and close(). A transport failure raises the HTTP layer's Timeout,
//          HTTPConnectionError or RequestException (other exceptions pass through unchanged).
//   client._sleep(seconds), client._random() -> float in [0, 1)
//       optional: the pause before a busy answer is repeated (time.sleep, random.random otherwise).
//   Settings (timeout, max_retries, retry_on_busy, backoff_base, backoff_max, retry_after_max) are read
//   at each call, so a change applies to the next call.
//
// ROUTES. When a seam is still the client's own, the C++ code behind it is called directly, with the
// outcome the Python call would have: KorvaneClient's own _request and _request_stream are run without
// a Python call in between; a list answer of the HTTP layer's own Response (json() not replaced on its
// class) is read straight into records; a streamed answer's lines are split in C++ while iter_lines()
// is ours. Only a bound method of this very client counts as its own, never a look-alike.
// Anything replaced is called as a Python method, and everything after it in the chain goes the Python
// way too. The call engine (and request_stream below) decide this once per call.
//
// DRIVERS. A whole call (every operation but a stream) is one object of the call engine
// (api/engine/engine.hpp, whose contract says the events and steps): it looks these seams up once,
// plans (plan.hpp), applies the retry rule (attempts.hpp), maps statuses and reads answers, into
// records where they can go (handle_answer.hpp, answer_shape.hpp), and names the call on its errors
// (request_context.hpp). A driver only performs the steps it is given: the blocking driver
// (blocking.hpp) calls client._session.request with the GIL released while the HTTP layer waits, and
// sleeps between attempts; a stream's steps are the stream engine's (request_stream below).
//
// THE AWAITED DRIVER. korvane_sdk.aio.AsyncKorvane drives the same engine through an awaitable
// (api/engine/awaitable.hpp) that yields the futures of client._session.request (an AsyncSession)
// and of the pauses to the running task, with no Python frame per step; its operations, list_models,
// chat's create and its own _request are each that awaitable behind one coroutine of the public
// method. Its own methods are recorded apart (remember_own_methods(..., Driver::awaited)), so the
// engine tells them from replacements as for the blocking client; a replaced seam's answer is
// awaited when it is awaitable. Its seams are the ones above, awaited; the module's docstring
// states them. A stream is the stream engine's (api/engine/stream_call.hpp, a _StreamCall to
// Python): both drivers perform its steps, the awaited one in _aio.py's _send_stream and, for the
// lines, the native chunk iterator.
#pragma once
#include <nanobind/nanobind.h>

#include <string>

namespace korvane::http {
class Response;
}
namespace korvane::api::engine {
class StreamCall;
}

namespace korvane::api {

namespace nb = nanobind;

// One call of the client's `_request`. Only the keywords set here are passed, so each operation
// sends exactly the keywords its contract lists.
struct Call {
    const char* method;
    nb::str path;
    nb::object params{};  // unset: not passed
    nb::object json{};    // unset: not passed
    nb::object files{};   // unset: not passed
    bool raw_response = false;

    // "GET /api/v1/tenants": how errors about the answer name the call.
    std::string describe() const;

    // The keywords of `_request` (or `_request_stream`) for this call, in the order of the contract:
    // method, path, then params, json and files when set, and raw_response=True only when true.
    nb::dict keywords() const;
};

// client._request_stream(method=, path=, json=) for a streamed call (only those keywords are passed):
// on the C++ route when it is the client's own, where `engine` (made for this call, not started)
// decides each step of the sending; a replaced seam's response is adopted by it for the reading.
// The stream's reader then asks own_lines() below.
nb::object request_stream(nb::handle client, const Call& call, engine::StreamCall& engine);

// Whether `bound` (an attribute just looked up on `client`) is the client class's own `name` method,
// bound to `client`. Also for the seams the request loop meets after the call has started
// (_handle_response, looked up when the answer is there, as the Python method would look it up).
// `driver` says whose own methods count: the blocking client's or the awaited client's.
enum class OwnMethod { request, request_stream, handle_response };
enum class Driver : unsigned char { blocking, awaited };
bool is_own(nb::handle bound, nb::handle client, OwnMethod which, Driver driver = Driver::blocking);

// The HTTP layer's own Response behind `response` when it is exactly one and the method a reader would
// call (iter_lines() for lines, json() for a whole body) is still its class's own, so C++ may read it
// with the outcome of calling that method; else nullptr (the reader then calls the method).
http::Response* own_lines(nb::handle response);
http::Response* own_json(nb::handle response);

// Records the client class's own methods (the blocking or the awaited client's), to tell them from
// replacements; called once when the class is made (the references are kept for the process, as the
// class is).
void remember_own_methods(nb::handle client_class, Driver driver = Driver::blocking);

}  // namespace korvane::api
