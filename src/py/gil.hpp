// Takes a mutex from a thread that holds the GIL without ever blocking while holding it, so a
// thread that holds the mutex and waits for the GIL cannot deadlock with us.
#pragma once
#include <nanobind/nanobind.h>

#include <mutex>

namespace korvane::py {

inline std::unique_lock<std::mutex> lock_releasing_gil(std::mutex& mutex) {
    std::unique_lock lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        nanobind::gil_scoped_release release;
        lock.lock();
    }
    return lock;
}

}  // namespace korvane::py
