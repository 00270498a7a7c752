// An answer of the HTTP layer: status, headers and a body read whole or pulled line by line.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "http/exchange.hpp"
#include "http/line_buffer.hpp"

namespace korvane::http {

namespace nb = nanobind;

class Response {
public:
    // Needs the GIL. `exchange` has its final headers; a finished one was read to the end, a
    // failed one reports its failure when the body is read.
    explicit Response(std::unique_ptr<Exchange> exchange);

    int status_code() const { return status_; }
    const std::string& reason() const { return reason_; }
    const std::string& url() const { return url_; }
    nb::object headers() const { return headers_; }
    bool ok() const { return status_ < 400 || status_ >= 600; }

    nb::object content();
    nb::object text();
    nb::object json();
    // As json(), with `reader` in place of the JSON decoder: reads the body to its end and
    // returns reader(body). Needs the GIL.
    nb::object read_body(const std::function<nb::object(std::string_view)>& reader);
    nb::object iter_lines(nb::handle self, bool decode_unicode);
    void close();
    // For a reader that has taken its last line (a stream's "[DONE]"): the body's end is taken if
    // it is here already or arrives within `bound`, nothing after that line is handed out, and the
    // connection then goes back to the pool instead of being closed. Needs the GIL.
    void finish_within(std::chrono::milliseconds bound);

    // The next line for an iterator: from `own` (a copy of a whole body) or the live stream.
    // nullopt-like None at the end.
    nb::object next_line(LineBuffer* own, bool decode_unicode);

    // The same for a C++ reader with a line buffer of its own, without a Python object per line:
    // begin_lines() starts reading as iter_lines() does; true when the whole body was already
    // here and went into `into` (its lines are then read from `into` alone, the last one
    // unterminated). Otherwise the reader takes the complete lines `into` holds itself and calls
    // next_line_in() when it holds none: that one reads more of the body into it. The view lasts
    // until `into` is used again; nullopt at the end.
    bool begin_lines(LineBuffer& into);
    std::optional<std::string_view> next_line_in(LineBuffer& into);

private:
    void read_all();
    // Needs mutex_ held. The next line of `buffer`, fed from the network unless `complete`.
    std::optional<std::string_view> next_line_view(LineBuffer& buffer, bool complete);
    std::string_view body() const;
    std::string charset() const;
    nb::object decode(std::string_view bytes) const;
    [[noreturn]] void fail_stream(const Failure& failure);

    int status_;
    std::string reason_;
    std::string url_;
    nb::object headers_;

    std::mutex mutex_;                    // one thread at a time reads the body
    std::unique_ptr<Exchange> exchange_;  // while the body is still arriving
    std::string content_;
    nb::object content_bytes_;   // content as bytes once asked for (content_ is then freed)
    bool complete_ = false;      // the whole body is in content_ / content_bytes_
    bool consumed_ = false;      // the body went out line by line: content is gone
    bool ended_ = false;         // the body arrived to its end
    bool closed_early_ = false;  // closed (or broken) before the body's end
    LineBuffer lines_;
};

void bind_response(nb::module_& m);

enum class ResponseMethod { iter_lines, json };

// `object` as a Response when it is exactly one and `method` is still the class's own, so a
// caller may read it directly in C++ with the same outcome as calling the method; else nullptr.
// The API layer asks through the client's seam (api/client/seam.hpp: own_lines, own_json).
Response* own_response(nb::handle object, ResponseMethod method);

}  // namespace korvane::http
