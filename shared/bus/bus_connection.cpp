#include "bus/bus_connection.h"

#include <time.h>

#include <string>

namespace bw::bus {

namespace {

constexpr char kDefaultSystemBus[] = "unix:path=/run/dbus/system_bus_socket";

// The variable is read here on purpose rather than through sd_bus_open_system: a daemon started through the
// set-uid helper would otherwise ignore it, and the helper sets it only from its trusted configuration.
std::string systemBusAddress() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address && *address ? address : kDefaultSystemBus;
}

} // namespace

std::uint64_t monotonicUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1'000'000 + std::uint64_t(ts.tv_nsec) / 1000;
}

// Writes out everything queued on `bus`, giving up after `timeoutUsec`.
int flushBounded(sd_bus* bus, std::uint64_t timeoutUsec) {
    return waitBounded(bus, timeoutUsec, [bus] {
        std::uint64_t queued = 0;
        const int r = sd_bus_get_n_queued_write(bus, &queued);
        return r < 0 ? r : int(queued == 0);
    });
}

// A connection that has authenticated and been welcomed, so that nothing after it waits on sd-bus's own
// (long) setup timeouts.
BusPtr openSystemBus(int* error) {
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0) {
        *error = r;
        return nullptr;
    }
    BusPtr bus(raw);
    const std::string address = systemBusAddress();
    if ((r = sd_bus_set_address(bus.get(), address.c_str())) < 0 || (r = sd_bus_set_bus_client(bus.get(), 1)) < 0 ||
        (r = sd_bus_set_method_call_timeout(bus.get(), kCallTimeoutUsec)) < 0 || (r = sd_bus_start(bus.get())) < 0 ||
        (r = waitBounded(bus.get(), kConnectTimeoutUsec, [&bus] { return sd_bus_is_ready(bus.get()); })) < 0) {
        *error = r;
        return nullptr;
    }
    return bus;
}

} // namespace bw::bus
