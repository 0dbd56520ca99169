// The tray controller offscreen: its menu, tags and enabling, the information block, the start and stop
// requests it obeys, its alerts and quitting, and the two custom views.

#include "BWAlertView.h"
#include "Binwarden_2_MenuAppDelegate.h"
#include "DesktopNotes.h"
#include "InfoMenuView.h"
#include "MainController.h"
#include "agent_strings.h"
#include "agent_test_support.h"
#include "bus/notification_names.h"
#include "detached_launch.h"
#include "fake_notification_server.h"
#include "fake_protection_services.h"
#include "private_bus.h"
#include "settings/settings.h"
#include "settings_file.h"
#include "temp_dir.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <thread>

extern char** environ;

using namespace bw;
using bw::test::TempDir;

namespace {

QApplication& application() {
    return bw::test::agentApplication("menu_ui_tests");
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

// The real process table seen through the processes of this test, launches recorded, the launcher set
// up, real sleeps: the system as the controller would find it, without side effects.
class TestServices : public bw::test::FakeProtectionServices {
public:
    TestServices() { realSleeps = true; }
    bool launch(const std::string&, const std::vector<std::string>& args, std::string*,
                std::function<void(int)>) override {
        ::launches().push_back(args);
        return true;
    }
    std::optional<std::vector<ProcessRecord>> processInfo(const std::string& name) override {
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
    }
    bool daemonRunsFor(const std::string& trashArgument) override {
        return daemonRunsForTrash(getuid(), trashArgument);
    }
};

std::unique_ptr<ProtectionServices> testServices() {
    return std::make_unique<TestServices>();
}

pid_t startFakeProcess(const std::string& folder, const std::string& name) {
    std::string fake = folder + "/" + name;
    std::filesystem::copy_file("/bin/sleep", fake, std::filesystem::copy_options::overwrite_existing);
    chmod(fake.c_str(), 0755);
    pid_t pid = 0;
    char* argv[] = {fake.data(), const_cast<char*>("30"), nullptr};
    if (posix_spawn(&pid, fake.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    ourProcesses().insert(pid);
    // Until the program is executed, the child still carries our name.
    for (int i = 0; i < 100; ++i) {
        auto records = processInfoForDaemonNamed(name);
        if (records && std::any_of(records->begin(), records->end(), [pid](const auto& r) { return r.pid == pid; }))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

pid_t startFakeMainApplication(const std::string& folder) {
    return startFakeProcess(folder, "binwarden2");
}

using bw::test::waitUntil;

// The next alert that comes up is answered by `act`. An alert that `act` does not close within two
// seconds is closed by force, and the answer then says it was stuck.
std::shared_ptr<bool> answerNextAlert(const std::function<void(QMessageBox*)>& act) {
    using Clock = std::chrono::steady_clock;
    auto stuck = std::make_shared<bool>(false);
    auto acted = std::make_shared<QPointer<QMessageBox>>();
    auto since = std::make_shared<Clock::time_point>();
    auto* timer = new QTimer();
    QObject::connect(timer, &QTimer::timeout, [=] {
        auto finish = [timer] {
            timer->stop();
            timer->deleteLater();
        };
        if (*since == Clock::time_point{}) {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            *acted = box;
            *since = Clock::now();
            act(box);
            return;
        }
        if (!*acted || !(*acted)->isVisible())
            return finish();
        if (Clock::now() - *since > std::chrono::seconds(2)) {
            *stuck = true;
            (*acted)->done(0);
            finish();
        }
    });
    timer->start(20);
    return stuck;
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
        bw::test::enterHome(home);
        Settings settings = Settings::defaults();
        settings.volumes = {{"/", true}, {"/media/nowhere", true}};
        settings.updates = false;
        bw::test::writeSettingsFile(home / ".config/com.kor.Binwarden-2.plist", settings);
        bw::test::makeDirs(home / ".Binwarden2Cache/batch");
        bw::test::writeFile(home / ".Binwarden2Cache/batch/ITEM", std::string(1001, 'x'));
    }

    void TearDown() override { bw::test::leaveHome(); }

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

    // The size is walked on a worker; the block shows it once the figure is back on the main thread.
    controller.menuDisplay();
    ASSERT_NE(controller.infoView(), nullptr);
    auto infoHas = [&](const std::string& part) {
        return controller.infoView()->text().toStdString().find(part) != std::string::npos;
    };
    EXPECT_TRUE(waitUntil([&] { return infoHas("Cache size: 1.1 KB"); }, 5000))
        << controller.infoView()->text().toStdString();
    EXPECT_TRUE(infoHas("Protected disks: 2"));
    EXPECT_EQ(controller.menuBarMenu()->actions().last()->data().isValid(), false); // the block comes last

    // The same block as three plain disabled items; offscreen Qt draws the menu, so the drawn block shows.
    QList<QAction*> plain = controller.infoItems();
    ASSERT_EQ(plain.size(), 3);
    EXPECT_EQ(plain[0]->text().toStdString(), localizedString("200_Info in menu title"));
    EXPECT_EQ(plain[1]->text().toStdString(), "Cache size: 1.1 KB");
    EXPECT_EQ(plain[2]->text().toStdString(), "Protected disks: 2");
    controller.validateMenuItems();
    for (QAction* item : plain) {
        EXPECT_FALSE(item->isEnabled()) << item->text().toStdString();
        EXPECT_FALSE(item->isVisible()) << item->text().toStdString();
    }

    // The size is recomputed only after a cache notification, whoever sent it: other users' caches on a
    // shared volume count in the total too.
    bw::test::writeFile(home / ".Binwarden2Cache/batch/MORE", std::string(999, 'y'));
    controller.menuDisplay();
    waitUntil([&] { return controller.runningWorkers() == 0; }, 2000);
    pumpEvents(50);
    EXPECT_TRUE(infoHas("1.1 KB"));
    Notification silent;
    silent.name = notif::kCacheUpdateSilent;
    silent.senderUid = getuid() + 1;
    controller.cacheDidUpdateNotification(silent);
    controller.menuDisplay();
    EXPECT_TRUE(waitUntil([&] { return infoHas("2.1 KB"); }, 5000)) << controller.infoView()->text().toStdString();
    EXPECT_EQ(plain[1]->text().toStdString(), "Cache size: 2.1 KB");

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

TEST_F(MenuUiTest, DismissingAnAlertAnswersItsFirstButton) {
    ASSERT_TRUE(bus.ok());
    enum class Act { Escape, Close, ClickSecond };
    struct Case {
        const char* what;
        bool quitAlert; // else the disk-full alert (one button)
        Act act;
        bool quits;
    };
    const Case cases[] = {
        {"quit confirmation, Escape", true, Act::Escape, false},
        {"quit confirmation, closed", true, Act::Close, false},
        {"quit confirmation, Quit clicked", true, Act::ClickSecond, true},
        {"disk full, Escape", false, Act::Escape, false},
        {"disk full, closed", false, Act::Close, false},
    };
    std::string settingsFile = home / ".config/com.kor.Binwarden-2.plist";
    pid_t daemon = startFakeProcess(home.path(), "bw2daemon"); // protection reads as on
    ASSERT_GT(daemon, 0);
    for (const Case& c : cases) {
        Binwarden_2_MenuAppDelegate delegate;
        MainController controller(&delegate, testServices());
        ASSERT_TRUE(controller.awakeFromNib()) << c.what;
        controller.setAlertsShown(true);
        ASSERT_TRUE(writeProtectionStatusOnStart(settingsFile, false));
        std::shared_ptr<bool> stuck = answerNextAlert([&c](QMessageBox* box) {
            switch (c.act) {
            case Act::Escape:
                QTest::keyClick(box, Qt::Key_Escape);
                break;
            case Act::Close:
                box->close();
                break;
            case Act::ClickSecond:
                for (QAbstractButton* button : box->buttons()) {
                    if (button->text().toStdString() == localizedString("200_Quit BinwardenMenu Quit Button"))
                        button->click();
                }
                break;
            }
        });
        if (c.quitAlert) {
            controller.handleQuit();
        } else {
            Notification full;
            full.name = notif::kDiskFull;
            full.senderUid = 0;
            controller.diskIsFullNotification(full);
        }
        EXPECT_FALSE(*stuck) << c.what << ": the alert did not close";
        // Quitting stops protection and keeps it for the next login; staying changes nothing.
        EXPECT_EQ(controller.protection().cancelled(), c.quits) << c.what;
        EXPECT_EQ(readProtectionStatusOnStart(settingsFile), c.quits) << c.what;
        EXPECT_EQ(controller.protection().protectionStatus(), c.quits ? kStatusOff : kStatusOn) << c.what;
    }
    stopProcess(daemon);
}

TEST_F(MenuUiTest, QuittingWhileAStartWaitsForTheAdministratorDialogEndsPromptly) {
    ASSERT_TRUE(bus.ok());
    // A launcher that is not root's yet, so that the start asks pkexec first; this pkexec never answers.
    std::string launcher = home / "helper";
    bw::test::writeFile(launcher, "#!/bin/sh\n");
    if (getuid() == 0) {
        ASSERT_EQ(chown(launcher.c_str(), 65534, 65534), 0);
    }
    std::string pkexec = home / "pkexec";
    bw::test::writeFile(pkexec, "#!/bin/sh\necho $$ > '" + (home / "pkexec.pid") + "'\nexec sleep 1000\n");
    chmod(pkexec.c_str(), 0755);
    class PkexecServices : public TestServices {
    public:
        explicit PkexecServices(std::string pkexec) : m_pkexec(std::move(pkexec)) {}
        std::string launcherProblem(const std::string&, bool* repairCanFix) override {
            *repairCanFix = true;
            return "the launcher is not root-owned yet";
        }
        RepairOutcome repair(const std::string& helper, const std::atomic<bool>& cancelled, int* status) override {
            return runAdminRepair(m_pkexec, helper, RepairWait{kRepairWaitLimit, &cancelled}, status);
        }

    private:
        std::string m_pkexec;
    };
    std::string settingsFile = home / ".config/com.kor.Binwarden-2.plist";
    launches().clear();
    pid_t pid = 0;
    std::chrono::steady_clock::duration took{};
    {
        Binwarden_2_MenuAppDelegate delegate;
        MainController controller(&delegate, std::make_unique<PkexecServices>(pkexec));
        controller.protection().setLauncherPath(launcher);
        ASSERT_TRUE(controller.awakeFromNib());
        controller.startStopProtection(); // the start runs on a worker and waits for the dialog
        ASSERT_TRUE(waitUntil([&] { return !bw::test::readFile(home / "pkexec.pid").empty(); }, 5000));
        pid = std::stoi(bw::test::readFile(home / "pkexec.pid"));
        EXPECT_EQ(controller.runningWorkers(), 1);
        auto start = std::chrono::steady_clock::now();
        controller.handleQuit();
        took = std::chrono::steady_clock::now() - start; // the controller goes at the end of this scope
    }
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_NE(kill(pid, 0), 0) << "pkexec " << pid << " is still running";
    // The cut-short start launched nothing and did not set the flag again after the quit cleared it.
    EXPECT_TRUE(launches().empty());
    EXPECT_FALSE(readProtectionStatusOnStart(settingsFile));
}

TEST_F(MenuUiTest, QuitAndUpdateRequestsAreObeyedOnlyFromTheUserOrRoot) {
    ASSERT_TRUE(bus.ok());
    Binwarden_2_MenuAppDelegate delegate;
    MainController controller(&delegate, testServices());
    ASSERT_TRUE(controller.awakeFromNib());
    struct Case {
        const char* what;
        std::optional<uid_t> sender;
        bool obeyed;
    };
    const Case cases[] = {
        {"another user", getuid() + 1, false},
        {"unknown sender", std::nullopt, false},
        {"the user", getuid(), true},
        {"root", 0u, true},
    };
    for (const Case& c : cases) {
        controller.protection().setProtectionStatus(kStatusOn);
        Notification quit;
        quit.name = notif::kQuitEverybody;
        quit.senderUid = c.sender;
        controller.quitDaemonForUpdate(quit);
        EXPECT_EQ(controller.protection().protectionStatus(), c.obeyed ? kStatusOff : kStatusOn) << c.what;

        // A forced update check resets the time of the last check; refused, it stays.
        if (!c.obeyed) {
            delegate.setUpdateTime(12345.0);
            Notification update;
            update.name = notif::kNewVersionAvailable;
            update.senderUid = c.sender;
            controller.mainAppSaysUpdate(update);
            EXPECT_EQ(delegate.updateTime(), 12345.0) << c.what;
        }
    }
}

TEST(DesktopNotesTest, AClickedNoteOpensTheApplicationOnceAndIsClosed) {
    application();
    bw::test::PrivateBus session;
    ASSERT_TRUE(session.ok());
    setenv("DBUS_SESSION_BUS_ADDRESS", session.address().c_str(), 1);
    struct Unset {
        ~Unset() { unsetenv("DBUS_SESSION_BUS_ADDRESS"); }
    } unset;
    bw::test::FakeNotificationServer server(QString::fromStdString(session.address()));
    ASSERT_TRUE(server.ok());
    DesktopNotes notes;
    int activations = 0;
    QObject::connect(&notes, &DesktopNotes::activated, [&activations] { ++activations; });
    ASSERT_TRUE(notes.deliver("Binwarden 2", "1 item saved in the cache", "binwarden2"));
    ASSERT_TRUE(notes.deliver("Binwarden 2", "7 items saved in the cache", "binwarden2"));
    ASSERT_EQ(server.delivered().size(), 2);
    uint first = server.delivered()[0], second = server.delivered()[1];

    struct Case {
        const char* what;
        uint id;
        bool expiresFirst;
        bool opens;
    };
    const Case cases[] = {
        {"another program's note", first + 100, false, false},
        {"our note, clicked", first, false, true},
        {"the same note clicked again", first, false, false},
        {"our note, gone before the click", second, true, false},
    };
    for (const Case& c : cases) {
        int activationsBefore = activations;
        auto closedBefore = server.closed().size();
        if (c.expiresFirst) {
            server.expire(c.id);
            pumpEvents(200);
        }
        server.click(c.id);
        if (c.opens) {
            EXPECT_TRUE(waitUntil([&] { return activations > activationsBefore; }, 3000)) << c.what;
            // The clicked note is taken out of the notification centre.
            EXPECT_TRUE(waitUntil([&] { return server.closed().contains(c.id); }, 3000)) << c.what;
        } else {
            pumpEvents(300);
        }
        EXPECT_EQ(activations, activationsBefore + (c.opens ? 1 : 0)) << c.what;
        EXPECT_EQ(server.closed().size(), closedBefore + (c.opens ? 1 : 0)) << c.what;
    }
}
