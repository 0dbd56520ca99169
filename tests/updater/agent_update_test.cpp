// The agent's own updater: one check for each "a newer version exists" it is told of, and never an
// announcement of its own that would make it check again without end.

#include "Binwarden_2_MenuAppDelegate.h"
#include "MainController.h"
#include "PXUpdater.h"
#include "PXUpdaterController.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "fake_protection_services.h"
#include "loopback_server.h"
#include "private_bus.h"
#include "settings/settings.h"
#include "settings_file.h"
#include "temp_dir.h"

#include <QApplication>
#include <QDialog>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace bw;
using bw::test::TempDir;

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "updater_agent_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void pump(int milliseconds, NotificationBus& bus) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        bus.process();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// No helper is launched and only processes of this test count.
std::unique_ptr<ProtectionServices> quietServices() {
    auto services = std::make_unique<bw::test::FakeProtectionServices>();
    services->realSleeps = true;
    return services;
}

} // namespace

TEST(AgentUpdater, OneCheckPerAnnouncementAndNoAnnouncementOfItsOwn) {
    application();
    TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    std::filesystem::create_directories(home / ".config");
    for (bool updates : {false, true}) {
        SCOPED_TRACE(updates ? "updates on: the agent offers" : "updates off: the agent may not offer");
        Settings settings = Settings::defaults();
        settings.updates = updates;
        bw::test::writeSettingsFile(home / ".config/com.kor.Binwarden-2.plist", settings);

        bw::test::PrivateBus privateBus;
        ASSERT_TRUE(privateBus.ok());
        bw::test::LoopbackServer server;
        server.setRoute("/update.php", {bw::test::LoopbackServer::compressed(
                                           "9.0;1;https://www.example.org/;https://www.example.org/a.tar.gz")});
        NotificationBus listener;
        int announcements = 0;
        listener.observe(notif::kNewVersionAvailable, [&](const Notification&) { ++announcements; });

        Binwarden_2_MenuAppDelegate delegate;
        MainController controller(&delegate, quietServices());
        delegate.setMainController(&controller);
        ASSERT_TRUE(controller.awakeFromNib());
        PXUpdater& updater = controller.softwareUpdater();
        updater.setScriptURL(server.url("/update.php"));
        updater.setAlertPresenter([](const QString&, const QString&, const QString&) {});
        updater.setURLOpener([](const std::string&) {});

        // Told twice (as the main application does after each of its checks): two checks, no more.
        for (int round = 1; round <= 2; ++round) {
            ASSERT_TRUE(listener.tryPost(notif::kNewVersionAvailable, std::nullopt, nullptr, true));
            pump(1500, listener);
            EXPECT_EQ(server.requests().size(), static_cast<size_t>(round)) << "round " << round;
            EXPECT_EQ(announcements, round) << "only the test's own announcements";
        }
        EXPECT_EQ(updater.windowController() && updater.windowController()->updateWaningWin()->isVisible(), updates);
        if (updater.windowController())
            updater.windowController()->updateWaningWin()->hide();
    }
}
