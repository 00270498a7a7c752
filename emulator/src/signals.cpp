// Signal masking and a sigwait-based watcher thread.
#include "signals.hpp"

#include <pthread.h>
#include <csignal>

namespace korvane::emulator {
namespace {

sigset_t termination_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void Shutdown::request() {
    {
        std::scoped_lock lock(mutex_);
        requested_.store(true, std::memory_order_release);
    }
    wake_.notify_all();
}

bool Shutdown::sleep_for(double seconds) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return requested(); });
}

void block_termination_signals() {
    sigset_t set = termination_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(std::function<void()> on_signal) : on_signal_(std::move(on_signal)) {
    thread_ = std::thread([this] {
        sigset_t set = termination_set();
        int signal_number = 0;
        while (sigwait(&set, &signal_number) != 0) {
        }
        if (!closing_.load()) on_signal_();
    });
}

SignalWatcher::~SignalWatcher() {
    closing_.store(true);
    // Wakes the watcher if no signal came; harmless if it has already returned.
    // The signal is blocked in every thread and only taken by the watcher's sigwait: it ends nothing.
    pthread_kill(thread_.native_handle(), SIGTERM);  // NOLINT(bugprone-bad-signal-to-kill-thread)
    thread_.join();
}

}  // namespace korvane::emulator
