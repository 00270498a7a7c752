// The process's fork count, kept by a pthread_atfork child handler installed once.
#include "http/fork_count.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace korvane::http {
namespace {

// Forks into a child process so far, counted in the child (kept for the process: no Python, no
// owner beyond the process; the handler is installed at the first holder of connections).
std::atomic<unsigned> g_forks{0};

void count_fork() { g_forks.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

unsigned forks_so_far() {
    static std::once_flag installed;
    std::call_once(installed, [] { pthread_atfork(nullptr, nullptr, &count_fork); });
    return g_forks.load(std::memory_order_relaxed);
}

unsigned forks_now() { return g_forks.load(std::memory_order_relaxed); }

}  // namespace korvane::http
