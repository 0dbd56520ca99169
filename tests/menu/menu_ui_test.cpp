// The tray controller offscreen: its menu, tags and enabling, the information block, the start and stop
// requests it obeys, and the two custom views.

#include "BWAlertView.h"
#include "Binwarden_2_MenuAppDelegate.h"
#include "InfoMenuView.h"
#include "MainController.h"
#include "agent_strings.h"
#include "notification_names.h"
#include "private_bus.h"
#include "settings.h"
#include "temp_dir.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

extern char** environ;

using namespace bw;
using bw::test::TempDir;

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "menu_ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void pumpEvents(int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Processes this test started; the controllers under test see only these, so that daemons or programs
// that other tests run at the same time on this machine do not count.
std::set<pid_t>& ourProcesses() {
    static std::set<pid_t> pids;
    return pids;
}

// Launches of the helper the controllers asked for (none is really started).
std::vector<std::vector<std::string>>& launches() {
    static std::vector<std::vector<std::string>> recorded;
    return recorded;
}

ProtectionServices testServices() {
    ProtectionServices services = ProtectionServices::system();
    services.launch = [](const std::string&, const std::vector<std::string>& args, std::string*,
                         std::function<void(int)>) {
        launches().push_back(args);
        return true;
    };
    services.repair = [](const std::string&, int*) { return RepairOutcome::Done; };
    services.launcherProblem = [](const std::string&, bool*) { return std::string(); };
    services.processInfo = [](const std::string& name) -> std::optional<std::vector<ProcessRecord>> {
        auto all = processInfoForDaemonNamed(name);
        std::vector<ProcessRecord> ours;
        if (all) {
            for (const auto& record : *all) {
                if (ourProcesses().count(record.pid))
                    ours.push_back(record);
            }
        }
        if (ours.empty())
            return std::nullopt;
        return ours;
    };
    return services;
}

pid_t startFakeMainApplication(const std::string& folder) {
    std::string fake = folder + "/binwarden2";
    std::filesystem::copy_file("/bin/sleep", fake, std::filesystem::copy_options::overwrite_existing);
    chmod(fake.c_str(), 0755);
    pid_t pid = 0;
    char* argv[] = {fake.data(), const_cast<char*>("30"), nullptr};
    if (posix_spawn(&pid, fake.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    ourProcesses().insert(pid);
    // Until the program is executed, the child still carries our name.
    for (int i = 0; i < 100; ++i) {
        auto records = processInfoForDaemonNamed("binwarden2");
        if (records && std::any_of(records->begin(), records->end(), [pid](const auto& r) { return r.pid == pid; }))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

void stopProcess(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    ourProcesses().erase(pid);
}

bool hasPaintedPixels(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) != 0)
                return true;
        }
    }
    return false;
}

class MenuUiTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        setenv("HOME", home.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        std::filesystem::create_directories(home / ".config");
        Settings settings = Settings::defaults();
        settings.volumes = {{"/", true}, {"/media/nowhere", true}};
        settings.updates = false;
        PlistPtr root(plist_new_dict());
        plist_dict_set_item(root.get(), kSettingsDictKey, settings.toPlist().release());
        char* data = nullptr;
        uint32_t length = 0;
        plist_to_bin(root.get(), &data, &length);
        bw::test::writeFile(home / ".config/com.kor.Binwarden-2.plist", std::string(data, length));
        free(data);
        bw::test::makeDirs(home / ".Binwarden2Cache/batch");
        bw::test::writeFile(home / ".Binwarden2Cache/batch/ITEM", std::string(1001, 'x'));
    }

    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("XDG_DATA_HOME");
    }

    TempDir home;
    bw::test::PrivateBus bus;
};

} // namespace

