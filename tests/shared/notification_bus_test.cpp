// The notification bus between processes, against a private dbus-daemon.

#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "private_bus.h"

#include <gtest/gtest.h>
#include <systemd/sd-event.h>

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>
#include <vector>

using namespace bw;

namespace {

std::string xml(plist_t node) {
    if (!node)
        return "(none)";
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &out, &length);
    std::string text(out ? out : "", length);
    free(out);
    return text;
}

// Drives `bus` by hand, the way the Qt bridge does, until `done` or the timeout.
bool pump(NotificationBus& bus, const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        int waitMs = int(std::min<long long>(left.count(), 100));
        const std::uint64_t timeout = bus.timeoutUsec();
        if (timeout != UINT64_MAX) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const std::uint64_t nowUsec = std::uint64_t(now.tv_sec) * 1000000 + std::uint64_t(now.tv_nsec) / 1000;
            waitMs = timeout <= nowUsec ? 0 : int(std::min<std::uint64_t>((timeout - nowUsec) / 1000, waitMs));
        }
        pollfd p{bus.fd(), short(bus.events()), 0};
        if (p.fd >= 0)
            poll(&p, 1, waitMs);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        bus.process();
    }
    return true;
}

// A second process: runs `body` in a child; `body` calls its argument to wait (connected, so that the
// receiver can ask the bus for its credentials) until release().
class Peer {
public:
    explicit Peer(const std::function<void(const std::function<void()>&)>& body) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(fds[1]);
            body([&] {
                char c;
                while (read(fds[0], &c, 1) < 0 && errno == EINTR) {
                }
            });
            _exit(0);
        }
        close(fds[0]);
        m_release = fds[1];
    }
    ~Peer() { release(); }
    // Lets the child exit and returns its exit status.
    int release() {
        if (m_release >= 0) {
            close(m_release);
            m_release = -1;
        }
        int status = -1;
        if (m_pid > 0) {
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_release = -1;
};

struct Sample {
    std::string name;
    std::optional<std::string> object;
    PlistPtr userInfo;
    bool immediate;
};

// Every name with the object and user information it carries, plus the edge cases of each part.
std::vector<Sample> allNames() {
    const std::string me = userIdText(getuid());
    std::vector<Sample> samples;
    auto add = [&](const char* name, std::optional<std::string> object, plist_t info, bool immediate) {
        samples.push_back({name, std::move(object), PlistPtr(info), immediate});
    };
    auto dict = [](std::initializer_list<std::pair<const char*, plist_t>> items) {
        plist_t d = plist_new_dict();
        for (const auto& [key, value] : items)
            plist_dict_set_item(d, key, value);
        return d;
    };

    plist_t settings = dict({{"BWS_cache size limit", plist_new_uint(500)},
                             {"BWS_free space percent", plist_new_real(5.5)},
                             {"BWS_show notes", plist_new_bool(1)},
                             {"BWS_copy mode", plist_new_bool(0)},
                             {"negative", plist_new_uint(uint64_t(-42))},
                             {"huge", plist_new_uint(UINT64_MAX - 1)},
                             {"data", plist_new_data("\0\x01\xff", 3)},
                             {"when", plist_new_date(123456789, 250000)},
                             {"empty text", plist_new_string("")},
                             {"empty list", plist_new_array()},
                             {"empty dict", plist_new_dict()}});
    plist_t volumes = plist_new_array();
    plist_array_append_item(volumes, dict({{"path", plist_new_string("/media/Données ü")}, {"on", plist_new_bool(1)}}));
    plist_array_append_item(volumes, plist_new_uint(7));
    plist_dict_set_item(settings, "volumes", volumes);

    add(notif::kStartProtection, me, nullptr, true);
    add(notif::kStopProtection, me, nullptr, true);
    add(notif::kSettingsUpdated, std::nullopt, settings, true);
    add(notif::kDaemonsMustQuit, me, nullptr, true);
    add(notif::kDaemonsMustStop, me, nullptr, false);
    add(notif::kDaemonQuits, std::nullopt, nullptr, false);
    add(notif::kNewDataInCache, std::nullopt,
        dict({{notif::kCachePathKey, plist_new_string("/home/u/.Binwarden2Cache")},
              {notif::kItemsMovedToCache, plist_new_uint(3)}}),
        true);
    add(notif::kCacheUpdateSilent, std::nullopt,
        dict({{notif::kCachePathKey, plist_new_string("/mnt/x/.Binwarden2Cache/0")}}), true);
    add(notif::kDiskFull, std::string("/mnt/x/.Binwarden2Cache/0"), nullptr, true);
    add(notif::kCacheManagementDone, std::string(""), plist_new_dict(), true); // empty ≠ none
    add(notif::kInfosNeedRefresh, std::nullopt, nullptr, false);
    add(notif::kNewVersionAvailable, std::nullopt,
        dict({{notif::kProductDownloadURLKey, plist_new_string("https://example.org/download")}}), true);
    add(notif::kQuitEverybody, std::nullopt, nullptr, true);
    return samples;
}

} // namespace

