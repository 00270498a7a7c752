// Shutdown flag and the thread that turns SIGTERM/SIGINT into a clean stop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace korvane::emulator {

// Set once when the server is stopping; long waits (delays, streams) poll it.
class Shutdown {
public:
    void request();
    bool requested() const { return requested_.load(std::memory_order_acquire); }
    // Sleeps up to `seconds`; returns false when woken by a shutdown.
    bool sleep_for(double seconds);

private:
    std::atomic<bool> requested_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
};

// Must run before any other thread starts, so that every thread inherits the
// mask and the signals reach only the watcher. Also ignores SIGPIPE: a client
// that hangs up mid-answer must cost a failed write, not the process.
void block_termination_signals();

// Waits for SIGTERM or SIGINT on its own thread and then calls on_signal once.
class SignalWatcher {
public:
    explicit SignalWatcher(std::function<void()> on_signal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    std::atomic<bool> closing_{false};
    std::function<void()> on_signal_;
    std::thread thread_;
};

}  // namespace korvane::emulator
