// The shared pieces of an exchange: libcurl options from the plan, the callbacks, the redirect
// rule and the failure mapping.
#include "http/exchange_core.hpp"

#include "http/curl_loader.hpp"

#include <cstdio>
#include <stdexcept>

#include "http/redirects.hpp"

namespace korvane::http {
namespace {

// CURLE_TOO_LARGE (libcurl 8.6 and later; older headers lack it): how newer libcurl refuses a header
// line past its bound, which older libcurl reported as CURLE_OUT_OF_MEMORY.
constexpr int kCurleTooLarge = 100;

constexpr long kNoConnectLimitMs = 30L * 24 * 3600 * 1000;

template <typename T>
void set(CURL* easy, CURLoption option, T value) {
    // Options set here are all known to this libcurl; a failure could only be out of memory,
    // which the transfer itself then reports.
    (void)libcurl::curl_easy_setopt(easy, option, value);
}

}  // namespace

void ExchangeCore::configure(CURL* easy) {
    set(easy, CURLOPT_URL, plan_.url.c_str());
    set(easy, CURLOPT_NOSIGNAL, 1L);
    // The path goes out as the caller built it: libcurl would otherwise squash "/./" and "/../",
    // sending a request for another resource than the one named.
    set(easy, CURLOPT_PATH_AS_IS, 1L);
    set(easy, CURLOPT_ERRORBUFFER, error_text_);
    // Redirects are followed here (follow()), by the rules of redirects.hpp: libcurl would repeat
    // a PUT, PATCH or DELETE at the new location after a 302 or 303.
    set(easy, CURLOPT_FOLLOWLOCATION, 0L);
    set(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    set(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    set(easy, CURLOPT_HTTPHEADER, plan_.headers.get());
    set(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    set(easy, CURLOPT_SSL_VERIFYPEER, plan_.verify ? 1L : 0L);
    set(easy, CURLOPT_SSL_VERIFYHOST, plan_.verify ? 2L : 0L);
    if (plan_.ca_file.set || plan_.ca_dir.set) {
        // Named by the caller or the environment (see plan_trust); an empty path clears
        // libcurl's own default.
        if (plan_.ca_file.set)
            set(easy, CURLOPT_CAINFO, plan_.ca_file.path.empty() ? nullptr : plan_.ca_file.path.c_str());
        if (plan_.ca_dir.set)
            set(easy, CURLOPT_CAPATH, plan_.ca_dir.path.empty() ? nullptr : plan_.ca_dir.path.c_str());
    } else if (plan_.verify) {
        // The system's store, wherever this machine keeps it (a libcurl from a wheel may have
        // been built to look elsewhere).
        const CaStore& ca = ca_store();
        if (!ca.file.empty()) set(easy, CURLOPT_CAINFO, ca.file.c_str());
        if (!ca.dir.empty()) set(easy, CURLOPT_CAPATH, ca.dir.c_str());
    }
    if (!plan_.proxy.empty()) set(easy, CURLOPT_PROXY, plan_.proxy.c_str());
    set(easy, CURLOPT_CONNECTTIMEOUT_MS, plan_.connect_timeout_ms > 0 ? plan_.connect_timeout_ms : kNoConnectLimitMs);
    set(easy, CURLOPT_HEADERFUNCTION, &ExchangeCore::on_header);
    set(easy, CURLOPT_HEADERDATA, this);
    set(easy, CURLOPT_WRITEFUNCTION, &ExchangeCore::on_body);
    set(easy, CURLOPT_WRITEDATA, this);
    set(easy, CURLOPT_PREREQFUNCTION, &ExchangeCore::on_connected);
    set(easy, CURLOPT_PREREQDATA, this);

    if (plan_.method == "HEAD") {
        set(easy, CURLOPT_NOBODY, 1L);
        return;
    }
    if (!plan_.has_body) {
        set(easy, CURLOPT_HTTPGET, 1L);
        if (plan_.method != "GET") set(easy, CURLOPT_CUSTOMREQUEST, plan_.method.c_str());
        return;
    }
    if (plan_.multipart) {
        set(easy, CURLOPT_POST, 1L);
        set(easy, CURLOPT_READFUNCTION, &ExchangeCore::on_upload);
        set(easy, CURLOPT_READDATA, this);
        set(easy, CURLOPT_SEEKFUNCTION, &ExchangeCore::on_seek);
        set(easy, CURLOPT_SEEKDATA, this);
        set(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(plan_.multipart->size()));
    } else {
        set(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(plan_.body.size()));
        set(easy, CURLOPT_POSTFIELDS, plan_.body.data());
    }
    if (plan_.method != "POST") set(easy, CURLOPT_CUSTOMREQUEST, plan_.method.c_str());
}

bool ExchangeCore::prepare_follow(CURL* easy, Failure& failure) {
    const std::string target = std::move(redirect_to_);
    redirect_to_.clear();
    if (++redirects_ > kMaxRedirects) {
        failure = {ErrorKind::Request, "Exceeded " + std::to_string(kMaxRedirects) + " redirects."};
        return false;
    }
    // The handle lets go of the finished request's options (its header list, a custom method)
    // before the plan changes.
    libcurl::curl_easy_reset(easy);
    if (redirect_keeps_body(status_)) {
        if (plan_.multipart && !plan_.multipart->seek(0)) {
            failure = {ErrorKind::Request, plan_.multipart->error()};
            return false;
        }
    } else {
        // The body is not sent again, nor the headers that describe it. (A multipart body stays
        // allocated: it holds Python objects, released with the plan under the GIL.)
        plan_.has_body = false;
        plan_.body.clear();
        for (const char* name : {"Content-Type", "Content-Length", "Transfer-Encoding"}) plan_.headers.remove(name);
    }
    if (redirect_drops_authorization(plan_.url, target)) plan_.headers.remove("Authorization");
    plan_.headers.remove("Cookie");  // a cookie given for one request is not carried on
    plan_.method = redirected_method(status_, plan_.method);
    plan_.url = target;
    configure(easy);
    headers_.clear();
    status_ = 0;
    connected_ = false;  // the next request may need a new connection first
    sends_ = 0;
    last_activity_ = Clock::now();
    return true;
}

Failure ExchangeCore::failure_of(CURLcode result) const {
    Failure failure;
    if (result == CURLE_ABORTED_BY_CALLBACK && !upload_error_.empty()) {
        failure.message = upload_error_;
        return failure;
    }
    if (result == CURLE_WRITE_ERROR && !body_error_.empty()) {
        failure.message = body_error_;
        return failure;
    }
    if (result == CURLE_WRITE_ERROR && !head_error_.empty()) {
        failure.kind = ErrorKind::Connection;
        failure.message = head_error_;
        return failure;
    }
    if (result == CURLE_ABORTED_BY_CALLBACK && repeat_refused_) {
        failure.kind = ErrorKind::Connection;
        failure.message =
            "Connection lost after the request was sent (a kept-alive connection was closed or reset "
            "before the answer began); the request was not sent again";
        return failure;
    }
    failure.message = error_text_[0] ? error_text_ : libcurl::curl_easy_strerror(result);
    switch (static_cast<int>(result) == kCurleTooLarge ? CURLE_OUT_OF_MEMORY : result) {
        case CURLE_OPERATION_TIMEDOUT:
            // Only the connect phase has a libcurl deadline; a read deadline would be ours.
            failure.kind = connected_ ? ErrorKind::ReadTimeout : ErrorKind::ConnectTimeout;
            break;
        case CURLE_URL_MALFORMAT: failure.kind = ErrorKind::InvalidURL; break;
        case CURLE_UNSUPPORTED_PROTOCOL:
            // Before a connection: the URL's scheme. After: the answer's status line (no HTTP
            // version, an unknown one, a status outside 100-999), a malformed answer.
            failure.kind = connected_ ? ErrorKind::Connection : ErrorKind::InvalidURL;
            break;
        case CURLE_OUT_OF_MEMORY:
            // libcurl refuses a header line past its bound (100 KiB): a malformed answer.
            if (connected_ && !final_headers_) {
                failure.kind = ErrorKind::Connection;
                failure.message = "The answer's head was refused: a header line is longer than 100 KiB (libcurl: " +
                                  failure.message + ")";
            }
            break;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
        case CURLE_PROXY: failure.kind = ErrorKind::Connection; break;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_WEIRD_SERVER_REPLY:
            // Lost before the answer began: a connection failure; lost inside the body: a broken transfer.
            failure.kind = final_headers_ ? ErrorKind::ChunkedEncoding : ErrorKind::Connection;
            break;
        default: failure.kind = ErrorKind::Request; break;
    }
    return failure;
}

std::string ExchangeCore::effective_url(CURL* easy) const {
    if (!easy) return plan_.url;
    char* url = nullptr;
    if (libcurl::curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || !url) return plan_.url;
    return url;
}

size_t ExchangeCore::on_header(char* data, size_t size, size_t count, void* self) {
    size_t length = size * count;
    try {
        static_cast<ExchangeCore*>(self)->header_line(std::string_view(data, length));
    } catch (...) {
        return 0;  // out of memory: libcurl ends the transfer with an error
    }
    return length;
}

void ExchangeCore::header_line(std::string_view line) {
    last_activity_ = Clock::now();
    if (final_headers_) return;  // trailers after the body are not headers of the answer
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
        // A new header block: an interim answer (1xx), a redirect being followed, or the final one.
        headers_.clear();
        reason_.clear();
        status_ = 0;
        size_t space = line.find(' ');
        if (space == std::string_view::npos) return;
        std::string_view rest = line.substr(space + 1);
        size_t digits = 0;
        while (digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9') {
            status_ = status_ * 10 + (rest[digits] - '0');
            ++digits;
        }
        rest.remove_prefix(digits);
        // A status of more than three digits: some libcurl releases read its first three as the
        // status and the rest as the reason (99999 as 999); it is a malformed answer.
        if (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
            head_error_ = "The answer's status line is malformed (a status of more than three digits)";
            throw std::runtime_error(head_error_);
        }
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
        reason_.assign(rest);
        return;
    }
    if (line.empty()) {
        // A redirect to follow: its body is dropped and follow() sends the next request once this
        // answer has ended.
        const std::string* location = is_followed_redirect(status_) ? headers_.find("Location") : nullptr;
        if (location && !location->empty()) redirect_to_ = resolve_location(plan_.url, *location);
        if (redirect_to_.empty() && status_ >= 200) {
            final_headers_ = true;
            progressed();
        }
        return;
    }
    if (line.front() == ' ' || line.front() == '\t') {
        headers_.continue_last(line);
        return;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    headers_.add(line.substr(0, colon), line.substr(colon + 1));
}

size_t ExchangeCore::on_body(char* data, size_t size, size_t count, void* self) {
    auto* exchange = static_cast<ExchangeCore*>(self);
    size_t length = size * count;
    if (!exchange->redirect_to_.empty()) {  // the body of a redirect being followed
        exchange->last_activity_ = Clock::now();
        return length;
    }
    if (exchange->discarding_) {  // after the caller's last line: counted, never handed out
        exchange->discarded_ += length;
        return length;
    }
    if (exchange->pausable_ && exchange->received_.size() - exchange->pump_base_ >= exchange->pause_at_) {
        exchange->paused_ = true;
        return CURL_WRITEFUNC_PAUSE;  // libcurl keeps these bytes and hands them over on resume
    }
    size_t limit = exchange->plan_.max_body;
    if (limit > 0 && (length > limit || exchange->received_.size() > limit - length)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "The answer body is larger than the limit of %zu bytes (Session.max_body_size)", limit);
        exchange->body_error_ = text;
        return 0;  // libcurl ends the transfer with a write error; its connection is dropped
    }
    try {
        exchange->received_.append(data, length);
    } catch (...) {
        return 0;
    }
    exchange->body_bytes_ += length;
    exchange->final_headers_ = true;  // only the final answer's body reaches us
    exchange->last_activity_ = Clock::now();
    exchange->progressed();
    return length;
}

size_t ExchangeCore::on_upload(char* data, size_t size, size_t count, void* self) {
    auto* exchange = static_cast<ExchangeCore*>(self);
    ptrdiff_t got = exchange->plan_.multipart->read(data, size * count);
    if (got < 0) {
        exchange->upload_error_ = exchange->plan_.multipart->error();
        return CURL_READFUNC_ABORT;
    }
    exchange->last_activity_ = Clock::now();
    return static_cast<size_t>(got);
}

int ExchangeCore::on_seek(void* self, curl_off_t offset, int origin) {
    auto* exchange = static_cast<ExchangeCore*>(self);
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    return exchange->plan_.multipart->seek(static_cast<size_t>(offset)) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_CANTSEEK;
}

int ExchangeCore::on_connected(void* self, char*, char*, int, int) {
    auto* exchange = static_cast<ExchangeCore*>(self);
    if (++exchange->sends_ > 1) {
        exchange->repeat_refused_ = true;
        return CURL_PREREQFUNC_ABORT;
    }
    exchange->connected_ = true;
    exchange->last_activity_ = Clock::now();
    return CURL_PREREQFUNC_OK;
}

}  // namespace korvane::http
