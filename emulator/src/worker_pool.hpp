// httplib's task queue with a worker for every request in progress: a thread starts when none is
// free (up to a cap, then requests queue), and one left without work for a while ends. Threads
// have small stacks, so thousands of long answers at once cost little memory.
#pragma once

#include <pthread.h>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include <httplib.h>

namespace korvane::emulator {

class WorkerPool final : public httplib::TaskQueue {
public:
    WorkerPool(std::size_t max_threads, std::size_t stack_bytes, std::chrono::milliseconds linger);
    ~WorkerPool() override;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // After shutdown() the job is dropped (destroyed unrun).
    void enqueue(std::function<void()> fn) override;
    // Runs the queued jobs, then joins every thread. Repeatable.
    void shutdown() override;

private:
    static void* thread_main(void* pool);
    void work();

    std::size_t max_threads_;
    std::size_t stack_bytes_;
    std::chrono::milliseconds linger_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::size_t idle_ = 0;
    // Owner rule: every thread started and not yet ended on its own is in `running_`, and shutdown()
    // joins it; a thread that ends on its own takes itself out and detaches, touching nothing of the
    // pool after it lets go of the lock.
    std::vector<pthread_t> running_;
    bool shutdown_ = false;
};

}  // namespace korvane::emulator
