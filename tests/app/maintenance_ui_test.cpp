// The window's maintenance commands offscreen: the delete-all and uninstall alerts (Cancel, Escape and
// the close button change nothing and post nothing), delete-all confirmed from the menu, a folder that
// will not go listed in one alert, the uninstall's closing report, and the four answers to the question
// about the first version's caches on Start. Requests are watched on the private system bus.

#include "Binwarden_2AppDelegate.h"
#include "InfosController.h"
#include "MainController.h"
#include "PXProgressSheet.h"
#include "app_test_support.h"
#include "store/cache_index.h"
#include "maintenance_strings.h"
#include "bus/notification_names.h"
#include "pinned_file.h"
#include "secret_service.h"
#include "start_stop_button.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace bw;
using namespace bw::test;
namespace fs = std::filesystem;

namespace {

[[maybe_unused]] auto* const kSecretEnvironment = ::testing::AddGlobalTestEnvironment(new SecretServiceEnvironment);

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.push_back(entry.path().filename());
    return names;
}

// writeFile, making the folders on the way first.
void putFile(const std::string& path, const std::string& content) {
    makeDirs(path.substr(0, path.rfind('/')));
    writeFile(path, content);
}

// How an alert is answered: a button by its position, or dismissed.
enum class Dismiss { Button, Escape, Close };

struct SeenAlert {
    bool shown = false;
    QString text;
    QString informative;
    QStringList buttons;
};

// Answers the next modal alert as told, noting what it showed.
void answerNextAlert(SeenAlert& seen, int index, Dismiss how = Dismiss::Button) {
    auto* timer = new QTimer();
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, &seen, index, how] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        seen.shown = true;
        seen.text = box->text();
        seen.informative = box->informativeText();
        for (QAbstractButton* button : box->buttons())
            seen.buttons << button->text();
        if (how == Dismiss::Escape) {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(box, &escape);
        } else if (how == Dismiss::Close) {
            box->close();
        } else {
            for (QAbstractButton* button : box->buttons()) {
                if (button->property("bwAlertIndex").toInt() == index)
                    button->click();
            }
        }
    });
    timer->start();
}

// A second connection to the private system bus that records what the window posts.
class BusMonitor {
public:
    BusMonitor() {
        for (const char* name :
             {notif::kStopProtection, notif::kStartProtection, notif::kInfosNeedRefresh, notif::kCacheManagementDone})
            m_bus.observe(name, [this](const Notification& n) {
                names.push_back(n.name);
                objects.push_back(n.object);
            });
        pumpFor(300); // the matches are in place before anything is posted
    }
    bool pumpUntil(const std::function<bool()>& condition, int milliseconds = 5000) {
        return bw::test::pumpUntil(
            [&] {
                pollfd p{m_bus.fd(), static_cast<short>(m_bus.events()), 0};
                poll(&p, 1, 5);
                m_bus.process();
                return condition();
            },
            milliseconds);
    }
    void pumpFor(int milliseconds) {
        pumpUntil([] { return false; }, milliseconds);
    }
    int count(const std::string& name) const { return static_cast<int>(std::count(names.begin(), names.end(), name)); }

    std::vector<std::string> names;
    std::vector<std::optional<std::string>> objects;

private:
    NotificationBus m_bus;
};

class MaintenanceUi : public ::testing::Test, public WindowFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(systemBus.ok());
        ASSERT_TRUE(SecretServiceEnvironment::service && SecretServiceEnvironment::service->ok());
        processes.push_back({kAgentProcess, getuid(), 4242});     // this user's agent runs
        processes.push_back({kAgentProcess, getuid() + 1, 4343}); // and another user's
    }

    QAction* menuCommand(const char* name) { return controller->window()->findChild<QAction*>(name); }
};

} // namespace