TEST(UserIdText, WrittenInDecimalAndReadByItsLeadingValue) {
    EXPECT_EQ(userIdText(501), "501");
    EXPECT_EQ(userIdText(0), "0");
    EXPECT_EQ(userIdText(4294967294u), "4294967294");
    EXPECT_EQ(userIdFromText(std::string("501")), 501);
    EXPECT_EQ(userIdFromText(std::string("501abc")), 501);
    EXPECT_EQ(userIdFromText(std::string("  0042")), 42);
    EXPECT_EQ(userIdFromText(std::string("-1")), -1);
    // No number is nobody, in particular not root.
    EXPECT_EQ(userIdFromText(std::nullopt), std::nullopt);
    EXPECT_EQ(userIdFromText(std::string("")), std::nullopt);
    EXPECT_EQ(userIdFromText(std::string("abc")), std::nullopt);
    EXPECT_EQ(userIdFromText(std::string("99999999999999999999999")), std::nullopt);
}

TEST(RequestIsForUser, NeedsTheUsersIdAndASenderThatIsTheUserOrRoot) {
    Notification n;
    n.name = notif::kStopProtection;
    n.object = "501";
    n.senderUid = 501;
    EXPECT_TRUE(requestIsForUser(n, 501));
    n.senderUid = 0;
    EXPECT_TRUE(requestIsForUser(n, 501));
    n.senderUid = 502;
    EXPECT_FALSE(requestIsForUser(n, 501)) << "another user must not stop this user's protection";
    n.senderUid = std::nullopt;
    EXPECT_FALSE(requestIsForUser(n, 501)) << "unknown sender";
    n.senderUid = 501;
    EXPECT_FALSE(requestIsForUser(n, 502)) << "another user's id";
    n.object = std::nullopt;
    EXPECT_FALSE(requestIsForUser(n, 501)) << "no object";
    n.object = "abc";
    n.senderUid = 0;
    EXPECT_FALSE(requestIsForUser(n, 0)) << "a text without a number is not root's id";
}

class NotificationBusTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_bus.ok()); }
    test::PrivateBus m_bus;
};

TEST_F(NotificationBusTest, TwoProcessesExchangeEveryNameWithItsContents) {
    const auto samples = allNames();
    NotificationBus bus;
    std::vector<Notification> received;
    for (const auto& sample : samples) {
        bus.observe(sample.name, [&](const Notification& n) {
            Notification copy;
            copy.name = n.name;
            copy.object = n.object;
            copy.userInfo = plistCopy(n.userInfo.get());
            copy.immediate = n.immediate;
            copy.senderUid = n.senderUid;
            received.push_back(std::move(copy));
        });
    }
    ASSERT_TRUE(bus.isConnected());

    Peer peer([&](const auto& wait) {
        NotificationBus sender;
        for (const auto& sample : samples)
            sender.post(sample.name, sample.object, sample.userInfo.get(), sample.immediate);
        wait();
    });
    ASSERT_TRUE(pump(bus, [&] { return received.size() >= samples.size(); }));
    EXPECT_EQ(peer.release(), 0);

    ASSERT_EQ(received.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        SCOPED_TRACE(samples[i].name);
        EXPECT_EQ(received[i].name, samples[i].name);
        EXPECT_EQ(received[i].object, samples[i].object);
        EXPECT_EQ(xml(received[i].userInfo.get()), xml(samples[i].userInfo.get()));
        EXPECT_EQ(received[i].immediate, samples[i].immediate);
    }
    // Each knows who sent it, the four requests that carry a user id in particular.
    for (const auto& notification : received)
        EXPECT_EQ(notification.senderUid, std::optional<uid_t>(getuid())) << notification.name;
}

