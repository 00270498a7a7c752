// The epoll loop of connections waiting for their next request.
#include "idle_connections.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

namespace korvane::emulator {
namespace {

// How often idle connections are checked for their time-out, at the latest.
constexpr int sweep_ms = 250;

}  // namespace

IdleConnections::IdleConnections(OnReady on_ready) : on_ready_(std::move(on_ready)) {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake_fd_;
    if (wake_fd_ < 0 || ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event) != 0) {
        int error = errno;
        if (wake_fd_ >= 0) ::close(wake_fd_);
        ::close(epoll_fd_);
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
    thread_ = std::thread([this] { watch(); });
}

IdleConnections::~IdleConnections() {
    close_all();
    thread_.join();
    ::close(wake_fd_);
    ::close(epoll_fd_);
}

void IdleConnections::park(std::shared_ptr<Connection> connection, std::chrono::milliseconds idle_timeout) {
    std::scoped_lock lock(mutex_);
    if (closed_) return;  // the connection closes as it goes
    int sock = connection->socket();
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = sock;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, sock, &event) != 0) return;
    waiting_[sock] = Waiting{std::move(connection), Clock::now() + idle_timeout};
}

void IdleConnections::close_all() {
    std::unordered_map<int, Waiting> closing;
    {
        std::scoped_lock lock(mutex_);
        if (closed_) return;
        closed_ = true;
        for (auto& [sock, waiting] : waiting_) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, sock, nullptr);
        closing.swap(waiting_);
    }
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_fd_, &one, sizeof one);
    // `closing` closes each connection as it goes out of scope, outside the lock.
}

void IdleConnections::close_expired(Clock::time_point now) {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->second.deadline > now) {
            ++it;
            continue;
        }
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->first, nullptr);
        it = waiting_.erase(it);
    }
}

void IdleConnections::watch() {
    std::array<epoll_event, 256> events{};
    std::vector<std::shared_ptr<Connection>> ready;
    auto next_sweep = Clock::now();
    for (;;) {
        int count = ::epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), sweep_ms);
        if (count < 0 && errno != EINTR) return;
        {
            std::scoped_lock lock(mutex_);
            if (closed_) return;
            for (int i = 0; i < count; ++i) {
                auto it = waiting_.find(events[i].data.fd);
                if (it == waiting_.end()) continue;  // the wake-up, or already handed on
                ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->first, nullptr);
                ready.push_back(std::move(it->second.connection));
                waiting_.erase(it);
            }
            auto now = Clock::now();
            if (now >= next_sweep) {
                close_expired(now);
                next_sweep = now + std::chrono::milliseconds(sweep_ms);
            }
        }
        for (auto& connection : ready) on_ready_(std::move(connection));
        ready.clear();
    }
}

}  // namespace korvane::emulator
