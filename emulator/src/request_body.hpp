// Reading a request body on demand: capped JSON, streamed multipart, and
// keeping the connection sound when a handler leaves the body unread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <httplib.h>

#include "json_util.hpp"

namespace korvane::emulator {

inline constexpr std::size_t max_json_body_bytes = 32u << 20;

class RequestBody {
public:
    // `reader` is null for methods that carry no body (GET, HEAD, OPTIONS).
    RequestBody(const httplib::Request& req, const httplib::ContentReader* reader);

    // True when the request announced a body (a non-zero Content-Length or
    // chunked transfer). A request with neither has no body: it is never read
    // until the peer closes.
    bool present() const;

    // Whole body as text, at most `cap` bytes, else ApiError 413.
    std::string read_text(std::size_t cap);

    // Body as JSON (null when empty); ApiError 400 for malformed or non-JSON
    // bodies, 413 over the cap.
    Json read_json();

    bool is_multipart() const;
    // Streams a multipart body through the callbacks; false when malformed.
    bool read_multipart(httplib::MultipartContentHeader on_part, httplib::ContentReceiver on_data);

    // After the handler: a small unread body is drained so the connection can be
    // reused; otherwise the answer closes the connection.
    void settle(httplib::Response& res);

private:
    std::optional<std::uint64_t> content_length() const;

    const httplib::Request& req_;
    const httplib::ContentReader* reader_;
    bool consumed_ = false;
    bool broken_ = false;
};

}  // namespace korvane::emulator
