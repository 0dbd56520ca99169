// The tray controller with the system's services in memory: a volume mounted while the agent runs gets
// its daemon through the mount watch, and quitting waits for the worker that is starting protection.

#include "Binwarden_2_MenuAppDelegate.h"
#include "MainController.h"
#include "agent_test_support.h"
#include "fake_protection_services.h"
#include "private_bus.h"
#include "settings/settings.h"
#include "settings_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

using namespace bw;
using bw::test::FakeProtectionServices;
using bw::test::TempDir;
using bw::test::waitUntil;

namespace {

std::string mountLine(int id, const std::string& mountPoint) {
    return std::to_string(id) + " 1 8:1 / " + mountPoint + " rw - ext4 /dev/sdx" + std::to_string(id) + " rw\n";
}

class MainControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        bw::test::agentApplication("main_controller_tests");
        bw::test::enterHome(home);
    }

    void TearDown() override { bw::test::leaveHome(); }

    void writeSettings(const std::vector<VolumeEntry>& volumes) {
        Settings settings = Settings::defaults();
        settings.volumes = volumes;
        settings.updates = false;
        bw::test::writeSettingsFile(settingsFile(), settings);
    }

    std::string settingsFile() const { return home / ".config/com.kor.Binwarden-2.plist"; }

    TempDir home;
    bw::test::PrivateBus bus;
};

} // namespace

TEST_F(MainControllerTest, AVolumeMountedWhileTheAgentRunsGetsItsDaemonWhenProtected) {
    ASSERT_TRUE(bus.ok());
    const std::string table = home / "mountinfo";
    const std::string protectedVolume = home / "media/Protected";
    writeSettings({{"/", true}, {protectedVolume, true}});
    struct Case {
        const char* what;
        bool protectionOn;
        std::string mountPoint;
        bool daemonStarted;
    };
    const Case cases[] = {
        {"a protected volume while protection is on", true, protectedVolume, true},
        {"protection is off", false, protectedVolume, false},
        {"a volume that is not protected", true, home / "media/Other", false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(home / "media");
        bw::test::writeFile(table, mountLine(1, "/"));
        auto services = std::make_unique<FakeProtectionServices>();
        FakeProtectionServices& fake = *services;
        if (c.protectionOn)
            fake.processes = {{"bw2daemon", getuid(), 42}};
        Binwarden_2_MenuAppDelegate delegate;
        MainController controller(&delegate, std::move(services));
        delegate.setMainController(&controller);
        controller.setMountTableFile(table);
        ASSERT_TRUE(controller.awakeFromNib()) << c.what;
        const std::size_t before = fake.launchesSoFar().size();

        // Mounted after the agent started: the folder is there and the table lists it.
        bw::test::makeDirs(c.mountPoint);
        bw::test::writeFile(table, mountLine(1, "/") + mountLine(2, c.mountPoint));
        controller.mountTableChanged();

        auto launches = fake.launchesSoFar();
        ASSERT_EQ(launches.size(), before + (c.daemonStarted ? 1 : 0)) << c.what;
        if (c.daemonStarted) {
            ASSERT_GE(launches.back().size(), 4u);
            EXPECT_EQ(launches.back()[3], c.mountPoint + "/") << c.what;
            EXPECT_TRUE(std::filesystem::is_directory(c.mountPoint + "/.Trash-" + std::to_string(getuid()) + "/files"))
                << c.what;
        }
        // Told again without a change, nothing more starts.
        controller.mountTableChanged();
        EXPECT_EQ(fake.launchesSoFar().size(), launches.size()) << c.what;
        controller.stopWorkers();
    }
}

TEST_F(MainControllerTest, QuittingWaitsForTheWorkerThatIsStartingProtection) {
    ASSERT_TRUE(bus.ok());
    writeSettings({{"/", true}});
    auto services = std::make_unique<FakeProtectionServices>();
    FakeProtectionServices& fake = *services;
    fake.needsRepair = true;              // the start asks for the administrator's repair first
    fake.holdRepairUntilCancelled = true; // and nobody answers
    Binwarden_2_MenuAppDelegate delegate;
    MainController controller(&delegate, std::move(services));
    delegate.setMainController(&controller);
    ASSERT_TRUE(controller.awakeFromNib());

    controller.startStopProtection();
    ASSERT_TRUE(waitUntil([&] { return fake.repairsEntered() == 1; }, 5000));
    EXPECT_EQ(controller.runningWorkers(), 1);
    auto start = std::chrono::steady_clock::now();
    controller.handleQuit();
    // The worker was cancelled and joined before the quit returned, well before the repair's own limit.
    EXPECT_EQ(fake.repairsEnded(), 1);
    EXPECT_EQ(controller.runningWorkers(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The cut-short start launched nothing and did not set the start-at-login flag after the quit.
    EXPECT_TRUE(fake.launchesSoFar().empty());
    EXPECT_FALSE(readProtectionStatusOnStart(settingsFile()));
}
