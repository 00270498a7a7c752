// A growing and shrinking pool of pthreads with a set stack size.
#include "worker_pool.hpp"

#include <algorithm>

namespace korvane::emulator {

WorkerPool::WorkerPool(std::size_t max_threads, std::size_t stack_bytes, std::chrono::milliseconds linger)
    : max_threads_(max_threads), stack_bytes_(stack_bytes), linger_(linger) {}

WorkerPool::~WorkerPool() { shutdown(); }

void* WorkerPool::thread_main(void* pool) {
    static_cast<WorkerPool*>(pool)->work();
    return nullptr;
}

void WorkerPool::enqueue(std::function<void()> fn) {
    std::unique_lock lock(mutex_);
    if (shutdown_) return;
    jobs_.push_back(std::move(fn));
    if (idle_ < jobs_.size() && running_.size() < max_threads_) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, stack_bytes_);
        pthread_t thread;
        // Without a new thread the job still runs, on the next worker that comes free.
        if (pthread_create(&thread, &attr, &WorkerPool::thread_main, this) == 0) running_.push_back(thread);
        pthread_attr_destroy(&attr);
    }
    lock.unlock();
    wake_.notify_one();
}

void WorkerPool::shutdown() {
    std::vector<pthread_t> joining;
    {
        std::scoped_lock lock(mutex_);
        shutdown_ = true;
        joining.swap(running_);
    }
    wake_.notify_all();
    for (pthread_t thread : joining) pthread_join(thread, nullptr);
}

void WorkerPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        bool woken = wake_.wait_for(lock, linger_, [this] { return !jobs_.empty() || shutdown_; });
        --idle_;
        if (jobs_.empty()) {
            if (shutdown_) return;  // shutdown() joins this thread
            if (woken) continue;
            // Idle too long: end (its stack is freed as it ends).
            pthread_t self = pthread_self();
            auto it = std::find_if(running_.begin(), running_.end(),
                                   [self](pthread_t thread) { return pthread_equal(thread, self); });
            if (it == running_.end()) continue;  // shutdown() has taken the handles: it joins us
            running_.erase(it);
            pthread_detach(self);
            return;
        }
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A failed request must not take the server with it; its connection closes as it goes.
        }
        job = nullptr;  // its captures go before the lock is taken again
        lock.lock();
    }
}

}  // namespace korvane::emulator
