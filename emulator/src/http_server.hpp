// httplib's server, changed in how it holds connections: a connection waiting for its next request
// holds no thread (IdleConnections), each request in progress has a worker of its own (WorkerPool),
// and shut_down() also ends the waits of connections in progress and closes the idle ones.
#pragma once

#include <atomic>
#include <memory>

#include <httplib.h>

#include "connection.hpp"
#include "idle_connections.hpp"
#include "worker_pool.hpp"

namespace korvane::emulator {

class HttpServer : public httplib::Server {
public:
    HttpServer();
    ~HttpServer() override;
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Stops listening (as stop(), so only once listening has begun), wakes every connection's wait
    // and closes the idle connections. Requests in progress end as their handlers see the stop.
    void shut_down();

private:
    bool process_and_close_socket(socket_t sock) override;
    // Answers the connection's requests while they come back to back, then parks it.
    void serve(std::shared_ptr<Connection> connection);
    ConnectionLimits limits() const;

    int stop_fd_;
    std::atomic<bool> stopping_{false};
    // Declared before idle_: idle_'s thread hands connections to the pool until it is destroyed.
    WorkerPool pool_;
    IdleConnections idle_;
};

}  // namespace korvane::emulator
