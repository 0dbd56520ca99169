// The private bus fixture that every bus test relies on.

#include "private_bus.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <signal.h>

#include <cerrno>
#include <cstdlib>

TEST(PrivateBus, RunsWhileAliveAndRestoresTheEnvironment) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/before", 1);
    pid_t pid = -1;
    {
        bw::test::PrivateBus bus;
        ASSERT_TRUE(bus.ok());
        pid = bus.pid();
        EXPECT_EQ(bus.address(), std::getenv("DBUS_SYSTEM_BUS_ADDRESS"));

        sd_bus* connection = nullptr;
        ASSERT_GE(sd_bus_new(&connection), 0);
        sd_bus_set_address(connection, bus.address().c_str());
        sd_bus_set_bus_client(connection, 1);
        ASSERT_GE(sd_bus_start(connection), 0);
        const char* unique = nullptr;
        EXPECT_GE(sd_bus_get_unique_name(connection, &unique), 0);
        sd_bus_flush_close_unref(connection);
    }
    EXPECT_STREQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), "unix:path=/nonexistent/before");
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
