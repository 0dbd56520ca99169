#pragma once
// Connecting to the system bus without ever waiting on it without a bound; internal to the bus library.

#include "bus/sd_bus_handles.h"

#include <cerrno>
#include <cstdint>

namespace bw::bus {

// A stuck bus must not stall a main thread for sd-bus's default 25 seconds.
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;
// Authentication and Hello take milliseconds on a local bus; a peer that accepts and then stays silent
// would otherwise hold the caller for sd-bus's authentication timeout, or for ever in a flush.
constexpr std::uint64_t kConnectTimeoutUsec = 3'000'000;

std::uint64_t monotonicUsec();

// Processes and waits until `done` holds or the bus fails; -ETIMEDOUT after `timeoutUsec`.
template <typename Done> int waitBounded(sd_bus* bus, std::uint64_t timeoutUsec, Done done) {
    const std::uint64_t deadline = monotonicUsec() + timeoutUsec;
    for (;;) {
        int r = done();
        if (r != 0)
            return r < 0 ? r : 0;
        if ((r = sd_bus_process(bus, nullptr)) < 0)
            return r;
        // Checked after every step: a peer that keeps sending must not keep us here either.
        const std::uint64_t now = monotonicUsec();
        if (now >= deadline)
            return done() > 0 ? 0 : -ETIMEDOUT;
        if (r > 0)
            continue;
        if ((r = sd_bus_wait(bus, deadline - now)) < 0 && r != -EINTR)
            return r;
    }
}

// Writes out everything queued on `bus`, giving up after `timeoutUsec`.
int flushBounded(sd_bus* bus, std::uint64_t timeoutUsec);

// A connection that has authenticated and been welcomed, so that nothing after it waits on sd-bus's own
// (long) setup timeouts; null and a negative errno in `error` on failure.
BusPtr openSystemBus(int* error);

} // namespace bw::bus