namespace {

// Keeps copies of what a handler saw, with the thread it ran on.
struct Recorder {
    struct Seen {
        std::string name;
        std::optional<std::string> object;
        PlistPtr userInfo;
        std::optional<uid_t> senderUid;
        std::thread::id thread;
    };
    std::vector<Seen> seen;
    NotificationHandler handler() {
        return [this](const Notification& n) {
            seen.push_back({n.name, n.object, plistCopy(n.userInfo.get()), n.senderUid, std::this_thread::get_id()});
        };
    }
    bool has(size_t count) const { return seen.size() >= count; }
};

uint64_t itemsOf(const PlistPtr& info) {
    uint64_t value = UINT64_MAX;
    if (plist_t node = info ? plist_dict_get_item(info.get(), notif::kItemsMovedToCache) : nullptr)
        plist_get_uint_val(node, &value);
    return value;
}

PlistPtr itemsInfo(uint64_t items) {
    PlistPtr info(plist_new_dict());
    plist_dict_set_item(info.get(), notif::kItemsMovedToCache, plist_new_uint(items));
    return info;
}

} // namespace

TEST_F(NotificationBusTest, HandlersRunOnTheDrivingThreadWhateverThreadPosts) {
    NotificationBus bus;
    Recorder recorder;
    bus.observe(notif::kCacheManagementDone, recorder.handler());
    std::thread worker([&] { bus.post(notif::kCacheManagementDone, std::nullopt, nullptr, true); });
    worker.join();
    ASSERT_TRUE(pump(bus, [&] { return recorder.has(1); }));
    EXPECT_EQ(recorder.seen[0].thread, std::this_thread::get_id());
    EXPECT_NE(recorder.seen[0].thread, worker.get_id());
}

TEST_F(NotificationBusTest, FourThreadsPostingAtOnceLoseNothing) {
    NotificationBus poster;
    NotificationBus receiver;
    Recorder recorder;
    receiver.observe(notif::kNewDataInCache, recorder.handler());
    constexpr int kThreads = 4, kEach = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                PlistPtr info = itemsInfo(uint64_t(t) * 1000 + i);
                // Half through a shared bus, half through the receiver's own: both are used from many threads.
                (i % 2 ? poster : receiver).post(notif::kNewDataInCache, std::nullopt, info.get(), true);
            }
        });
    }
    const bool all = pump(receiver, [&] { return recorder.has(kThreads * kEach); });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(all) << recorder.seen.size();
    // Each thread's posts through one bus keep their order (two connections are two posters).
    std::map<std::pair<uint64_t, uint64_t>, int> next;
    for (const auto& seen : recorder.seen) {
        const uint64_t items = itemsOf(seen.userInfo), i = items % 1000;
        int& expected = next[{items / 1000, i % 2}];
        EXPECT_EQ(int(i), expected * 2 + int(i % 2));
        ++expected;
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ((next[{uint64_t(t), 0}] + next[{uint64_t(t), 1}]), kEach);
}

TEST_F(NotificationBusTest, ANotificationPostedWhileNobodyListensIsLost) {
    NotificationBus poster;
    poster.post(notif::kDiskFull, std::string("early"), nullptr, true);
    NotificationBus receiver;
    Recorder recorder;
    receiver.observe(notif::kDiskFull, recorder.handler());
    poster.post(notif::kDiskFull, std::string("late"), nullptr, true);
    ASSERT_TRUE(pump(receiver, [&] { return recorder.has(1); }));
    EXPECT_EQ(recorder.seen[0].object, std::optional<std::string>("late"));
    // The bus delivers in order, so "early" would have come first.
    EXPECT_TRUE(!pump(
        receiver, [&] { return recorder.has(2); }, 200));
}

