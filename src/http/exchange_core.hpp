// What every exchange shares however it waits: the libcurl options from a plan, the header,
// body and upload callbacks, the redirect rule and the mapping of libcurl's failures. The blocking
// Exchange (exchange.hpp) pumps its own multi handle; the event-loop transfer (loop/) is moved on
// by the loop's readiness callbacks. Everything here runs without the GIL.
#pragma once
#include <curl/curl.h>

#include <chrono>
#include <optional>
#include <string>

#include "http/errors.hpp"
#include "http/headers.hpp"
#include "http/request_plan.hpp"

namespace korvane::http {

class ExchangeCore {
public:
    ExchangeCore(const ExchangeCore&) = delete;
    ExchangeCore& operator=(const ExchangeCore&) = delete;

    bool finished() const { return done_; }
    bool failed() const { return failure_.has_value(); }
    bool has_final_headers() const { return final_headers_; }
    int status() const { return status_; }
    const std::string& reason() const { return reason_; }
    HeaderMap& headers() { return headers_; }
    // Body bytes received and not yet taken.
    std::string& received() { return received_; }

protected:
    explicit ExchangeCore(RequestPlan plan) : plan_(std::move(plan)) {}
    virtual ~ExchangeCore() = default;

    // Called when the final headers are complete and when body bytes arrived (from inside
    // libcurl's callbacks): a driver that waits elsewhere wakes its waiter here.
    virtual void progressed() {}

    // Sets every option of the current request on `easy`, callbacks pointing at this exchange.
    void configure(CURL* easy);
    // After the answer that asked for a redirect ended: the plan becomes the next request's (or
    // false with `failure` set past the limit). The caller takes `easy` out of its multi handle
    // first and puts it back after; its live connections stay.
    bool prepare_follow(CURL* easy, Failure& failure);
    Failure failure_of(CURLcode result) const;
    std::string effective_url(CURL* easy) const;
    // Whether a finished request was a redirect answer to follow.
    bool redirecting() const { return !redirect_to_.empty(); }

    using Clock = std::chrono::steady_clock;

    RequestPlan plan_;
    char error_text_[CURL_ERROR_SIZE] = {};

    int status_ = 0;
    std::string reason_;
    HeaderMap headers_;
    bool final_headers_ = false;
    std::string redirect_to_;  // set while a redirect answer is being read: where to go next
    int redirects_ = 0;
    bool connected_ = false;  // the current request's connection is up: waits now count as reads
    // Times libcurl started sending the current request. It sends it again on its own when a
    // kept-alive connection dies before the answer begins; by then the request may have reached
    // the server, so the repeat is refused (on_connected) and reported as the connection's loss:
    // only the caller's attempt rule may send a request again.
    int sends_ = 0;
    bool repeat_refused_ = false;
    bool done_ = false;
    std::optional<Failure> failure_;
    std::string upload_error_;
    std::string body_error_;  // why on_body refused more bytes
    std::string head_error_;  // why header_line refused the answer's head (a malformed answer)
    std::string received_;
    // Body bytes beyond this, not yet taken, pause the transfer until they are: libcurl would
    // otherwise read everything the socket holds in one go, so a fast sender would fill memory
    // with megabytes of a stream that is consumed line by line.
    static constexpr size_t kPauseAt = size_t{64} << 10;
    bool pausable_ = false;       // the current wait may pause (it is not reading to the end)
    size_t pause_at_ = kPauseAt;  // a driver may pause a stream sooner
    static constexpr size_t kDiscardAtEnd = size_t{64} << 10;
    bool discarding_ = false;  // the caller read all it wants: body bytes are counted, not kept
    size_t discarded_ = 0;
    size_t pump_base_ = 0;  // bytes waiting when the current wait began
    bool paused_ = false;
    size_t body_bytes_ = 0;
    Clock::time_point started_;
    Clock::time_point last_activity_;

private:
    static size_t on_header(char* data, size_t size, size_t count, void* self);
    static size_t on_body(char* data, size_t size, size_t count, void* self);
    static size_t on_upload(char* data, size_t size, size_t count, void* self);
    static int on_seek(void* self, curl_off_t offset, int origin);
    static int on_connected(void* self, char*, char*, int, int);
    void header_line(std::string_view line);
};

}  // namespace korvane::http
