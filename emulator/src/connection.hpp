// One accepted connection as httplib reads and writes it. Its waits also end when the server stops,
// and what it read ahead stays with it for the connection's next request.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include <httplib.h>

namespace korvane::emulator {

struct ConnectionLimits {
    int read_timeout_ms;
    int write_timeout_ms;
    // Readable (for good) once the server stops: every wait of every connection watches it.
    int stop_fd;
};

class Connection final : public httplib::Stream {
public:
    // Takes the socket: the destructor closes it.
    Connection(int sock, const ConnectionLimits& limits) : sock_(sock), limits_(limits) {}
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, std::size_t size) override;
    ssize_t write(const char* ptr, std::size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return sock_; }

    // Bytes of the next request are already here (read ahead, or waiting in the socket).
    bool request_waiting() const;
    // Requests answered on this connection so far.
    std::size_t served = 0;

private:
    // Waits up to timeout_ms for `events` on the socket; false on time-out, on stop, or when the
    // peer has gone (for writes).
    bool wait_for(short events, int timeout_ms) const;
    // One recv() after waiting for data; -1 on time-out or stop.
    ssize_t receive(char* ptr, std::size_t size);

    int sock_;
    ConnectionLimits limits_;
    std::array<char, 4096> ahead_{};
    std::size_t ahead_begin_ = 0;
    std::size_t ahead_end_ = 0;
};

}  // namespace korvane::emulator