TEST_F(MenuUiTest, MenuItemsTagsAndInformationBlock) {
    ASSERT_TRUE(bus.ok());
    Binwarden_2_MenuAppDelegate delegate;
    MainController controller(&delegate, testServices());
    delegate.setMainController(&controller);
    ASSERT_TRUE(controller.awakeFromNib());
    EXPECT_TRUE(controller.headless());
    EXPECT_TRUE(std::filesystem::exists(home / ".config/autostart/binwarden2-menu.desktop"));

    for (int tag : {kTagOpen, kTagOpenSettings, kTagStartStop})
        EXPECT_NE(controller.itemWithTag(tag), nullptr) << tag;
    EXPECT_EQ(controller.itemWithTag(kTagStartStop)->text().toStdString(),
              localizedString("200_Menu Start Protection"));

    controller.menuDisplay();
    ASSERT_NE(controller.infoView(), nullptr);
    std::string info = controller.infoView()->text().toStdString();
    EXPECT_NE(info.find("Cache size: 1.1 KB"), std::string::npos) << info;
    EXPECT_NE(info.find("Protected disks: 2"), std::string::npos) << info;
    EXPECT_EQ(controller.menuBarMenu()->actions().last()->data().isValid(), false); // the block comes last

    // The size is recomputed only after a cache notification.
    bw::test::writeFile(home / ".Binwarden2Cache/batch/MORE", std::string(999, 'y'));
    controller.menuDisplay();
    EXPECT_NE(controller.infoView()->text().toStdString().find("1.1 KB"), std::string::npos);
    Notification silent;
    silent.name = notif::kCacheUpdateSilent;
    silent.senderUid = getuid() + 1; // another user's post is ignored
    controller.cacheDidUpdateNotification(silent);
    controller.menuDisplay();
    EXPECT_NE(controller.infoView()->text().toStdString().find("1.1 KB"), std::string::npos);
    silent.senderUid = getuid();
    controller.cacheDidUpdateNotification(silent);
    controller.menuDisplay();
    EXPECT_NE(controller.infoView()->text().toStdString().find("2.1 KB"), std::string::npos);

    controller.validateMenuItems();
    EXPECT_TRUE(controller.itemWithTag(kTagOpen)->isEnabled());
    EXPECT_EQ(controller.itemWithTag(kTagStartStop)->isEnabled(), controller.protection().launcherIsRootOwned());

    QImage image = controller.infoView()->grab().toImage();
    EXPECT_TRUE(hasPaintedPixels(image));
}

TEST_F(MenuUiTest, MainApplicationRunningDisablesEveryItem) {
    ASSERT_TRUE(bus.ok());
    // A process of ours named as the main application.
    pid_t pid = startFakeMainApplication(home.path());
    ASSERT_GT(pid, 0);

    Binwarden_2_MenuAppDelegate delegate;
    MainController controller(&delegate, testServices());
    ASSERT_TRUE(controller.awakeFromNib());
    controller.validateMenuItems();
    for (QAction* action : controller.menuBarMenu()->actions()) {
        if (!action->isSeparator() && action->data().isValid()) {
            EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
        }
    }
    stopProcess(pid);
    controller.validateMenuItems();
    EXPECT_TRUE(controller.itemWithTag(kTagOpen)->isEnabled());
}