TEST_F(MaintenanceUi, CancellingEitherAlertChangesNothingAndPostsNothing) {
    const std::string cache = home / ".Binwarden2Cache/2026-12-06 09_05 +0100/item";
    const std::string prefs = home / ".config/com.kor.Binwarden-2-Menu.plist";
    putFile(prefs, "<plist/>");
    makeDirs(home / "install/bin");
    BusMonitor monitor;
    launch();
    makeDirs(home / ".Binwarden2Cache/2026-12-06 09_05 +0100");
    putFile(cache, "kept");

    struct Case {
        const char* command;
        const char* safeButtonKey;
        Dismiss how;
    } cases[] = {
        {"deleteAllCaches", "200_Delete Item Alert Cancel Button", Dismiss::Button},
        {"deleteAllCaches", "200_Delete Item Alert Cancel Button", Dismiss::Escape},
        {"deleteAllCaches", "200_Delete Item Alert Cancel Button", Dismiss::Close},
        {"uninstallBinwarden", "200_Uninstall Cancel", Dismiss::Button},
        {"uninstallBinwarden", "200_Uninstall Cancel", Dismiss::Escape},
        {"uninstallBinwarden", "200_Uninstall Cancel", Dismiss::Close},
    };
    QSignalSpy uninstalled(controller.get(), &MainController::uninstallDidEnd);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " dismissed as " + std::to_string(static_cast<int>(c.how)));
        SeenAlert seen;
        answerNextAlert(seen, 0, c.how);
        menuCommand(c.command)->trigger();
        ASSERT_TRUE(seen.shown);
        ASSERT_EQ(seen.buttons.size(), 2);
        EXPECT_EQ(seen.buttons[0].toStdString(), maintenanceString(c.safeButtonKey)); // Cancel comes first
        EXPECT_FALSE(controller->progressSheet()->isBusy());
        EXPECT_FALSE(controller->progressSheet()->genericProgressWin()->isVisible());
    }
    monitor.pumpFor(500);
    EXPECT_TRUE(monitor.names.empty());
    EXPECT_TRUE(exists(cache));
    EXPECT_TRUE(exists(prefs));
    EXPECT_TRUE(signalled().empty());
    EXPECT_EQ(uninstalled.count(), 0);
}

TEST_F(MaintenanceUi, DeleteAllFromTheMenuRemovesTheHomeCachePostingTheStopRequestFirst) {
    BusMonitor monitor;
    launch();
    const std::string batch = home / ".Binwarden2Cache/2026-12-06 09_05 +0100";
    makeDirs(batch + "/folder");
    putFile(batch + "/folder/item", "x");
    putFile(batch + "/CacheIndex.bw2idx", "x");
    // Another user's cache beside this user's home is not this command's business.
    makeDirs(home / "other/.Binwarden2Cache/batch");
    userHomes.push_back(home / "other");

    QSignalSpy finished(controller.get(), &MainController::deleteAllCachesDidEnd);
    SeenAlert seen;
    answerNextAlert(seen, 1);
    menuCommand("deleteAllCaches")->trigger();
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.text.toStdString(), maintenanceString(deleteAllCachesAlert().titleKey));
    ASSERT_TRUE(pumpUntil([&] { return finished.count() == 1; }, 10000));

    EXPECT_FALSE(exists(home / ".Binwarden2Cache"));
    EXPECT_TRUE(exists(home / "other/.Binwarden2Cache/batch"));
    EXPECT_EQ(controller->lastRemovalReport().removed, std::vector<std::string>{home / ".Binwarden2Cache"});
    EXPECT_FALSE(controller->progressSheet()->genericProgressWin()->isVisible());
    ASSERT_TRUE(monitor.pumpUntil([&] { return monitor.names.size() >= 3; }));
    EXPECT_EQ(monitor.names, (std::vector<std::string>{notif::kStopProtection, notif::kInfosNeedRefresh,
                                                       notif::kCacheManagementDone}));
    EXPECT_EQ(monitor.objects[0], std::to_string(getuid()));
    EXPECT_TRUE(signalled().empty()); // deleting caches leaves the agent running
}

TEST_F(MaintenanceUi, AFolderThatCannotBeRemovedIsListedInOneAlert) {
    launch();
    const std::string volume = addVolume("Stuck");
    const std::string mine = volume + "/.Binwarden2Cache/" + std::to_string(getuid());
    makeDirs(mine + "/batch");
    putFile(mine + "/batch/item", "pinned");
    makeDirs(home / ".Binwarden2Cache/batch");
    auto undo = pinDown(mine + "/batch/item");
    if (!undo)
        GTEST_SKIP() << "this file system has no immutable flag";

    QSignalSpy finished(controller.get(), &MainController::deleteAllCachesDidEnd);
    SeenAlert confirm, leftBehind;
    answerNextAlert(confirm, 1);
    menuCommand("deleteAllCaches")->trigger();
    answerNextAlert(leftBehind, 0);
    bool done = pumpUntil([&] { return finished.count() == 1; }, 15000);
    undo();
    ASSERT_TRUE(done);

    ASSERT_TRUE(leftBehind.shown);
    EXPECT_EQ(leftBehind.text.toStdString(), maintenanceString(leftBehindAlert().titleKey));
    EXPECT_TRUE(leftBehind.informative.contains(QString::fromStdString(mine))) << leftBehind.informative.toStdString();
    EXPECT_FALSE(exists(home / ".Binwarden2Cache"));
    EXPECT_TRUE(exists(mine + "/batch/item"));
    // The wait on a folder that will not go is bounded: 10 s, plus the two 0.1 s pauses after posting.
    EXPECT_LE(slept(), std::chrono::milliseconds(10200));
}

