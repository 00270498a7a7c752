// Runs one blocking exchange: the wait loop that keeps the idle-read deadline and lets signals
// through (the options and callbacks are the shared ExchangeCore's).
#include "http/exchange.hpp"

#include "http/curl_loader.hpp"

#include <algorithm>
#include <cstdio>

namespace korvane::http {
namespace {

// Longest single wait before the thread looks for signals (Ctrl-C) to deliver.
constexpr long kSliceMs = 100;

long milliseconds(std::chrono::steady_clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

}  // namespace

Exchange::Exchange(std::shared_ptr<TransferPool> pool, RequestPlan plan)
    : ExchangeCore(std::move(plan)), pool_(std::move(pool)) {}

Exchange::~Exchange() { abort(); }

void Exchange::abort() {
    if (unit_) pool_->release(std::move(unit_));
    done_ = true;
}

bool Exchange::start(Failure& failure) {
    unit_ = pool_->acquire();
    if (!unit_) return fail({ErrorKind::SessionClosed, "Session is closed"}, failure);
    configure(unit_->easy.get());
    if (!unit_->attach()) return fail({ErrorKind::Request, "Cannot start the transfer"}, failure);
    started_ = last_activity_ = last_signal_check_ = Clock::now();
    return true;
}

bool Exchange::pump(Until until, Failure& failure) {
    if (failure_) {
        failure = *failure_;
        return false;
    }
    // Bytes already waiting (a caller may put a partial line there first) do not count as new.
    pump_base_ = received_.size();
    auto satisfied = [&] {
        switch (until) {
            case Until::Headers: return final_headers_ || done_;
            case Until::Data: return received_.size() > pump_base_ || done_;
            case Until::End: return done_;
        }
        return true;
    };
    if (satisfied() || !unit_) return true;
    CURLM* multi = unit_->multi.get();
    pausable_ = until != Until::End;
    if (paused_) {
        paused_ = false;
        CURLcode resumed = libcurl::curl_easy_pause(unit_->easy.get(), CURLPAUSE_CONT);  // may deliver bytes at once
        if (resumed != CURLE_OK) return fail(failure_of(resumed), failure);
    }
    last_activity_ = Clock::now();  // the idle clock counts from the moment we start waiting
    for (;;) {
        int running = 0;
        CURLMcode code = libcurl::curl_multi_perform(multi, &running);
        if (code != CURLM_OK) return fail({ErrorKind::Request, libcurl::curl_multi_strerror(code)}, failure);
        int left = 0;
        while (CURLMsg* message = libcurl::curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURLcode result = message->data.result;
            if (result != CURLE_OK) return fail(failure_of(result), failure);
            if (!redirect_to_.empty()) {
                if (!follow(failure)) return false;
                break;  // the next request is under way
            }
            done_ = true;
            final_headers_ = true;
        }
        if (satisfied()) return true;

        Clock::time_point now = Clock::now();
        long wait_ms = kSliceMs;
        if (plan_.read_timeout_ms > 0 && connected_) {
            long idle = milliseconds(now - last_activity_);
            if (idle >= plan_.read_timeout_ms) {
                char text[160];
                std::snprintf(text, sizeof text, "Operation timed out after %ld milliseconds with %zu bytes received",
                              milliseconds(now - started_), body_bytes_);
                return fail({ErrorKind::ReadTimeout, text}, failure);
            }
            wait_ms = std::min(wait_ms, plan_.read_timeout_ms - idle);
        }
        int ready = 0;
        code = libcurl::curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::max(wait_ms, 1L)), &ready);
        if (code != CURLM_OK) return fail({ErrorKind::Request, libcurl::curl_multi_strerror(code)}, failure);
        now = Clock::now();
        // The transfer's socket stirred: bytes arrived (or were taken), which the callbacks would
        // only report once a header line or a piece of body is complete. Any byte is activity.
        if (ready > 0) last_activity_ = now;
        if (now - last_signal_check_ >= std::chrono::milliseconds(kSliceMs)) {
            last_signal_check_ = now;
            if (interrupted()) return fail({ErrorKind::Request, {}, true}, failure);
        }
    }
}

bool Exchange::follow(Failure& failure) {
    unit_->detach();
    Failure refused;
    if (!prepare_follow(unit_->easy.get(), refused)) return fail(std::move(refused), failure);
    if (!unit_->attach()) return fail({ErrorKind::Request, "Cannot start the transfer"}, failure);
    return true;
}

bool Exchange::finish_within(std::chrono::milliseconds bound) {
    if (done_) return true;
    if (failure_ || !unit_) return false;
    const Clock::time_point deadline = Clock::now() + bound;
    CURLM* multi = unit_->multi.get();
    discarding_ = true;
    pausable_ = false;
    if (paused_) {
        paused_ = false;
        if (libcurl::curl_easy_pause(unit_->easy.get(), CURLPAUSE_CONT) != CURLE_OK) return false;
    }
    for (;;) {
        int running = 0;
        if (libcurl::curl_multi_perform(multi, &running) != CURLM_OK) return false;
        int left = 0;
        while (CURLMsg* message = libcurl::curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            if (message->data.result != CURLE_OK || !redirect_to_.empty()) return false;
            done_ = true;
            return true;
        }
        if (discarded_ > kDiscardAtEnd) return false;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        const long wait_ms = std::max(1L, milliseconds(deadline - now));
        if (libcurl::curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait_ms), nullptr) != CURLM_OK) return false;
    }
}

std::string Exchange::effective_url() const { return ExchangeCore::effective_url(unit_ ? unit_->easy.get() : nullptr); }

bool Exchange::interrupted() {
    nb::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

bool Exchange::fail(Failure failure, Failure& out) {
    abort();  // an unfinished transfer's connection is dropped
    failure_ = failure;
    out = std::move(failure);
    return false;
}

}  // namespace korvane::http
