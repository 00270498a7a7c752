// The lifecycle of one streamed call as a sans-I/O engine: the drivers (the blocking generator and
// the asyncio stream) feed it what happened and perform the step it answers with.
//
//   start()                      -> send     (the plan is made: url, headers, attempts)
//   answered(response)           -> pause    (a busy answer repeated: close it, wait pause(), then paused())
//                                -> read     (an error answer: read its body, then body_read(response))
//                                -> result   (the open response is the call's: read its lines)
//   send_failed(error)           -> raise    (a transport failure: neither repeated nor translated)
//   paused()                     -> send
//   body_read(response)          -> raise    (client._handle_error's error, with the request's context)
//   line(text)                   -> result   (a chunk: take_chunk(); or finished() at "[DONE]")
//                                -> read     (a line to pass over: read the next one)
//   ended()                      -> result   (the body's end: finished)
//   failed(error)                -> raise    (a failure while reading: the error gets the context)
//   closed()                                 (the caller let go before the end)
//
// A response that a replaced client._request_stream gave is adopt()ed: only the reading steps run
// then. Busy answers are repeated (when the client opts in) only before anything is delivered. With
// KORVANE_LOG=debug a line is logged at each answer (as whole calls log theirs) and one at the end
// with the chunks delivered and the time since the start.
//
// Owner rule: a StreamCall holds strong references to the client, the call's method, path, body,
// plan and a pending chunk or error; a driver owns the StreamCall (the generator's state, or the
// Python object of the asyncio driver) and drops it with the stream. It holds no response: the
// driver owns that and hands it in for each step that needs to look at it.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>
#include <string_view>

#include "api/client/attempts.hpp"
#include "api/engine/next_step.hpp"
#include "api/engine/telemetry.hpp"

namespace korvane::api::engine {

namespace nb = nanobind;

// What one line of a stream is to its reader.
enum class LineKind { chunk, skip, done };
// Reads one line (without its line end): a chunk into `chunk`, a line to pass over, or the end
// marker. `checked`: the text is known to be UTF-8 (else the reader checks what it uses). May throw.
using LineReader = LineKind (*)(std::string_view text, bool checked, nb::object& chunk);

// Sees each chunk delivered with the line it was read from (what puts a stream back together, say);
// may throw, which fails the stream as a failure to read would.
using ChunkObserver = void (*)(nb::handle observer, nb::handle chunk, std::string_view line);

class StreamCall {
public:
    StreamCall(nb::handle client, nb::handle method, nb::handle path, nb::handle json, LineReader reader);

    // Sending (the client's own _request_stream).
    Next start();
    Next answered(nb::handle response);
    Next paused();
    Next body_read(nb::handle response);
    Next send_failed(nb::handle error);
    // The keywords of client._session.request for the next attempt (timeout read now).
    nb::dict request_keywords() const;
    // Performs the attempt: client._session.request(**request_keywords()), through the client's
    // extras (hooks.hpp) when it has any. Gives the response, or for an asyncio client what to await.
    nb::object send();
    const nb::object& url() const { return url_; }
    const nb::object& headers() const { return headers_; }
    const nb::object& json() const { return json_; }
    const nb::object& method() const { return method_; }
    double pause() const { return pause_; }
    // The answer's X-Request-Id once it arrived (an invalid object before, or without one).
    const nb::object& request_id() const { return request_id_; }

    // Reading.
    void adopt(nb::handle response);
    Next line(std::string_view text, bool checked);
    Next ended();
    Next failed(nb::handle error);
    void closed();
    bool finished() const { return phase_ == Phase::finished; }
    // "[DONE]" was read: the body's end usually follows at once, so its connection may be kept.
    bool saw_done() const { return saw_done_; }
    long chunks() const { return chunks_; }

    // The references it holds, for the garbage collector of its owner.
    int traverse(visitproc visit, void* arg) const;
    void clear();

    nb::object take_chunk() { return std::move(chunk_); }
    // Shows each chunk to `observer` through `observe` from now on (held strongly until cleared).
    void observe(ChunkObserver observe, nb::object observer) {
        observe_ = observe;
        observer_ = std::move(observer);
    }
    nb::object take_error() { return std::move(error_); }

private:
    enum class Phase { created, sending, reading, finished };
    // The end's debug line, once: "POST url -> stream <how>, N chunks in X ms".
    void log_end(const char* how, nb::handle detail = nb::handle());
    void finish(const char* how, nb::handle detail = nb::handle());
    void note_request_id(nb::handle response);

    nb::object client_, method_, path_, json_;
    LineReader reader_;
    nb::object url_, headers_;
    nb::object extras_;      // the client's _call_extras, when it has any (hooks.hpp)
    nb::object request_id_;  // of the answer, when it named one
    nb::object chunk_, error_;
    ChunkObserver observe_ = nullptr;
    nb::object observer_;  // shown each chunk (see observe())
    Phase phase_ = Phase::created;
    long attempt_ = 0, attempts_ = 1;
    BusyRetry busy_;
    double pause_ = 0;
    long chunks_ = 0;
    bool saw_done_ = false;
    std::chrono::steady_clock::time_point started_, attempt_started_;
    CallSpan span_;  // the stream's OpenTelemetry span, when the application set a provider (ends with it)
};

// The UTF-8 text of a line that a Python reader gave (bytes decoded strictly, str as is), or an
// empty view for a falsy line to pass over; TypeError for another kind. The view lives as `line`.
std::string_view line_text(nb::handle line);
// Raises the interpreter's UnicodeDecodeError when `text` is not UTF-8.
void check_utf8(std::string_view text);

// Binds the engine's Python face for the asyncio driver (`_StreamCall`, made by a reader's factory).
void bind_stream_call(nb::module_& m);
// A Python StreamCall (as the asyncio driver holds it) owning `call`; and the call behind one
// (`object` must be one: checked by whoever took it from Python).
nb::object wrap(StreamCall call);
StreamCall* unwrap(nb::handle object);

}  // namespace korvane::api::engine
