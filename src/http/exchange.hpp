// One request/answer exchange on a transfer unit, driven through libcurl's multi interface on
// the calling thread. Everything here runs without the GIL, except construction and destruction.
#pragma once
#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>

#include "http/exchange_core.hpp"
#include "http/transfer_pool.hpp"

namespace korvane::http {

class Exchange : public ExchangeCore {
public:
    // What pump() waits for.
    enum class Until {
        Headers,  // the final answer's status line and headers (or the end)
        Data,     // some more body bytes (or the end)
        End,      // the end of the answer
    };

    Exchange(std::shared_ptr<TransferPool> pool, RequestPlan plan);
    // Gives the unit back; an unfinished answer's connection is closed, never read to its end.
    ~Exchange() override;

    // Takes a transfer unit and sends the request; false with `failure` set when it cannot.
    bool start(Failure& failure);
    // Moves the transfer on until `until` holds; false with `failure` set when the transfer
    // failed (the failure stays: later calls report it again). Interruption by a signal is a
    // failure whose Python exception is already set.
    bool pump(Until until, Failure& failure);
    // Ends the exchange early, dropping its connection.
    void abort();
    // For a caller that has read all it wants (a stream's end marker): lets the transfer take the
    // body's end if it is here already or arrives within `bound`, discarding any bytes before it
    // (at most kDiscardAtEnd), so the connection can be kept. True when the exchange finished;
    // false leaves it unfinished (failures included, not recorded) for the caller to drop.
    bool finish_within(std::chrono::milliseconds bound);

    std::string effective_url() const;

private:
    // Sends the request the redirect answer just ended asks for, on the same unit.
    bool follow(Failure& failure);
    bool fail(Failure failure, Failure& out);
    bool interrupted();

    std::shared_ptr<TransferPool> pool_;
    std::unique_ptr<TransferUnit> unit_;
    Clock::time_point last_signal_check_;
};

}  // namespace korvane::http
