// Connections served request by request, parked between requests.
#include "http_server.hpp"

#include <sys/eventfd.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace korvane::emulator {
namespace {

// Workers exist only while requests are in progress; the cap keeps a runaway client from exhausting
// the machine's threads (further requests wait for a free worker).
constexpr std::size_t max_workers = 8192;
// httplib's routing runs std::regex, whose recursion grows with the path: the longest path it takes
// (8 KiB) needs between 2 and 3 MiB. Only the pages a request touches become resident.
constexpr std::size_t worker_stack_bytes = std::size_t{4} << 20;
constexpr std::chrono::seconds worker_linger{10};

// httplib owns the queue it gets from new_task_queue and deletes it when listening ends; this one
// lends it the server's pool, and its shutdown() is the end of serving.
class LentQueue final : public httplib::TaskQueue {
public:
    LentQueue(WorkerPool& pool, IdleConnections& idle) : pool_(pool), idle_(idle) {}
    void enqueue(std::function<void()> fn) override { pool_.enqueue(std::move(fn)); }
    void shutdown() override {
        idle_.close_all();
        pool_.shutdown();
    }

private:
    WorkerPool& pool_;
    IdleConnections& idle_;
};

int milliseconds(time_t sec, time_t usec) { return static_cast<int>(sec * 1000 + usec / 1000); }

}  // namespace

HttpServer::HttpServer()
    : stop_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      pool_(max_workers, worker_stack_bytes, worker_linger),
      idle_([this](std::shared_ptr<Connection> connection) {
          pool_.enqueue([this, connection = std::move(connection)]() mutable { serve(std::move(connection)); });
      }) {
    if (stop_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    new_task_queue = [this] { return std::make_unique<LentQueue>(pool_, idle_).release(); };
}

HttpServer::~HttpServer() {
    idle_.close_all();
    pool_.shutdown();
    ::close(stop_fd_);
}

void HttpServer::shut_down() {
    stopping_.store(true);
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(stop_fd_, &one, sizeof one);
    idle_.close_all();
    stop();
}

ConnectionLimits HttpServer::limits() const {
    return {milliseconds(read_timeout_sec_, read_timeout_usec_), milliseconds(write_timeout_sec_, write_timeout_usec_),
            stop_fd_};
}

bool HttpServer::process_and_close_socket(socket_t sock) {
    auto connection = std::make_shared<Connection>(sock, limits());
    if (connection->request_waiting()) {
        serve(std::move(connection));
    } else {
        idle_.park(std::move(connection), std::chrono::seconds(keep_alive_timeout_sec_));
    }
    return true;
}

void HttpServer::serve(std::shared_ptr<Connection> connection) {
    while (!stopping_.load()) {
        bool last = ++connection->served >= keep_alive_max_count_;
        bool closed = false;
        if (!process_request(*connection, last, closed, nullptr) || closed || last) return;
        if (!connection->request_waiting()) {
            idle_.park(std::move(connection), std::chrono::seconds(keep_alive_timeout_sec_));
            return;
        }
    }
}

}  // namespace korvane::emulator
