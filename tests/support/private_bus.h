#pragma once
// A private dbus-daemon for one test: started by the constructor, stopped by its pid in the destructor.
// While it lives, DBUS_SYSTEM_BUS_ADDRESS points at it (for this process and the children it starts), so
// every NotificationBus and every program under test talks to it instead of the real system bus.

#include <sys/types.h>

#include <optional>
#include <string>

namespace bw::test {

class PrivateBus {
public:
    // `configFile` replaces the allow-everything configuration (a test of a bus policy brings its own).
    explicit PrivateBus(const std::string& configFile = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Whether the daemon runs; when it does not, the test has already been failed with the reason.
    bool ok() const { return m_pid > 0; }
    // The address to give sd_bus_set_address / dbus-monitor --address (empty when not ok()).
    const std::string& address() const { return m_address; }
    pid_t pid() const { return m_pid; }

private:
    void stop();

    pid_t m_pid = -1;
    std::string m_dir;
    std::string m_address;
    std::optional<std::string> m_previousAddress;
};

} // namespace bw::test