TEST_F(MaintenanceUi, UninstallRemovesWhatItMayReportsTheProgramsFateAndQuitsWithoutTheAgent) {
    // An install tree owned by root: left to the one command that removes it.
    makeDirs(home / "install/bin");
    makeDirs(home / "install/libexec/binwarden2");
    for (const char* program : {"binwarden2", "binwarden2-menu", "bw2ctl"})
        putFile(home / ("install/bin/" + std::string(program)), "#!/bin/sh\n");
    launch();
    makeDirs(home / ".Binwarden2Cache/batch");
    putFile(home / ".config/com.kor.Binwarden-2.plist", "<plist/>");
    putFile(home / ".config/com.kor.Binwarden-2-Menu.plist", "<plist/>");
    putFile(home / ".config/autostart/binwarden2-menu.desktop",
            "[Desktop Entry]\nType=Application\nExec=" + (home / "install/bin/binwarden2-menu") + "\n");

    QSignalSpy ended(controller.get(), &MainController::uninstallDidEnd);
    SeenAlert confirm, report;
    answerNextAlert(confirm, 1);
    menuCommand("uninstallBinwarden")->trigger();
    ASSERT_TRUE(confirm.shown);
    EXPECT_EQ(confirm.buttons[1].toStdString(), maintenanceString("200_Uninstall Button"));
    answerNextAlert(report, 0);
    ASSERT_TRUE(pumpUntil([&] { return ended.count() == 1; }, 10000));

    ASSERT_TRUE(report.shown);
    EXPECT_EQ(report.text.toStdString(), maintenanceString(uninstallDoneAlert().titleKey));
    const UninstallReport& done = controller->lastUninstallReport();
    if (getuid() == 0) {
        EXPECT_EQ(done.fate, ProgramFate::LeftForPackageManager);
        EXPECT_TRUE(report.informative.contains(QString::fromStdString(done.removalCommand)));
        EXPECT_TRUE(report.informative.contains(QString::fromStdString(home / "install")));
    }
    EXPECT_FALSE(exists(home / ".Binwarden2Cache"));
    EXPECT_FALSE(exists(home / ".config/com.kor.Binwarden-2.plist"));
    EXPECT_FALSE(exists(home / ".config/com.kor.Binwarden-2-Menu.plist"));
    EXPECT_FALSE(exists(home / ".config/autostart/binwarden2-menu.desktop"));
    EXPECT_EQ(signalled(), std::vector<pid_t>{4242}); // this user's agent only

    // Nothing writes the preferences again on the way out, and the quit does not start the agent.
    controller->window()->resize(controller->window()->size() + QSize(40, 40));
    controller->flushFrames();
    EXPECT_FALSE(exists(home / ".config/com.kor.Binwarden-2.plist"));
}