TEST_F(NotificationBusTest, AnOversizedUserInformationIsDropped) {
    // Any local user may broadcast; a message of a few megabytes of tiny values would otherwise become
    // millions of property-list nodes in every program on the machine, the root daemons included.
    NotificationBus receiver;
    Recorder recorder;
    receiver.observe(notif::kDiskFull, recorder.handler());
    PlistPtr flood(plist_new_dict());
    plist_t items = plist_new_array();
    for (int i = 0; i < 150'000; ++i)
        plist_array_append_item(items, plist_new_bool(1));
    plist_dict_set_item(flood.get(), "items", items);
    NotificationBus poster;
    ASSERT_TRUE(poster.tryPost(notif::kDiskFull, std::string("flood"), flood.get(), true));
    // An ordinary one right behind it still arrives.
    PlistPtr small(plist_new_dict());
    plist_dict_set_item(small.get(), "items", plist_new_uint(3));
    poster.post(notif::kDiskFull, std::string("after"), small.get(), true);
    ASSERT_TRUE(pump(receiver, [&] { return recorder.has(1); }));
    EXPECT_EQ(recorder.seen[0].object, std::optional<std::string>("after"));
    EXPECT_TRUE(!pump(
        receiver, [&] { return recorder.has(2); }, 200));
}

TEST_F(NotificationBusTest, RequestsFromASenderThatAlreadyLeftAreRefused) {
    NotificationBus bus;
    Recorder recorder;
    bus.observe(notif::kStopProtection, recorder.handler());
    ASSERT_TRUE(bus.isConnected());
    Peer peer([](const auto&) {
        NotificationBus sender;
        sender.post(notif::kStopProtection, userIdText(getuid()), nullptr, true);
    });
    EXPECT_EQ(peer.release(), 0); // gone before the receiver looks
    ASSERT_TRUE(pump(bus, [&] { return recorder.has(1); }));
    EXPECT_EQ(recorder.seen[0].senderUid, std::nullopt);
    Notification n;
    n.object = recorder.seen[0].object;
    n.senderUid = recorder.seen[0].senderUid;
    EXPECT_FALSE(requestIsForUser(n, getuid()));
}

TEST_F(NotificationBusTest, HandlersMayPostAndObserveWhileHandling) {
    NotificationBus bus;
    Recorder recorder;
    bus.observe(notif::kStopProtection, [&](const Notification& n) {
        recorder.handler()(n);
        // The agent's reaction to a stop request: the daemons' quit request, observed here too.
        bus.observe(notif::kDaemonsMustQuit, recorder.handler());
        bus.post(notif::kDaemonsMustQuit, n.object, nullptr, true);
    });
    bus.post(notif::kStopProtection, userIdText(getuid()), nullptr, true);
    ASSERT_TRUE(pump(bus, [&] { return recorder.has(2); }));
    EXPECT_EQ(recorder.seen[1].name, notif::kDaemonsMustQuit);
    EXPECT_EQ(recorder.seen[1].senderUid, std::optional<uid_t>(getuid()));
}

TEST_F(NotificationBusTest, SdEventLoopDeliversOnItsThread) {
    sd_event* event = nullptr;
    ASSERT_GE(sd_event_new(&event), 0);
    {
        NotificationBus bus;
        Recorder recorder;
        bus.observe(notif::kDaemonsMustQuit, recorder.handler());
        ASSERT_TRUE(bus.attachEvent(event));
        Peer peer([](const auto& wait) {
            NotificationBus sender;
            sender.post(notif::kDaemonsMustQuit, userIdText(getuid()), nullptr, true);
            sender.post(notif::kDaemonsMustQuit, std::string("second"), nullptr, true);
            wait();
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!recorder.has(2) && std::chrono::steady_clock::now() < deadline)
            sd_event_run(event, 100000);
        peer.release();
        ASSERT_TRUE(recorder.has(2));
        EXPECT_EQ(recorder.seen[0].object, std::optional<std::string>(userIdText(getuid())));
        EXPECT_EQ(recorder.seen[1].object, std::optional<std::string>("second"));
        EXPECT_EQ(recorder.seen[0].senderUid, std::optional<uid_t>(getuid()));
        EXPECT_EQ(recorder.seen[0].thread, std::this_thread::get_id());
    }
    sd_event_unref(event);
}

// Between two private buses, nothing may fall back to the real system bus.
static void pointAtNoBus() {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bw2-test-bus", 1);
}

TEST(NotificationBusWithoutBus, KeepsRunningAndConnectsOnceABusAppears) {
    pointAtNoBus();
    NotificationBus bus;
    Recorder recorder;
    bus.post(notif::kDaemonQuits, std::nullopt, nullptr, false); // logs and returns
    bus.observe(notif::kDaemonQuits, recorder.handler());
    EXPECT_FALSE(bus.isConnected());
    EXPECT_EQ(bus.fd(), -1);
    EXPECT_NE(bus.timeoutUsec(), UINT64_MAX) << "asks to be woken for a retry";
    bus.process();

    test::PrivateBus privateBus;
    ASSERT_TRUE(privateBus.ok());
    EXPECT_TRUE(bus.isConnected());
    ASSERT_TRUE(pump(
        bus, [&] { return bus.fd() >= 0; }, 10000))
        << "the receiving side reconnects by itself";
    bus.post(notif::kDaemonQuits, std::nullopt, nullptr, false);
    EXPECT_TRUE(pump(bus, [&] { return recorder.has(1); }));
}

TEST(NotificationBusRestart, ReconnectsToANewBusAfterTheOldOneWent) {
    pointAtNoBus();
    NotificationBus bus;
    Recorder recorder;
    {
        test::PrivateBus first;
        ASSERT_TRUE(first.ok());
        bus.observe(notif::kInfosNeedRefresh, recorder.handler());
        bus.post(notif::kInfosNeedRefresh, std::string("first"), nullptr, false);
        ASSERT_TRUE(pump(bus, [&] { return recorder.has(1); }));
    }
    test::PrivateBus second;
    ASSERT_TRUE(second.ok());
    // Until the receiver has noticed and reconnected, posts are lost; keep posting like a program would.
    auto lastPost = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    ASSERT_TRUE(pump(
        bus,
        [&] {
            if (std::chrono::steady_clock::now() - lastPost > std::chrono::milliseconds(200)) {
                bus.post(notif::kInfosNeedRefresh, std::string("second"), nullptr, false);
                lastPost = std::chrono::steady_clock::now();
            }
            return recorder.has(2);
        },
        10000));
    EXPECT_EQ(recorder.seen[1].object, std::optional<std::string>("second"));
}

namespace {

// An unprivileged user that exists for one test.
class ThrowawayUser {
public:
    ThrowawayUser() {
        m_name = "bw2bus" + std::to_string(getpid());
        const std::string command = "useradd --system --no-create-home --shell /usr/sbin/nologin " + m_name;
        if (std::system(command.c_str()) != 0)
            return;
        if (const passwd* pw = getpwnam(m_name.c_str())) {
            m_uid = pw->pw_uid;
            m_gid = pw->pw_gid;
        }
    }
    ~ThrowawayUser() {
        if (m_uid) {
            EXPECT_EQ(std::system(("userdel " + m_name).c_str()), 0);
        }
    }
    bool ok() const { return m_uid.has_value(); }
    uid_t uid() const { return *m_uid; }
    // In a child process: become the user for good.
    bool become() const {
        return setgroups(0, nullptr) == 0 && setresgid(m_gid, m_gid, m_gid) == 0 &&
               setresuid(*m_uid, *m_uid, *m_uid) == 0;
    }

private:
    std::string m_name;
    std::optional<uid_t> m_uid;
    gid_t m_gid = 0;
};

} // namespace

TEST_F(NotificationBusTest, AnotherUsersRequestsForSomeoneElseAreRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to post as a throw-away unprivileged user";
    ThrowawayUser user;
    ASSERT_TRUE(user.ok()) << "useradd failed";
    const uid_t other = user.uid();

    NotificationBus bus;
    Recorder recorder;
    bus.observe(notif::kStopProtection, recorder.handler());
    bus.observe(notif::kStartProtection, recorder.handler());
    ASSERT_TRUE(bus.isConnected());
    Peer peer([&](const auto& wait) {
        if (!user.become())
            _exit(3);
        NotificationBus sender;
        sender.post(notif::kStopProtection, userIdText(0), nullptr, true);      // for root: refused
        sender.post(notif::kStartProtection, userIdText(other), nullptr, true); // for itself: obeyed
        wait();
    });
    const bool got = pump(bus, [&] { return recorder.has(2); });
    EXPECT_EQ(peer.release(), 0);
    ASSERT_TRUE(got);

    auto asNotification = [](const Recorder::Seen& seen) {
        Notification n;
        n.name = seen.name;
        n.object = seen.object;
        n.senderUid = seen.senderUid;
        return n;
    };
    EXPECT_EQ(recorder.seen[0].senderUid, std::optional<uid_t>(other));
    EXPECT_FALSE(requestIsForUser(asNotification(recorder.seen[0]), 0));
    EXPECT_TRUE(requestIsForUser(asNotification(recorder.seen[1]), other));
    // Root may ask on behalf of any user; the user may not ask on behalf of root, checked above.
    Notification fromRoot = asNotification(recorder.seen[1]);
    fromRoot.senderUid = 0;
    EXPECT_TRUE(requestIsForUser(fromRoot, other));
}

TEST(NotificationBusRestart, AnSdEventLoopReconnectsByItself) {
    pointAtNoBus();
    sd_event* event = nullptr;
    ASSERT_GE(sd_event_new(&event), 0);
    {
        NotificationBus bus;
        Recorder recorder;
        auto first = std::make_unique<test::PrivateBus>();
        ASSERT_TRUE(first->ok());
        bus.observe(notif::kDaemonsMustStop, recorder.handler());
        ASSERT_TRUE(bus.attachEvent(event));
        first.reset();
        test::PrivateBus second;
        ASSERT_TRUE(second.ok());
        // The daemon's loop keeps running; whoever posts after the reconnection is heard.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!recorder.has(1) && std::chrono::steady_clock::now() < deadline) {
            bus.post(notif::kDaemonsMustStop, std::string("again"), nullptr, false);
            sd_event_run(event, 100000);
        }
        ASSERT_TRUE(recorder.has(1));
        EXPECT_EQ(recorder.seen[0].object, std::optional<std::string>("again"));
    }
    sd_event_unref(event);
}

TEST(NotificationBusRestart, IsConnectedNoticesABusThatWent) {
    pointAtNoBus();
    NotificationBus bus;
    {
        test::PrivateBus privateBus;
        ASSERT_TRUE(privateBus.ok());
        EXPECT_TRUE(bus.isConnected());
    }
    EXPECT_FALSE(bus.isConnected());
}

TEST_F(NotificationBusTest, EachNotificationArrivesOnceWhateverMixOfObservers) {
    // The bus forwards one match per observed name, or one for everything; mixing them never doubles one.
    struct Case {
        const char* what;
        bool allFirst;
    };
    for (const Case& c : {Case{"a name, then everything", false}, Case{"everything, then a name", true}}) {
        SCOPED_TRACE(c.what);
        NotificationBus bus;
        Recorder named, all;
        if (c.allFirst)
            bus.observeAll(all.handler());
        bus.observe(notif::kStopProtection, named.handler());
        if (!c.allFirst)
            bus.observeAll(all.handler());
        bus.post(notif::kStopProtection, std::nullopt, nullptr, true);
        bus.post(notif::kStartProtection, std::nullopt, nullptr, true);
        bus.post(notif::kStopProtection, std::nullopt, nullptr, true);
        ASSERT_TRUE(pump(bus, [&] { return all.has(3); }));
        pump(bus, [] { return false; }, 300); // anything doubled would arrive meanwhile
        EXPECT_EQ(3u, all.seen.size());
        EXPECT_EQ(2u, named.seen.size());
    }
}

TEST_F(NotificationBusTest, AReceiverThatObeysOnlyItsUserDropsOthersOnArrival) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to post as a throw-away unprivileged user";
    ThrowawayUser user;
    ASSERT_TRUE(user.ok()) << "useradd failed";
    NotificationBus strict, open;
    Recorder strictSeen, openSeen;
    strict.acceptOnlyFrom(getuid());
    strict.observe(notif::kDaemonsMustStop, strictSeen.handler());
    open.observe(notif::kDaemonsMustStop, openSeen.handler());
    Peer peer([&](const auto& wait) {
        if (!user.become())
            _exit(3);
        NotificationBus sender;
        for (int i = 0; i < 2; ++i)
            sender.post(notif::kDaemonsMustStop, userIdText(getuid()), nullptr, true);
        wait();
    });
    ASSERT_TRUE(pump(open, [&] { return openSeen.has(2); }));
    // Root's request, posted after the other user's: once it is in, the others' would have been too.
    strict.post(notif::kDaemonsMustStop, userIdText(getuid()), nullptr, true);
    ASSERT_TRUE(pump(strict, [&] { return strictSeen.has(1); }));
    EXPECT_EQ(peer.release(), 0);
    ASSERT_EQ(1u, strictSeen.seen.size());
    EXPECT_EQ(std::optional<uid_t>(0), strictSeen.seen[0].senderUid);
}
