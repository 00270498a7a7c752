// RequestBody: on-demand reading over httplib's ContentReader.
#include "request_body.hpp"

#include <charconv>

#include "errors.hpp"

namespace korvane::emulator {
namespace {

// Leftover bodies up to this size are read and thrown away; larger ones cost
// the connection instead.
constexpr std::uint64_t max_drain_bytes = 1u << 20;

ApiError too_large() {
    return ApiError(413, "Request body too large (limit " + std::to_string(max_json_body_bytes) + " bytes)",
                    "PAYLOAD_TOO_LARGE");
}

}  // namespace

RequestBody::RequestBody(const httplib::Request& req, const httplib::ContentReader* reader)
    : req_(req), reader_(reader) {}

std::optional<std::uint64_t> RequestBody::content_length() const {
    if (!req_.has_header("Content-Length")) return std::nullopt;
    std::string text = req_.get_header_value("Content-Length");
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool RequestBody::present() const {
    if (reader_ == nullptr) return false;
    if (req_.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos) return true;
    auto length = content_length();
    return length && *length > 0;
}

bool RequestBody::is_multipart() const { return req_.is_multipart_form_data(); }

std::string RequestBody::read_text(std::size_t cap) {
    std::string out;
    if (!present() || consumed_) return out;
    if (auto length = content_length(); length && *length > cap) {
        broken_ = true;
        throw too_large();
    }
    bool over_cap = false;
    consumed_ = true;
    bool ok = (*reader_)([&](const char* data, std::size_t size) {
        if (out.size() + size > cap) {
            over_cap = true;
            return false;
        }
        out.append(data, size);
        return true;
    });
    if (!ok) {
        broken_ = true;
        if (over_cap) throw too_large();
        throw ApiError(400, "Could not read the request body", "INVALID_REQUEST");
    }
    return out;
}

Json RequestBody::read_json() {
    if (present() && is_multipart()) {
        throw ApiError(400, "Expected a JSON body, got multipart/form-data", "INVALID_JSON");
    }
    return parse_json_body(read_text(max_json_body_bytes));
}

bool RequestBody::read_multipart(httplib::MultipartContentHeader on_part, httplib::ContentReceiver on_data) {
    if (!present() || consumed_ || !is_multipart()) return false;
    consumed_ = true;
    bool ok = (*reader_)(std::move(on_part), std::move(on_data));
    if (!ok) broken_ = true;
    return ok;
}

void RequestBody::settle(httplib::Response& res) {
    if (!present() || (consumed_ && !broken_)) return;
    if (!broken_ && !consumed_) {
        auto length = content_length();
        if (length && *length <= max_drain_bytes) {
            consumed_ = true;
            // httplib writes its own status into the answer when reading fails.
            int status = res.status;
            auto discard = [](const char*, std::size_t) { return true; };
            bool ok = is_multipart() ? (*reader_)([](const httplib::MultipartFormData&) { return true; }, discard)
                                     : (*reader_)(discard);
            res.status = status;
            if (ok) return;
        }
    }
    res.set_header("Connection", "close");
}

}  // namespace korvane::emulator