TEST_F(MaintenanceUi, TheFirstVersionQuestionOnStartDoesWhatEachAnswerSays) {
    using A = Version1Answer;
    struct Case {
        A answer;
        Dismiss how;
        bool version1Stays;
        bool batchMade;
        int startRequests;
    } cases[] = {
        {A::Delete, Dismiss::Button, false, false, 2}, {A::Convert, Dismiss::Button, false, true, 2},
        {A::Ignore, Dismiss::Button, true, false, 1},  {A::Cancel, Dismiss::Button, true, false, 0},
        {A::Cancel, Dismiss::Escape, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        // Each answer on a fresh window and home.
        controller.reset();
        delegate.reset();
        std::error_code ec;
        fs::remove_all(home / ".Binwarden2Cache", ec);
        for (const char* sub : {"one", "two"}) {
            for (const char* item : {"a.x_txt", "b.x_.pdf", "c"})
                putFile(home / (".TrashCacheFolder/" + std::string(sub) + "/" + item + std::string(sub)), "v1");
        }
        putFile(home / ".config/autostart/BinwardenMenuExtra.desktop", "[Desktop Entry]\nExec=/nowhere\n");
        BusMonitor monitor;
        launch();
        InfosController* infos = controller->infosController();
        QSignalSpy migrated(infos, &InfosController::version1MigrationDidEnd);

        SeenAlert seen;
        answerNextAlert(seen, static_cast<int>(c.answer), c.how);
        infos->startStopButton()->click();
        ASSERT_TRUE(seen.shown);
        ASSERT_EQ(seen.buttons.size(), 4);
        if (c.answer == A::Delete || c.answer == A::Convert) {
            ASSERT_TRUE(pumpUntil([&] { return migrated.count() == 1; }, 15000));
        }
        monitor.pumpUntil([&] { return monitor.count(notif::kStartProtection) >= c.startRequests; }, 3000);
        monitor.pumpFor(300);

        EXPECT_EQ(monitor.count(notif::kStartProtection), c.startRequests);
        EXPECT_EQ(exists(home / ".TrashCacheFolder"), c.version1Stays);
        EXPECT_EQ(infos->deleteVersion1(), c.answer == A::Delete);
        std::vector<std::string> batches = entriesOf(home / ".Binwarden2Cache");
        EXPECT_EQ(batches.size(), c.batchMade ? 1u : 0u);
        if (c.batchMade && batches.size() == 1) {
            auto index = readCacheIndex(home / (".Binwarden2Cache/" + batches[0]));
            ASSERT_TRUE(index && index->indexTable());
            EXPECT_EQ(index->indexTable()->size(), 6u);
            for (const auto& [uuid, entry] : *index->indexTable())
                EXPECT_EQ(entry.realName.find(".x_"), std::string::npos) << entry.realName;
        }
        if (c.answer == A::Cancel) {
            // The button comes back at the next tick.
            EXPECT_FALSE(infos->startStopButton()->isEnabled());
            infos->refreshTimer();
            EXPECT_TRUE(infos->startStopButton()->isEnabled());
        } else {
            EXPECT_NE(infos->protectionStatus(), InfosController::kNoRequest);
        }
        if (c.answer == A::Delete || c.answer == A::Convert) {
            EXPECT_FALSE(exists(home / ".config/autostart/BinwardenMenuExtra.desktop"));
        }
        fs::remove_all(home / ".TrashCacheFolder", ec);
    }
}

TEST_F(MaintenanceUi, ARunningFirstVersionMenuIsStoppedOrTheWindowQuits) {
    enum { kStop = 0, kQuit = 1 };
    struct Case {
        int answer;
        Dismiss how;
        bool stopped;
    } cases[] = {{kStop, Dismiss::Button, true}, {kQuit, Dismiss::Button, false}, {kQuit, Dismiss::Escape, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.answer) + " " + std::to_string(static_cast<int>(c.how)));
        controller.reset();
        delegate.reset();
        processes = {
            {"BinwardenMenuEx", getuid(), 5151}, {"Binwarden", getuid(), 5252}, {kAgentProcess, getuid(), 4242}};
        const std::string entry = home / ".config/autostart/BinwardenMenuExtra.desktop";
        putFile(entry, "[Desktop Entry]\nExec=/nowhere/BinwardenMenuExtra\n");
        std::size_t signalledBefore = signalled().size();

        SeenAlert seen;
        answerNextAlert(seen, c.answer, c.how);
        launch();
        ASSERT_TRUE(seen.shown);
        EXPECT_EQ(seen.text.toStdString(), maintenanceString(version1OnLaunchAlert().titleKey));
        std::vector<pid_t> now = signalled();
        std::vector<pid_t> sent(now.begin() + static_cast<long>(signalledBefore), now.end());
        // Only the menu: the first version's application itself is not signalled here.
        EXPECT_EQ(sent, c.stopped ? std::vector<pid_t>{5151} : std::vector<pid_t>{});
        EXPECT_EQ(exists(entry), !c.stopped);
    }
}

TEST_F(MaintenanceUi, AtANewVersionsFirstLaunchTheAgentsLoginEntriesGoUnlessTheAgentRuns) {
    struct Case {
        bool agentRuns;
        bool entriesGo;
    } cases[] = {{false, true}, {true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.agentRuns);
        controller.reset();
        delegate.reset();
        processes.clear();
        if (c.agentRuns)
            processes.push_back({kAgentProcess, getuid(), 4242});
        const std::string agent = context->agentPath();
        const std::string named = home / ".config/autostart/binwarden2-menu.desktop";
        const std::string copy = home / ".config/autostart/my binwarden copy.desktop";
        const std::string other = home / ".config/autostart/other.desktop";
        putFile(named, "[Desktop Entry]\nExec=/old/install/bin/binwarden2-menu\n");
        putFile(copy, "[Desktop Entry]\nExec=\"" + agent + "\"\n");
        putFile(other, "[Desktop Entry]\nExec=/usr/bin/other-tool\n");
        putFile(settingsFile(), ""); // a settings file without "FirstLaunch": a new version
        forgetLaunches();
        launch();
        // After the first launch's 2 s pause.
        ASSERT_TRUE(pumpUntil(
            [&] {
                return c.agentRuns ? readFile(named).find(agent) != std::string::npos
                                   : !exists(named) && !launched().empty();
            },
            8000));
        EXPECT_EQ(exists(copy), !c.entriesGo);
        EXPECT_TRUE(exists(other));
    }
}
