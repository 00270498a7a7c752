// Kept-alive connections between two requests: one thread watches them all with epoll, hands a
// connection back when its next request arrives and closes it when it idles out or the server stops.
// So an idle connection holds no worker, and a stop does not wait for idle clients.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "connection.hpp"

namespace korvane::emulator {

class IdleConnections {
public:
    using Clock = std::chrono::steady_clock;
    // Called on the watching thread, without a lock held, with a connection whose peer sent something.
    using OnReady = std::function<void(std::shared_ptr<Connection>)>;

    explicit IdleConnections(OnReady on_ready);
    ~IdleConnections();
    IdleConnections(const IdleConnections&) = delete;
    IdleConnections& operator=(const IdleConnections&) = delete;

    // Takes the connection until it is handed back or closed; after close_all() it is closed at once.
    void park(std::shared_ptr<Connection> connection, std::chrono::milliseconds idle_timeout);
    // Closes every waiting connection and ends the watching thread. Safe from any thread, repeatable.
    void close_all();

private:
    struct Waiting {
        std::shared_ptr<Connection> connection;
        Clock::time_point deadline;
    };

    void watch();
    // Closes those whose time is up; the lock is held.
    void close_expired(Clock::time_point now);

    OnReady on_ready_;
    int epoll_fd_;
    int wake_fd_;  // an eventfd in the epoll set: written by close_all() to end watch()
    std::mutex mutex_;
    // Owner rule: holds the only reference to each waiting connection, keyed by its socket, while it
    // is in the epoll set; an entry leaves the map (and the set) before it is handed on or closed.
    std::unordered_map<int, Waiting> waiting_;
    bool closed_ = false;
    std::thread thread_;
};

}  // namespace korvane::emulator
