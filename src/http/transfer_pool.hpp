// A session's idle transfer units: each is a multi handle with its one easy handle, so each keeps
// its own live connections and is used by one call at a time.
#pragma once
#include <memory>
#include <mutex>
#include <vector>

#include "http/curl_handles.hpp"

namespace korvane::http {

struct TransferUnit {
    TransferUnit();
    ~TransferUnit();
    TransferUnit(const TransferUnit&) = delete;
    TransferUnit& operator=(const TransferUnit&) = delete;

    // Adds the easy handle to the multi handle for a new exchange; false when libcurl refuses.
    bool attach();
    // Takes the easy handle out of the multi handle. An exchange that had not finished leaves its
    // connection closed rather than reused: libcurl never reads the rest of its body.
    void detach();

    // Made in another process than this one (a fork child inherited it): its connections are the
    // parent's too, so it is never used, and its handles are let go of, never cleaned up (libcurl
    // could write on the shared socket while closing, a TLS close alert or an HTTP/2 GOAWAY).
    bool inherited() const;

    MultiHandle multi;
    EasyHandle easy;
    bool attached = false;
    unsigned fork_generation;  // the process's fork count when made
};

class TransferPool {
public:
    // Idle units kept per session; more may be in use at once, the extra ones are freed on return.
    static constexpr size_t kMaxIdle = 10;

    // An idle unit or a new one; nullptr once the pool is closed. Idle units inherited through fork
    // are dropped, so a fork child opens connections of its own.
    std::unique_ptr<TransferUnit> acquire();
    // Gives a unit back with its options cleared: kept for reuse unless the pool is closed or full.
    void release(std::unique_ptr<TransferUnit> unit);
    // Frees idle units now; units in use are freed when they come back.
    void close();
    bool closed() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<TransferUnit>> idle_;
    bool closed_ = false;
};

}  // namespace korvane::http
