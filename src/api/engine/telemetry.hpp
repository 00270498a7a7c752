// A call's OpenTelemetry span, made by korvane_sdk._otel when the application set a provider, and
// nothing at all (no import, no Python call) when it did not.
//
// The call engines (engine.hpp, stream_call.hpp) hold one CallSpan each and tell it, in one line at
// the point where it happens, what the call did: begin() once the plan is made (it puts the span's
// trace context into the plan's headers, sent with every attempt), status() of each answer, retry()
// before an attempt is repeated, chunk() for each chunk of a stream, then exactly one end: ok(),
// failed(), stream_end() or abandon(). Telemetry never changes a call's outcome: a failure in it is
// reported as unraisable and the span is let go.
//
// OWNER RULE. A CallSpan holds one strong reference, to the Python CallTelemetry of its call (which
// holds the span, never the client, a response or a chunk); its engine owns it and drops it with the
// call. It ends the span when dropped or abandoned before an end was told, so an engine dropped
// unfinished (a cancelled task, a stream let go without close()) leaks no open span.
#pragma once
#include <nanobind/nanobind.h>

namespace korvane::api::engine {

namespace nb = nanobind;

class CallSpan {
public:
    CallSpan() = default;
    CallSpan(CallSpan&&) noexcept = default;
    CallSpan& operator=(CallSpan&&) = delete;
    CallSpan(const CallSpan&) = delete;
    ~CallSpan() { abandon(); }

    // Opens the span when the application set a tracer or meter provider (checked at each call: a
    // dictionary lookup or two while it has not). `headers`: the call's own dict.
    void begin(nb::handle method, nb::handle url, nb::handle path, nb::handle body, nb::handle headers, bool stream);
    explicit operator bool() const { return span_.is_valid(); }

    void status(long code);
    void retry(nb::handle reason);  // a status (int) or an error's type name (str)
    void retry(long status);
    void chunk(nb::handle chunk);
    void ok(nb::handle result);
    void failed(nb::handle error);
    void stream_end(const char* how, nb::handle error_type);
    // Ends the span as cancelled if no end was told, and lets go of it.
    void abandon() noexcept;

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(span_.ptr());
        return 0;
    }

private:
    // Calls span_.name(args...); a failure is reported as unraisable and the span let go.
    void tell(const char* name, nb::handle a = {}, nb::handle b = {}) noexcept;
    nb::object span_;
};

}  // namespace korvane::api::engine
