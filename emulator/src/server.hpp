// The emulator's HTTP server: one catch-all httplib handler per method feeding
// the request pipeline (statistics, faults, authentication, routing).
#pragma once

#include <atomic>
#include <string>

#include <httplib.h>

#include "faults.hpp"
#include "http_server.hpp"
#include "options.hpp"
#include "rate_limits.hpp"
#include "router.hpp"
#include "services.hpp"
#include "signals.hpp"
#include "store.hpp"

namespace korvane::emulator {

class EmulatorServer {
public:
    explicit EmulatorServer(Options options);
    EmulatorServer(const EmulatorServer&) = delete;
    EmulatorServer& operator=(const EmulatorServer&) = delete;

    // Binds the listening socket; returns the port, or -1 on failure.
    int bind();
    // Serves until stop(); false when serving could not start.
    bool run();
    // Safe from any thread, also before run().
    void stop();

private:
    void handle(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* reader);
    void dispatch(const httplib::Request& req, httplib::Response& res, class RequestBody& body);

    Options options_;
    Store store_;
    RequestStats stats_;
    Faults faults_;
    RateLimits limits_;
    Shutdown shutdown_;
    Services services_;
    Router platform_;
    Router control_;
    HttpServer http_;
    std::atomic<bool> serving_over_{false};
    std::atomic<unsigned long long> answers_{0};  // numbers each answer's X-Request-Id
};

}  // namespace korvane::emulator
