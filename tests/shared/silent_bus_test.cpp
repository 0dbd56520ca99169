// A bus that accepts connections and then never answers (a wrong socket, a wedged daemon) must not hold
// a caller forever: every step of the notification bus gives up, logs one line and returns.

#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <systemd/sd-event.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace bw;

namespace {

// Listens on a Unix socket, accepts every connection and keeps it open without ever reading or writing.
class SilentServer {
public:
    explicit SilentServer(const std::string& path) {
        m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_listen, 16) != 0) {
            ADD_FAILURE() << "cannot listen on " << path << ": " << std::strerror(errno);
            return;
        }
        m_thread = std::thread([this] { run(); });
    }
    ~SilentServer() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (int fd : m_accepted)
            close(fd);
        if (m_listen >= 0)
            close(m_listen);
    }
    int accepted() const { return m_count; }

private:
    void run() {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                m_accepted.push_back(fd);
                ++m_count;
            }
        }
    }

    int m_listen = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::vector<int> m_accepted; // the server thread's until it is joined
};

// Runs `step` on this thread; a watchdog ends the whole test program when it has not returned after 20 s,
// so that a hang shows as a failure naming the step rather than as the suite's timeout.
void returns(const char* what, const std::function<void()>& step) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, std::chrono::seconds(20), [&] { return finished; })) {
            std::printf("FAILED: %s did not return against a silent bus\n", what);
            std::fflush(stdout);
            std::abort();
        }
    });
    step();
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    done.notify_one();
    watchdog.join();
}

// The lines the bus logged while `step` ran.
std::vector<std::string> loggedLines(const char* what, const std::function<void()>& step) {
    std::vector<std::string> lines;
    for (std::string& line : bw::test::linesLoggedBy([&] { returns(what, step); }))
        if (line.find("NotificationBus:") != std::string::npos)
            lines.push_back(std::move(line));
    return lines;
}

class SilentBusTest : public testing::Test {
protected:
    void SetUp() override {
        m_previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS") ? std::getenv("DBUS_SYSTEM_BUS_ADDRESS") : "";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + m_socket).c_str(), 1);
    }
    void TearDown() override {
        if (m_previous.empty())
            unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        else
            setenv("DBUS_SYSTEM_BUS_ADDRESS", m_previous.c_str(), 1);
    }

    test::TempDir m_dir{"bw2silent"};
    std::string m_socket = m_dir / "bus";
    SilentServer m_server{m_socket};
    std::string m_previous;
};

} // namespace

TEST_F(SilentBusTest, ObservingGivesUpLogsOnceAndWaitsBeforeAskingAgain) {
    NotificationBus bus;
    auto lines = loggedLines("observe", [&] { bus.observe(notif::kDiskFull, [](const Notification&) {}); });
    EXPECT_EQ(m_server.accepted(), 1) << "the bus was asked once";
    EXPECT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
    EXPECT_EQ(bus.fd(), -1);
    EXPECT_NE(bus.timeoutUsec(), UINT64_MAX) << "asks to be woken for another try";

    // More names (the agent observes eight at start) and the driving loop's steps do not each wait on the
    // silent peer again before its retry is due, nor repeat the line.
    lines = loggedLines("observeAll and process", [&] {
        bus.observe(notif::kCacheManagementDone, [](const Notification&) {});
        bus.observeAll([](const Notification&) {});
        bus.process();
    });
    EXPECT_TRUE(lines.empty()) << testing::PrintToString(lines);
    EXPECT_EQ(m_server.accepted(), 1);
}

TEST_F(SilentBusTest, PostingGivesUpAndSaysSo) {
    NotificationBus bus;
    bool reached = true;
    auto lines = loggedLines(
        "tryPost", [&] { reached = bus.tryPost(notif::kCacheManagementDone, std::string("x"), nullptr, true); });
    EXPECT_FALSE(reached);
    EXPECT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
    EXPECT_EQ(m_server.accepted(), 1);

    // Later posts and checks fail at once instead of each waiting on the silent peer again.
    bool connected = true;
    lines = loggedLines("isConnected and post", [&] {
        connected = bus.isConnected();
        bus.post(notif::kDaemonQuits, std::nullopt, nullptr, false);
    });
    EXPECT_FALSE(connected);
    EXPECT_EQ(lines.size(), 1u) << "the failed post says so: " << testing::PrintToString(lines);
    EXPECT_EQ(m_server.accepted(), 1);
}

TEST_F(SilentBusTest, AnSdEventLoopIsNotHeldEither) {
    sd_event* event = nullptr;
    ASSERT_GE(sd_event_new(&event), 0);
    {
        NotificationBus bus;
        bool attached = true;
        returns("attachEvent", [&] { attached = bus.attachEvent(event); });
        EXPECT_FALSE(attached);
        returns("a step of the loop", [&] { sd_event_run(event, 100'000); });
    }
    sd_event_unref(event);
}
