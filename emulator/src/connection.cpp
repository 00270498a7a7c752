// Socket I/O of one connection with poll()-based time-outs that also wake on the server's stop.
#include "connection.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane::emulator {
namespace {

// The numeric host and port of a socket address (what httplib puts into Request::remote_addr).
void describe(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port) {
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> service{};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host.data(), host.size(), service.data(),
                    service.size(), NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host.data();
        port = std::atoi(service.data());
    }
}

}  // namespace

Connection::~Connection() {
    // Both directions first, so that the peer sees the end even if a copy of the descriptor lingers.
    ::shutdown(sock_, SHUT_RDWR);
    ::close(sock_);
}

bool Connection::wait_for(short events, int timeout_ms) const {
    std::array<pollfd, 2> fds{{{sock_, static_cast<short>(events | POLLRDHUP), 0}, {limits_.stop_fd, POLLIN, 0}}};
    int ready;
    do ready = ::poll(fds.data(), fds.size(), timeout_ms);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    short got = fds[0].revents;
    if ((events & POLLOUT) != 0) {
        // A peer that hung up or half-closed takes no more answer (as httplib's own check).
        return (got & POLLOUT) != 0 && (got & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
    }
    // Data or the peer's end: read() tells which. A stop with nothing to read ends the wait.
    return got != 0;
}

bool Connection::is_readable() const { return ahead_begin_ < ahead_end_ || wait_for(POLLIN, limits_.read_timeout_ms); }

bool Connection::is_writable() const { return wait_for(POLLOUT, limits_.write_timeout_ms); }

bool Connection::request_waiting() const { return ahead_begin_ < ahead_end_ || wait_for(POLLIN, 0); }

ssize_t Connection::receive(char* ptr, std::size_t size) {
    for (;;) {
        if (!wait_for(POLLIN, limits_.read_timeout_ms)) return -1;
        ssize_t got = ::recv(sock_, ptr, size, MSG_DONTWAIT);
        if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return got;
    }
}

ssize_t Connection::read(char* ptr, std::size_t size) {
    if (ahead_begin_ == ahead_end_) {
        if (size >= ahead_.size()) return receive(ptr, size);
        ssize_t got = receive(ahead_.data(), ahead_.size());
        if (got <= 0) return got;
        ahead_begin_ = 0;
        ahead_end_ = static_cast<std::size_t>(got);
    }
    std::size_t n = std::min(size, ahead_end_ - ahead_begin_);
    std::memcpy(ptr, ahead_.data() + ahead_begin_, n);
    ahead_begin_ += n;
    return static_cast<ssize_t>(n);
}

ssize_t Connection::write(const char* ptr, std::size_t size) {
    // Never blocks in send(): a full socket is waited for with poll(), which the server's stop ends.
    for (;;) {
        ssize_t sent = ::send(sock_, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0) return sent;
        if (errno == EINTR) continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !is_writable()) return -1;
    }
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) describe(address, length, ip, port);
}

void Connection::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) describe(address, length, ip, port);
}

}  // namespace korvane::emulator