TEST_F(MenuUiTest, StartAndStopRequestsOfAnotherUserChangeNothing) {
    ASSERT_TRUE(bus.ok());
    Binwarden_2_MenuAppDelegate delegate;
    MainController controller(&delegate, testServices());
    ASSERT_TRUE(controller.awakeFromNib());
    controller.protection().setProtectionStatusForStartTo(false);
    launches().clear();

    Notification start;
    start.name = notif::kStartProtection;
    start.object = std::to_string(getuid() + 1);
    start.senderUid = getuid() + 1;
    controller.startProtectionNotification(start);
    EXPECT_TRUE(launches().empty());
    EXPECT_FALSE(controller.protection().protectionStatusForStart());
    EXPECT_EQ(controller.itemWithTag(kTagStartStop)->text().toStdString(),
              localizedString("200_Menu Start Protection"));

    // Our own request is obeyed: a daemon is launched for the home trash and the title follows.
    start.object = std::to_string(getuid());
    start.senderUid = getuid();
    controller.startProtectionNotification(start);
    EXPECT_EQ(launches().size(), 1u);
    EXPECT_TRUE(controller.protection().protectionStatusForStart());
    EXPECT_EQ(controller.itemWithTag(kTagStartStop)->text().toStdString(), localizedString("200_Menu Stop Protection"));

    Notification stop;
    stop.name = notif::kStopProtection;
    stop.object = std::to_string(getuid());
    stop.senderUid = getuid();
    controller.stopProtectionNotification(stop);
    pumpEvents(50);
    EXPECT_FALSE(controller.protection().protectionStatusForStart());
    EXPECT_EQ(controller.itemWithTag(kTagStartStop)->text().toStdString(),
              localizedString("200_Menu Start Protection"));
}

TEST_F(MenuUiTest, ProtectionResumesAtLoginUnlessTheMainApplicationRuns) {
    ASSERT_TRUE(bus.ok());
    std::string settingsFile = home / ".config/com.kor.Binwarden-2.plist";
    ASSERT_TRUE(writeProtectionStatusOnStart(settingsFile, true));
    launches().clear();
    {
        Binwarden_2_MenuAppDelegate delegate;
        MainController controller(&delegate, testServices());
        ASSERT_TRUE(controller.awakeFromNib());
        EXPECT_EQ(controller.protection().protectionStatus(), kStatusOn);
        EXPECT_EQ(controller.itemWithTag(kTagStartStop)->text().toStdString(),
                  localizedString("200_Menu Stop Protection"));
        EXPECT_TRUE(readProtectionStatusOnStart(settingsFile));
        // "/" is protected and /media/nowhere is not mounted: one daemon, for the home trash.
        ASSERT_EQ(launches().size(), 1u);
        EXPECT_EQ(launches()[0].at(2), home.path() + "/.local/share/Trash/files/");
    }

    pid_t pid = startFakeMainApplication(home.path());
    ASSERT_GT(pid, 0);
    {
        Binwarden_2_MenuAppDelegate delegate;
        MainController controller(&delegate, testServices());
        ASSERT_TRUE(controller.awakeFromNib());
        EXPECT_EQ(controller.itemWithTag(kTagStartStop)->text().toStdString(),
                  localizedString("200_Menu Start Protection"));
        EXPECT_EQ(launches().size(), 1u);
        // Quitting with protection off clears the flag.
        controller.handleQuit();
        EXPECT_FALSE(readProtectionStatusOnStart(settingsFile));
    }
    stopProcess(pid);
}

TEST(MenuViews, InfoBlockAndNoteViewDraw) {
    application();
    InfoMenuView view;
    view.resize(300, 10);
    EXPECT_TRUE(view.text().isEmpty());
    view.setText("Binwarden 2", "Cache size: 1 MB\nProtected disks: 1");
    EXPECT_EQ(view.text(), "Binwarden 2\nCache size: 1 MB\nProtected disks: 1");
    EXPECT_GT(view.height(), 30);
    view.setText("", "");
    EXPECT_FALSE(view.text().isEmpty()); // an empty text keeps the last one

    Binwarden_2_MenuAppDelegate delegate;
    MainController controller(&delegate, testServices()); // registers the icons
    BWAlertView note;
    note.resize(200, 64);
    EXPECT_FALSE(note.hasIcon());
    note.setIconPath(":/icons/binwarden2.svg");
    EXPECT_TRUE(note.hasIcon());
    note.setIconPath("");
    EXPECT_FALSE(note.hasIcon());
    note.setText("7 items saved in the cache");
    EXPECT_TRUE(hasPaintedPixels(note.grab().toImage()));
}
