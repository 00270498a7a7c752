// Request pipeline: counting, fault injection, auth, routing and error answers.
#include "server.hpp"

#include <chrono>
#include <exception>
#include <thread>

#include "auth.hpp"
#include "errors.hpp"
#include "request_body.hpp"
#include "request_context.hpp"
#include "routes.hpp"

namespace korvane::emulator {
namespace {

constexpr int send_buffer_bytes = 128 * 1024;

bool is_control_path(const std::string& path) { return path == "/_emulator" || path.rfind("/_emulator/", 0) == 0; }

std::string join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

}  // namespace

EmulatorServer::EmulatorServer(Options options)
    : options_(std::move(options)), faults_(options_.faults), limits_(options_.limits), services_{options_, store_,
                                                                                                  stats_,   faults_,
                                                                                                  limits_,  shutdown_} {
    add_chat_routes(platform_, services_);
    add_tenant_routes(platform_, services_);
    add_feedback_routes(platform_, services_);
    add_training_routes(platform_, services_);
    add_dataset_routes(platform_, services_);
    add_control_routes(control_, services_);

    http_.set_keep_alive_max_count(100000);
    http_.set_read_timeout(10, 0);
    http_.set_write_timeout(30, 0);
    http_.set_tcp_nodelay(true);
    // httplib's default also sets SO_REUSEPORT, which would let a second
    // emulator silently share a port that is already in use.
    http_.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // Accepted connections inherit it. Left to itself the kernel grows a send buffer to megabytes
        // while a client is not reading: hundreds of streamed answers to slow readers would each make
        // and hold that much. This bound (doubled by the kernel) costs a fast reader nothing on loopback.
        int send_buffer = send_buffer_bytes;
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    });

    auto without_body = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res, nullptr); };
    auto with_body = [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
        handle(req, res, &reader);
    };
    http_.Get(".*", without_body);
    http_.Options(".*", without_body);
    http_.Post(".*", with_body);
    http_.Put(".*", with_body);
    http_.Patch(".*", with_body);
    http_.Delete(".*", with_body);
    // Last line of defence; handle() already catches everything it can.
    http_.set_exception_handler([](const httplib::Request&, httplib::Response& res, const std::exception_ptr&) {
        send_error(res, ApiError(500, "Internal server error", "INTERNAL_ERROR"));
    });
}

int EmulatorServer::bind() {
    if (options_.port == 0) return http_.bind_to_any_port(options_.host);
    return http_.bind_to_port(options_.host, options_.port) ? options_.port : -1;
}

bool EmulatorServer::run() {
    bool ok = !shutdown_.requested() && http_.listen_after_bind();
    serving_over_.store(true);
    return ok || shutdown_.requested();
}

void EmulatorServer::stop() {
    shutdown_.request();
    // httplib ignores stop() until listening has begun, so a signal that comes
    // right after start-up waits for that moment (or for run() to give up).
    while (!http_.is_running() && !serving_over_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    http_.shut_down();
}

void EmulatorServer::handle(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* reader) {
    RequestBody body(req, reader);
    // Every answer, errors included, names its request as the platform does, for support and logs.
    res.set_header("X-Request-Id", "req_" + std::to_string(++answers_));
    try {
        dispatch(req, res, body);
    } catch (const ApiError& e) {
        send_error(res, e);
    } catch (const std::exception&) {
        send_error(res, ApiError(500, "Internal server error", "INTERNAL_ERROR"));
    } catch (...) {
        send_error(res, ApiError(500, "Internal server error", "INTERNAL_ERROR"));
    }
    try {
        body.settle(res);
    } catch (...) {
        res.set_header("Connection", "close");
    }
}

void EmulatorServer::dispatch(const httplib::Request& req, httplib::Response& res, RequestBody& body) {
    bool control = is_control_path(req.path);
    if (!control) {
        stats_.count(req.path, req.get_header_value("traceparent"));
        limits_.count_batch_id(req.get_header_value("X-Korvane-Batch-Id"));
        RequestFaults faults = faults_.next_request();
        if (faults.delay_seconds > 0) shutdown_.sleep_for(faults.delay_seconds);
        if (faults.rate_limit_retry_after) {
            if (!faults.rate_limit_retry_after->empty()) res.set_header("Retry-After", *faults.rate_limit_retry_after);
            throw ApiError(429, "Rate limit exceeded", "RATE_LIMIT");
        }
        if (faults.server_error_status) {
            throw ApiError(*faults.server_error_status, "Emulated server error", "SERVER_ERROR");
        }
    }

    auto principal = authenticate(req, options_.admin_key, store_);
    if (!principal) {
        res.set_header("WWW-Authenticate", "Bearer");
        throw ApiError(401, "Invalid or missing API key", "");
    }
    if (!control) {
        if (auto refused = limits_.admit_request(caller_name(*principal))) throw rate_limited(res, *refused);
    }

    const Router& router = control ? control_ : platform_;
    RouteMatch match = router.match(req.method, req.path);
    if (match.route == nullptr) {
        if (match.allowed_methods.empty()) throw ApiError(404, "Not Found", "NOT_FOUND");
        res.set_header("Allow", join(match.allowed_methods, ", "));
        throw ApiError(405, "Method Not Allowed", "METHOD_NOT_ALLOWED");
    }
    if (!may_access(*principal, match.route->access, match.params)) throw forbidden();
    if (auto it = match.params.find("tenant_id"); it != match.params.end()) {
        auto lock = store_.lock();
        if (store_.tenants.find(it->second) == nullptr) throw not_found("Tenant", it->second);
    }

    RequestContext ctx(req, res, body, std::move(*principal), std::move(match.params));
    match.route->handler(ctx);
}

}  // namespace korvane::emulator
