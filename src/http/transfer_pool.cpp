// The transfer-unit pool behind a session, and libcurl's one-time initialisation.
#include "http/transfer_pool.hpp"

#include <nanobind/nanobind.h>

#include <new>
#include <string>

#include "http/curl_loader.hpp"
#include "http/fork_count.hpp"

namespace korvane::http {

void ensure_curl_initialised() {
    if (const char* error = curl_load_error()) {
        throw nanobind::import_error(
            (std::string("korvane_sdk needs libcurl 7.80 or later (libcurl.so.4), which could not be "
                         "loaded: ") +
             error +
             ". Install it with the system's package manager (Debian and Ubuntu: apt-get install "
             "libcurl4; Fedora and RHEL: dnf install libcurl; Alpine: apk add libcurl), or install "
             "korvane-sdk from a wheel, which carries its own copy.")
                .c_str());
    }
    static const CURLcode result = libcurl::curl_global_init(CURL_GLOBAL_DEFAULT);
    if (result != CURLE_OK) throw std::bad_alloc();
}

TransferUnit::TransferUnit()
    : multi(libcurl::curl_multi_init()), easy(libcurl::curl_easy_init()), fork_generation(forks_so_far()) {
    if (!multi || !easy) throw std::bad_alloc();
}

TransferUnit::~TransferUnit() {
    if (inherited()) {
        // The parent's connections: left to the parent (the child's descriptor copies close at exit).
        (void)multi.release();
        (void)easy.release();
        return;
    }
    detach();
}

bool TransferUnit::inherited() const { return forks_now() != fork_generation; }

bool TransferUnit::attach() {
    if (attached) return true;
    attached = libcurl::curl_multi_add_handle(multi.get(), easy.get()) == CURLM_OK;
    return attached;
}

void TransferUnit::detach() {
    if (!attached) return;
    libcurl::curl_multi_remove_handle(multi.get(), easy.get());
    attached = false;
}

std::unique_ptr<TransferUnit> TransferPool::acquire() {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return nullptr;
        std::erase_if(idle_, [](const auto& unit) { return unit->inherited(); });
        if (!idle_.empty()) {
            // The most recently used unit first: its connection is the likeliest to be alive.
            std::unique_ptr<TransferUnit> unit = std::move(idle_.back());
            idle_.pop_back();
            return unit;
        }
    }
    return std::make_unique<TransferUnit>();
}

void TransferPool::release(std::unique_ptr<TransferUnit> unit) {
    if (!unit || unit->inherited()) return;  // an inherited unit lets go of its handles as it goes
    unit->detach();
    // Forget the finished exchange's options: they point at its buffers and callbacks.
    libcurl::curl_easy_reset(unit->easy.get());
    {
        std::lock_guard lock(mutex_);
        if (!closed_ && idle_.size() < kMaxIdle) {
            idle_.push_back(std::move(unit));
            return;
        }
    }
    // Freed outside the lock: closing connections may take a moment.
}

void TransferPool::close() {
    std::vector<std::unique_ptr<TransferUnit>> doomed;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        doomed.swap(idle_);
    }
}

bool TransferPool::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace korvane::http
