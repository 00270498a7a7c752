// One request/answer exchange on a transfer unit, driven through libcurl's multi interface.
// Everything here runs without the GIL, except construction and destruction.
#pragma once
#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "http/errors.hpp"
#include "http/headers.hpp"
#include "http/request_plan.hpp"
#include "http/transfer_pool.hpp"

namespace korvane::http {

class Exchange {
public:
    // What pump() waits for.
    enum class Until {
        Headers,  // the final answer's status line and headers (or the end)
        Data,     // some more body bytes (or the end)
        End,      // the end of the answer
    };

    Exchange(std::shared_ptr<TransferPool> pool, RequestPlan plan);
    // Gives the unit back; an unfinished answer's connection is closed, never read to its end.
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Takes a transfer unit and sends the request; false with `failure` set when it cannot.
    bool start(Failure& failure);
    // Moves the transfer on until `until` holds; false with `failure` set when the transfer
    // failed (the failure stays: later calls report it again). Interruption by a signal is a
    // failure whose Python exception is already set.
    bool pump(Until until, Failure& failure);
    // Ends the exchange early, dropping its connection.
    void abort();
    // For a caller that has read all it wants (a stream's end marker): lets the transfer take the
    // body's end if it is here already or arrives within `bound`, discarding any bytes before it
    // (at most kDiscardAtEnd), so the connection can be kept. True when the exchange finished;
    // false leaves it unfinished (failures included, not recorded) for the caller to drop.
    bool finish_within(std::chrono::milliseconds bound);

    bool finished() const { return done_; }
    bool failed() const { return failure_.has_value(); }
    bool has_final_headers() const { return final_headers_; }
    int status() const { return status_; }
    const std::string& reason() const { return reason_; }
    HeaderMap& headers() { return headers_; }
    std::string effective_url() const;
    // Body bytes received and not yet taken.
    std::string& received() { return received_; }

private:
    static size_t on_header(char* data, size_t size, size_t count, void* self);
    static size_t on_body(char* data, size_t size, size_t count, void* self);
    static size_t on_upload(char* data, size_t size, size_t count, void* self);
    static int on_seek(void* self, curl_off_t offset, int origin);
    static int on_connected(void* self, char*, char*, int, int);

    void configure();
    // Sends the request the redirect answer just ended asks for, on the same unit.
    bool follow(Failure& failure);
    void header_line(std::string_view line);
    bool fail(Failure failure, Failure& out);
    Failure failure_of(CURLcode result) const;
    bool interrupted();

    using Clock = std::chrono::steady_clock;

    std::shared_ptr<TransferPool> pool_;
    RequestPlan plan_;
    std::unique_ptr<TransferUnit> unit_;
    char error_text_[CURL_ERROR_SIZE] = {};

    int status_ = 0;
    std::string reason_;
    HeaderMap headers_;
    bool final_headers_ = false;
    std::string redirect_to_;  // set while a redirect answer is being read: where to go next
    int redirects_ = 0;
    bool connected_ = false;  // the current request's connection is up: waits now count as reads
    bool done_ = false;
    std::optional<Failure> failure_;
    std::string upload_error_;
    std::string body_error_;  // why on_body refused more bytes
    std::string received_;
    // Body bytes beyond this, not yet taken, pause the transfer until they are: libcurl would
    // otherwise read everything the socket holds in one go, so a fast sender would fill memory
    // with megabytes of a stream that is consumed line by line.
    static constexpr size_t kPauseAt = size_t{64} << 10;
    bool pausable_ = false;  // the current pump may pause (it is not reading to the end)
    static constexpr size_t kDiscardAtEnd = size_t{64} << 10;
    bool discarding_ = false;  // finish_within() runs: body bytes are counted, not kept
    size_t discarded_ = 0;
    size_t pump_base_ = 0;  // bytes waiting when the current pump began
    bool paused_ = false;
    size_t body_bytes_ = 0;
    Clock::time_point started_;
    Clock::time_point last_activity_;
    Clock::time_point last_signal_check_;
};

}  // namespace korvane::http
