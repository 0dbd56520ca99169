// bw2ctl notify post / monitor, against a private bus, and what other bus tools see of it.

#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "private_bus.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace {

// A running program whose standard output and error are read through pipes.
class Program {
public:
    explicit Program(std::vector<std::string> args) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Program() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
        close(m_err);
    }
    // Reads until `text` appears on stdout (or stderr) or the timeout; returns everything read so far.
    bool waitFor(bool fromStderr, const std::string& text, int timeoutMs = 5000) {
        std::string& buffer = fromStderr ? m_errText : m_outText;
        const int fd = fromStderr ? m_err : m_out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffer.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0)
                continue;
            char chunk[4096];
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0)
                return buffer.find(text) != std::string::npos;
            buffer.append(chunk, size_t(n));
        }
        return true;
    }
    int wait() {
        int status = -1;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& out() const { return m_outText; }

private:
    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    std::string m_outText, m_errText;
};

std::string bw2ctl() {
    return bw::test::buildDir() + "/bin/bw2ctl";
}

int run(std::vector<std::string> args) {
    Program program(std::move(args));
    return program.wait();
}

} // namespace

TEST(NotifyCommand, MonitorPrintsWhatPostSendsAsJsonLines) {
    bw::test::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    Program monitor({bw2ctl(), "notify", "monitor", "--count", "3", "--timeout", "10"});
    ASSERT_TRUE(monitor.waitFor(true, "listening"));

    EXPECT_EQ(run({bw2ctl(), "notify", "post", "BWNotificationNewDataInCache", "--user-info",
                   R"({"cachePathKey": "/home/u/.Binwarden2Cache", "itemsMovedToCache": 3, "ratio": 2.0,
                       "flags": [true, false], "nested": {"x": -7, "s": "a \"q\" é"}})",
                   "--immediate"}),
              0);
    EXPECT_EQ(
        run({bw2ctl(), "notify", "post", "BWNotificationCacheManagementDone", "--object", "", "--user-info", "{}"}), 0);
    EXPECT_EQ(run({bw2ctl(), "notify", "post", "QUIT_EVERYBODY_NOTIFICATION BW2"}), 0);
    monitor.waitFor(
        false, R"("name": "QUIT_EVERYBODY_NOTIFICATION BW2", "object": null, "userInfo": null, "immediate": false})");
    EXPECT_EQ(monitor.wait(), 0);
    EXPECT_EQ(monitor.out(),
              R"({"name": "BWNotificationNewDataInCache", "object": null, "userInfo": {"cachePathKey": )"
              R"("/home/u/.Binwarden2Cache", "itemsMovedToCache": 3, "ratio": 2.0, "flags": [true, false], )"
              R"("nested": {"x": -7, "s": "a \"q\" é"}}, "immediate": true})"
              "\n"
              R"({"name": "BWNotificationCacheManagementDone", "object": "", "userInfo": {}, "immediate": false})"
              "\n"
              R"({"name": "QUIT_EVERYBODY_NOTIFICATION BW2", "object": null, "userInfo": null, "immediate": false})"
              "\n");
}

TEST(NotifyCommand, MonitorGivesUpAtItsTimeoutAndPostFailsWithoutBus) {
    {
        bw::test::PrivateBus bus;
        ASSERT_TRUE(bus.ok());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run({bw2ctl(), "notify", "monitor", "--count", "1", "--timeout", "0.3"}), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(run({bw2ctl(), "notify", "post", "X", "--user-info", "[1]"}), 2);
        EXPECT_EQ(run({bw2ctl(), "notify", "post", "X", "--user-info", "{\"a\": null}"}), 2);
        EXPECT_EQ(run({bw2ctl(), "notify", "bogus"}), 2);
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bw2-test-bus", 1);
    EXPECT_EQ(run({bw2ctl(), "notify", "post", "BWNotificationDaemonQuits"}), 1);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(NotifyCommand, AVeryLongTimeoutIsNoTimeoutAtAll) {
    bw::test::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    // Microseconds of 1e20 seconds do not fit in 64 bits; the monitor must not take that for "now".
    Program monitor({bw2ctl(), "notify", "monitor", "--count", "1", "--timeout", "1e20"});
    ASSERT_TRUE(monitor.waitFor(true, "listening"));
    EXPECT_EQ(run({bw2ctl(), "notify", "post", "BWNotificationDaemonQuits"}), 0);
    EXPECT_TRUE(monitor.waitFor(false, "BWNotificationDaemonQuits")) << monitor.out();
    EXPECT_EQ(monitor.wait(), 0);
}

TEST(NotifyCommand, DbusMonitorSeesTheNotificationByItsExactName) {
    bw::test::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    Program dbusMonitor({"dbus-monitor", "--address", bus.address(),
                         "type='signal',path='/org/binwarden2/Notifications',"
                         "interface='org.binwarden2.Notifications',member='Notification'"});
    // dbus-monitor announces itself with its own NameAcquired/NameLost signals once it watches.
    ASSERT_TRUE(dbusMonitor.waitFor(false, "NameLost")) << dbusMonitor.out();
    EXPECT_EQ(run({bw2ctl(), "notify", "post", "BWNotificationStopProtection", "--object", "501", "--immediate"}), 0);
    EXPECT_TRUE(dbusMonitor.waitFor(false,
                                    "path=/org/binwarden2/Notifications; interface=org.binwarden2.Notifications; "
                                    "member=Notification\n   string \"BWNotificationStopProtection\"\n"
                                    "   boolean true\n   string \"501\"\n   boolean false\n   array [\n   ]\n"
                                    "   boolean true\n"))
        << dbusMonitor.out();
}

TEST(NotifyCommand, APostedRequestCarriesItsSendersUid) {
    bw::test::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    bw::NotificationBus receiver;
    std::optional<bw::Notification> seen;
    receiver.observe(bw::notif::kDaemonsMustQuit, [&](const bw::Notification& n) {
        seen.emplace();
        seen->object = n.object;
        seen->senderUid = n.senderUid;
    });
    Program poster({bw2ctl(), "notify", "post", bw::notif::kDaemonsMustQuit, "--object", bw::userIdText(getuid())});
    // Receive while the poster still lingers on the bus, as a daemon's main loop would.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!seen && std::chrono::steady_clock::now() < deadline) {
        pollfd p{receiver.fd(), short(receiver.events()), 0};
        poll(&p, 1, 50);
        receiver.process();
    }
    EXPECT_EQ(poster.wait(), 0);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->senderUid, std::optional<uid_t>(getuid()));
    EXPECT_TRUE(bw::requestIsForUser(*seen, getuid()));
}
