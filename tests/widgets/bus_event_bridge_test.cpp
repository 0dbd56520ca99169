// The Qt event loop drives the notification bus through BusEventBridge.

#include "bus_event_bridge.h"
#include "bus/notification_names.h"
#include "private_bus.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

using namespace bw;

namespace {

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "widgets_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    return application;
}

// Runs the event loop until `done` or the timeout.
bool runUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(timeoutMs);
    while (!done() && deadline.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

struct Seen {
    std::string name;
    std::optional<std::string> object;
    std::thread::id thread;
};

} // namespace

TEST(BusEventBridge, DeliversOnTheGuiThreadInArrivalOrder) {
    app();
    test::PrivateBus privateBus;
    ASSERT_TRUE(privateBus.ok());
    NotificationBus bus;
    BusEventBridge bridge(bus);
    std::vector<Seen> seen;
    auto record = [&](const Notification& n) { seen.push_back({n.name, n.object, std::this_thread::get_id()}); };
    // One name observed before the loop runs, one later, as windows load their parts.
    bus.observe(notif::kNewDataInCache, record);
    ASSERT_TRUE(runUntil([&] { return bus.fd() >= 0; }));
    bus.observe(notif::kCacheManagementDone, record);

    std::thread poster([] {
        NotificationBus sender;
        for (int i = 0; i < 5; ++i) {
            sender.post(i % 2 ? notif::kCacheManagementDone : notif::kNewDataInCache, std::to_string(i), nullptr, true);
        }
    });
    poster.join();
    ASSERT_TRUE(runUntil([&] { return seen.size() >= 5; }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(seen[i].object, std::optional<std::string>(std::to_string(i)));
        EXPECT_EQ(seen[i].thread, std::this_thread::get_id());
    }
}

TEST(BusEventBridge, ComesBackWhenTheBusReturns) {
    app();
    // Between the two private buses nothing may fall back to the real system bus.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bw2-test-bus", 1);
    NotificationBus bus;
    BusEventBridge bridge(bus);
    std::vector<Seen> seen;
    auto first = std::make_unique<test::PrivateBus>();
    ASSERT_TRUE(first->ok());
    bus.observe(notif::kDiskFull, [&](const Notification& n) { seen.push_back({n.name, n.object, {}}); });
    bus.post(notif::kDiskFull, std::string("before"), nullptr, true);
    ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));

    first.reset();
    test::PrivateBus second;
    ASSERT_TRUE(second.ok());
    // Programs keep posting; once the bridge has reconnected, the notifications arrive again.
    QTimer repost;
    QObject::connect(&repost, &QTimer::timeout,
                     [&] { bus.post(notif::kDiskFull, std::string("after"), nullptr, true); });
    repost.start(100);
    ASSERT_TRUE(runUntil([&] { return seen.size() >= 2; }, 10000));
    EXPECT_EQ(seen[1].object, std::optional<std::string>("after"));
}
