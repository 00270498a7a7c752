// The words between a call engine (one sans-I/O object per call, which never waits and never does
// I/O) and its drivers: each event fed to the engine is answered with the next step; the driver
// performs it and feeds back what came of it. The blocking driver and the asyncio driver perform the
// same steps, one by waiting on the calling thread, the other by awaiting.
#pragma once

namespace korvane::api::engine {

enum class Next : unsigned char {
    send,    // send the request the engine holds (blocking: session.request; asyncio: await it)
    pause,   // wait the pause the engine gives (seconds), then feed that it is over
    read,    // read more of the answer (a stream's next line), then feed what was read
    result,  // the call's result is ready: take it
    raise,   // the call failed: raise the error the engine gives (its context already added)
};

}  // namespace korvane::api::engine
