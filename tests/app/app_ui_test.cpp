// The main window offscreen: first launch, per-tab frames, the marker file, the Recovery password sheet,
// the settings panel (volume table, Save buttons, saving and its broadcast, password on and off), the
// filter editor and the Information tab. The keychain is a real Secret Service on a private session bus.

#include "Binwarden_2AppDelegate.h"
#include "InfosController.h"
#include "MainController.h"
#include "PXFiltersController.h"
#include "PXUpdater.h"
#include "PXUpdaterController.h"
#include "SettingsController.h"
#include "app_strings.h"
#include "app_test_support.h"
#include "app_version.h"
#include "bus/notification_names.h"
#include "loopback_server.h"
#include "password_sheet.h"
#include "secret_service.h"
#include "start_stop_button.h"
#include "tab_button.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

extern char** environ;

using namespace bw;
using namespace bw::test;
namespace fs = std::filesystem;

namespace {

[[maybe_unused]] auto* const kSecretEnvironment = ::testing::AddGlobalTestEnvironment(new SecretServiceEnvironment);

class AppUi : public ::testing::Test, public WindowFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(systemBus.ok());
        ASSERT_TRUE(SecretServiceEnvironment::service && SecretServiceEnvironment::service->ok())
            << (SecretServiceEnvironment::service ? SecretServiceEnvironment::service->error() : "");
    }

    void press(int tag) { controller->tabButton(tag)->click(); }
    std::vector<bool> buttonStates() const {
        std::vector<bool> states;
        for (int tag = 0; tag < 4; ++tag)
            states.push_back(controller->tabButton(tag)->state());
        return states;
    }
    SettingsController& settings() { return *controller->settingController(); }
};

const std::vector<bool> kOnly[4] = {
    {true, false, false, false}, {false, true, false, false}, {false, false, true, false}, {false, false, false, true}};

} // namespace

TEST_F(AppUi, FirstLaunchOpensTheInformationTabAtMinimumSizeAndLaunchesTheAgent) {
    MainController& main = launch();
    EXPECT_EQ(main.selectedTab(), 1);
    EXPECT_EQ(buttonStates(), kOnly[0]);
    EXPECT_EQ(main.window()->size(), main.minimumWindowSize());
    EXPECT_FALSE(main.isResizable());
    EXPECT_TRUE(main.window()->isVisible());
    // The settings file holds the defaults.
    auto stored = loadSettings(settingsFile());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->volumes.size(), 1u);
    EXPECT_TRUE(fs::is_directory(context->supportFolder));
    // No agent runs: after the first-launch pauses it is launched once and the version recorded.
    EXPECT_TRUE(pumpUntil([&] { return launched().size() == 1; }, 10000));
    ASSERT_FALSE(launched().empty());
    EXPECT_EQ(launched().front().front(), context->agentPath());
    EXPECT_EQ(context->store.integerValue(kFirstLaunchKey), APPVersion());
}

TEST_F(AppUi, ARunningAgentIsNotLaunchedAgainAndTheVersionStaysUnrecorded) {
    processes.push_back({kAgentProcess, getuid(), 4242});
    context->store.registerDefaults();
    launch();
    pumpEvents(2500);
    EXPECT_TRUE(launched().empty());
    EXPECT_FALSE(context->store.integerValue(kFirstLaunchKey));
}

TEST_F(AppUi, EachResizableTabKeepsItsFrameWithTheTopEdgeFixed) {
    MainController& main = launch();
    QRect start = main.window()->geometry();

    // Settings without a saved frame keeps the size; a resize there is stored.
    press(1);
    EXPECT_EQ(main.selectedTab(), 2);
    EXPECT_EQ(buttonStates(), kOnly[1]);
    EXPECT_EQ(main.window()->size(), start.size());
    EXPECT_TRUE(main.isResizable());
    EXPECT_FALSE(context->store.stringValue("NSWindow settings frame"));
    main.window()->resize(start.width() + 100, start.height() + 80);
    ASSERT_TRUE(pumpUntil([&] { return context->store.stringValue("NSWindow settings frame").has_value(); }, 3000));
    auto saved = frameFromString(*context->store.stringValue("NSWindow settings frame"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->width, start.width() + 100);
    EXPECT_EQ(saved->height, start.height() + 80);

    // Recovery with a saved frame takes its size, keeping the left and top edges.
    context->store.setString("NSWindow recovery frame", "{{5, 5}, {" + std::to_string(start.width() + 200) + ", " +
                                                            std::to_string(start.height() + 150) + "}}");
    QRect before = main.window()->geometry();
    press(2);
    EXPECT_EQ(main.selectedTab(), 3);
    QRect recovery = main.window()->geometry();
    EXPECT_EQ(recovery.topLeft(), before.topLeft());
    EXPECT_EQ(recovery.size(), QSize(start.width() + 200, start.height() + 150));

    // Back to Information: minimum size, same top edge, not resizable; and Recovery again gets its size.
    press(0);
    EXPECT_EQ(main.window()->geometry().topLeft(), before.topLeft());
    EXPECT_EQ(main.window()->size(), main.minimumWindowSize());
    EXPECT_FALSE(main.isResizable());
    press(2);
    EXPECT_EQ(main.window()->geometry(), recovery);
    // Pressing the tab already shown changes nothing but the buttons.
    press(2);
    EXPECT_EQ(main.selectedTab(), 3);
    EXPECT_EQ(buttonStates(), kOnly[2]);
}

TEST_F(AppUi, TheMarkerFileOpensTheSettingsTabOnce) {
    makeDirs(context->supportFolder);
    writeFile(context->supportFolder + "/.settingsFlag", "");
    MainController& main = launch();
    EXPECT_EQ(main.selectedTab(), 2);
    EXPECT_EQ(buttonStates(), kOnly[1]);
    EXPECT_TRUE(main.isResizable());
    EXPECT_FALSE(fs::exists(context->supportFolder + "/.settingsFlag"));

    controller.reset();
    MainController& again = launch();
    EXPECT_EQ(again.selectedTab(), 1);
}

TEST_F(AppUi, ThePasswordGuardsTheRecoveryTab) {
    ASSERT_TRUE(context->keychain.add("s3cret ünïcode"));
    MainController& main = launch();
    PXPasswordSheet* sheet = main.passwordAskPanel();
    QSignalSpy refused(sheet, &PXPasswordSheet::refused);

    struct Case {
        int from;          // tag of the tab shown before
        const char* typed; // nullptr: Cancel
        int shownAfter;    // tab identifier
        bool sheetOpen;
    } cases[] = {
        {0, "wrong", 1, true},         {0, nullptr, 1, false},          {1, nullptr, 2, false},
        {3, "s3cret ünïcod", 4, true}, {3, "s3cret ünïcode", 3, false},
    };
    for (const auto& c : cases) {
        if (sheet->isVisible())
            sheet->cancelButton()->click();
        press(c.from);
        ASSERT_EQ(main.selectedTab(), c.from + 1);
        press(2);
        ASSERT_TRUE(sheet->isVisible()) << "from tab " << c.from;
        // The Recovery tab is not shown before the password is given.
        EXPECT_EQ(main.selectedTab(), c.from + 1);
        int refusedBefore = static_cast<int>(refused.count());
        if (c.typed) {
            sheet->passwordField()->setText(QString::fromUtf8(c.typed));
            sheet->okButton()->click();
        } else {
            sheet->cancelButton()->click();
        }
        EXPECT_EQ(main.selectedTab(), c.shownAfter) << "from tab " << c.from;
        EXPECT_EQ(sheet->isVisible(), c.sheetOpen) << "from tab " << c.from;
        EXPECT_EQ(buttonStates(), kOnly[c.shownAfter - 1]) << "from tab " << c.from;
        if (c.sheetOpen) {
            EXPECT_EQ(refused.count(), refusedBefore + 1);
            EXPECT_TRUE(sheet->password().isEmpty());
        }
    }
    EXPECT_TRUE(main.isResizable());
}

TEST_F(AppUi, TheVolumeTableEnablesOnlyTheSettingsSaveButtonAndKeepsItEnabled) {
    std::string photos = addVolume("Photos");
    std::string archive = addVolume("Archive");
    addVolume("eDRIVE");
    launch();
    press(1);
    QTableWidget* table = settings().protectedVolumeTable();
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(table->item(0, 1)->text().toStdString(), appString("200_Home Trash"));
    EXPECT_EQ(table->item(1, 1)->text(), "Archive");
    EXPECT_EQ(table->item(2, 1)->text(), "Photos");
    EXPECT_EQ(table->item(0, 0)->checkState(), Qt::Checked);
    EXPECT_FALSE(table->item(0, 0)->flags() & Qt::ItemIsEnabled);
    EXPECT_TRUE(table->item(1, 0)->flags() & Qt::ItemIsEnabled);

    pumpEvents(300);
    EXPECT_FALSE(settings().saveButton()->isEnabled());
    table->item(2, 0)->setCheckState(Qt::Checked); // as a click on the box does
    EXPECT_TRUE(settings().saveButton()->isEnabled());
    EXPECT_FALSE(settings().saveButtonAdvanced()->isEnabled());
    table->item(2, 0)->setCheckState(Qt::Unchecked);
    pumpEvents(500); // a few change-detection ticks
    EXPECT_TRUE(settings().saveButton()->isEnabled());
    EXPECT_TRUE(settings().forceSave());

    // A plain control is seen by the comparison alone, and enables both buttons.
    table->item(2, 0)->setCheckState(Qt::Checked);
    settings().saveSettings();
    pumpEvents(300);
    EXPECT_FALSE(settings().saveButton()->isEnabled());
    settings().showNoteOnCacheUpdateCB()->click();
    EXPECT_TRUE(pumpUntil([&] { return settings().saveButtonAdvanced()->isEnabled(); }, 2000));
    settings().showNoteOnCacheUpdateCB()->click();
    EXPECT_TRUE(pumpUntil([&] { return !settings().saveButton()->isEnabled(); }, 2000));
    auto stored = loadSettings(settingsFile());
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->volumes.size(), 2u);
    EXPECT_EQ(stored->volumes[1].path, photos);
    (void)archive;
}

TEST_F(AppUi, SavingStoresAndBroadcastsTheSettings) {
    std::string photos = addVolume("Photos");
    launch();
    press(3);

    // bw2ctl watches the private bus.
    std::string out = home / "monitor.out", err = home / "monitor.err";
    std::string ctl = buildDir() + "/bin/bw2ctl";
    if (!fs::exists(ctl))
        GTEST_SKIP() << "needs " << ctl << " (not built in this tree)";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const char* argv[] = {ctl.c_str(), "notify", "monitor", "--count", "1", "--timeout", "20", nullptr};
    pid_t monitor = -1;
    int spawned = posix_spawn(&monitor, ctl.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
    ASSERT_TRUE(pumpUntil([&] { return readFile(err).find("listening") != std::string::npos; }, 10000));

    SettingsController& s = settings();
    s.fileMaxSizeTF()->setText("250MB");
    s.ativityDayTF()->setText("7");
    s.cachingModeMatrix()->button(2)->click();
    s.deleteDataCB()->click();
    s.protectedVolumeTable(); // the Settings tab's table:
    s.tableCBClicked(1);      // Photos becomes protected
    ASSERT_TRUE(pumpUntil([&] { return s.saveButtonAdvanced()->isEnabled(); }, 2000));
    s.saveButtonAdvanced()->click();

    int status = -1;
    ASSERT_TRUE(pumpUntil([&] { return waitpid(monitor, &status, WNOHANG) == monitor; }, 20000)) << readFile(err);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(err);
    std::string line = readFile(out);
    for (const std::string& expected :
         {std::string("\"name\": \"BWNotificationSettingsUpdated\""), std::string("\"object\": null"),
          std::string("\"BWS_file size\": 250"), std::string("\"BWS_nb days\": 7"),
          std::string("\"BWS_daemon mode\": 2"), std::string("\"BWS_data activation\": false"),
          std::string("\"BWS_volumes paths\": \"" + photos + "\""), std::string("\"immediate\": true")})
        EXPECT_NE(line.find(expected), std::string::npos) << expected << " in " << line;

    auto stored = loadSettings(settingsFile());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->fileSize, 250);
    EXPECT_EQ(stored->nbDays, 7);
    EXPECT_EQ(stored->daemonMode, 2);
    EXPECT_FALSE(stored->dataActivation);
    ASSERT_EQ(stored->volumes.size(), 2u);
    EXPECT_FALSE(s.saveButton()->isEnabled());
    EXPECT_FALSE(s.forceSave());
}

TEST_F(AppUi, ThePasswordIsCreatedAndItsRemovalSavesPendingEdits) {
    launch();
    press(1);
    SettingsController& s = settings();
    PXPasswordSheet* create = s.passwordCreationPanel();
    EXPECT_FALSE(s.passwordCB()->isChecked());

    s.passwordCB()->click();
    ASSERT_TRUE(create->isVisible());
    create->passwordField()->setText("first");
    create->confirmationField()->setText("other");
    create->okButton()->click();
    EXPECT_TRUE(create->isVisible());
    EXPECT_TRUE(create->password().isEmpty());
    EXPECT_TRUE(create->confirmation().isEmpty());
    EXPECT_EQ(context->keychain.find().status, KeychainStatus::NotFound);

    create->passwordField()->setText("right one");
    create->confirmationField()->setText("right one");
    create->okButton()->click();
    EXPECT_FALSE(create->isVisible());
    KeychainLookup found = context->keychain.find();
    ASSERT_EQ(found.status, KeychainStatus::Found);
    EXPECT_EQ(found.password, "right one");
    s.saveSettings();
    EXPECT_TRUE(loadSettings(settingsFile())->pass);

    // A pending edit, then the password off: a wrong password keeps it, the right one removes it and
    // saves everything at once.
    s.showNoteOnCacheUpdateCB()->click();
    s.passwordCB()->click();
    PXPasswordSheet* ask = controller->passwordAskPanel();
    ASSERT_TRUE(ask->isVisible());
    ask->passwordField()->setText("wrong");
    ask->okButton()->click();
    EXPECT_TRUE(ask->isVisible());
    EXPECT_EQ(context->keychain.find().status, KeychainStatus::Found);
    ask->passwordField()->setText("right one");
    ask->okButton()->click();
    EXPECT_FALSE(ask->isVisible());
    EXPECT_EQ(context->keychain.find().status, KeychainStatus::NotFound);
    auto stored = loadSettings(settingsFile());
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->pass);
    EXPECT_TRUE(stored->showNotes);

    // Cancelling a creation leaves the box on while no password exists; the next load shows it off.
    s.passwordCB()->click();
    ASSERT_TRUE(create->isVisible());
    create->cancelButton()->click();
    EXPECT_FALSE(create->isVisible());
    EXPECT_TRUE(s.passwordCB()->isChecked());
    s.loadGUI();
    EXPECT_FALSE(s.passwordCB()->isChecked());
}

TEST_F(AppUi, FiltersAreEditedWithoutDotsInExtensionsAndSavedWithTheSettings) {
    launch();
    press(3);
    PXFiltersController* filters = controller->filterController();
    SettingsController& s = settings();
    QTableWidget* table = filters->filterTable();
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_FALSE(filters->removeFilterButton()->isEnabled());

    filters->addFilterButton()->click();
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_TRUE(s.saveButtonAdvanced()->isEnabled());
    EXPECT_FALSE(s.saveButton()->isEnabled());
    auto* type = qobject_cast<QComboBox*>(table->cellWidget(0, PXFiltersController::kTypeColumn));
    ASSERT_TRUE(type);
    EXPECT_EQ(type->currentData().toInt(), 1);
    EXPECT_EQ(table->item(0, PXFiltersController::kRuleColumn)->text(), "");

    table->item(0, PXFiltersController::kRuleColumn)->setText("old.draft");
    EXPECT_EQ(filters->filters()[0].rule, "old.draft");
    type->setCurrentIndex(1);
    emit type->activated(1);
    pumpEvents(50);
    EXPECT_EQ(filters->filters()[0].type, 2);
    EXPECT_EQ(table->item(0, PXFiltersController::kRuleColumn)->text(), "olddraft");
    table->item(0, PXFiltersController::kRuleColumn)->setText(".tar.gz");
    pumpEvents(50);
    EXPECT_EQ(table->item(0, PXFiltersController::kRuleColumn)->text(), "targz");

    filters->addFilterButton()->click();
    filters->addFilterButton()->click();
    table->selectRow(0);
    table->selectionModel()->select(table->model()->index(2, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
    EXPECT_TRUE(filters->removeFilterButton()->isEnabled());
    filters->removeFilterButton()->click();
    EXPECT_EQ(table->rowCount(), 1);

    // Filter edits keep both Save buttons enabled until saved.
    pumpEvents(500);
    EXPECT_TRUE(s.saveButton()->isEnabled());
    table->item(0, PXFiltersController::kRuleColumn)->setText("cache");
    s.saveButtonAdvanced()->click();
    auto saved = loadFilters(settingsFile());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].type, 1);
    EXPECT_EQ(saved[0].rule, "cache");
    EXPECT_FALSE(filters->wasModified());
    EXPECT_TRUE(pumpUntil([&] { return !s.saveButtonAdvanced()->isEnabled(); }, 2000));
}

TEST_F(AppUi, TheInformationTabShowsSizesAndAsksTheAgentToStartAndStop) {
    processes.push_back({kAgentProcess, getuid(), 4242});
    processes.push_back({kDaemonProcess, getuid() + 1, 4343}); // another user's daemon
    makeDirs(home / ".Binwarden2Cache/2026-12-06 09_05 +0100");
    writeFile(home / ".Binwarden2Cache/2026-12-06 09_05 +0100/one", std::string(1500000, 'x'));
    std::string volume = addVolume("Photos");
    makeDirs(volume + "/.Binwarden2Cache/" + std::to_string(getuid()));
    writeFile(volume + "/.Binwarden2Cache/" + std::to_string(getuid()) + "/item", std::string(500000, 'y'));
    writeFile(volume + "/.Binwarden2Cache/elsewhere", std::string(1000, 'z'));

    NotificationBus monitor;
    std::vector<Notification> seen;
    for (const char* name : {notif::kStartProtection, notif::kStopProtection})
        monitor.observe(name, [&](const Notification& n) {
            seen.push_back({n.name, n.object, nullptr, n.immediate, n.senderUid});
        });
    auto pumpBoth = [&](const std::function<bool()>& condition, int milliseconds = 5000) {
        return pumpUntil(
            [&] {
                pollfd p{monitor.fd(), static_cast<short>(monitor.events()), 0};
                poll(&p, 1, 10);
                monitor.process();
                return condition();
            },
            milliseconds);
    };
    pumpBoth([] { return false; }, 300); // the monitor's match is in place before anything is posted

    MainController& main = launch();
    InfosController* infos = main.infosController();
    ASSERT_TRUE(pumpUntil([&] { return infos->sizeRefreshes() > 0; }, 5000));
    EXPECT_EQ(infos->cacheSizeTF()->text(), "2 MB"); // 2,001,000 bytes
    EXPECT_EQ(infos->nbDisksProtectedTF()->text(), "1");
    EXPECT_FALSE(infos->isProtectionActivated());
    EXPECT_FALSE(infos->activeTF()->isVisibleTo(infos->page()));
    EXPECT_TRUE(infos->stoppedTF()->isVisibleTo(infos->page()));
    EXPECT_EQ(infos->startStopButton()->text().toStdString(), appString("200_Button Start Title"));

    // Start: the launcher is not root-owned here, so the button keeps the stopped look until the state is known.
    infos->startStopButton()->click();
    EXPECT_EQ(infos->protectionStatus(), InfosController::kStopOrUnknown);
    EXPECT_FALSE(infos->startStopButton()->isEnabled());
    ASSERT_TRUE(pumpBoth([&] { return !seen.empty(); }));
    EXPECT_EQ(seen[0].name, notif::kStartProtection);
    EXPECT_EQ(seen[0].object, std::to_string(getuid()));
    EXPECT_TRUE(seen[0].immediate);

    // A daemon of this user appears; the next tick shows the running look.
    processes.push_back({kDaemonProcess, getuid(), 4444});
    infos->refreshTimer();
    EXPECT_EQ(infos->protectionStatus(), InfosController::kNoRequest);
    EXPECT_TRUE(infos->startStopButton()->isEnabled());
    EXPECT_TRUE(infos->activeTF()->isVisibleTo(infos->page()));
    EXPECT_EQ(infos->startStopButton()->text().toStdString(), appString("200_Button Stop Title"));

    // Stop: the stopped look at once, and a notification-driven refresh leaves it alone meanwhile.
    infos->startStopButton()->click();
    EXPECT_EQ(infos->protectionStatus(), InfosController::kStopOrUnknown);
    EXPECT_EQ(infos->startStopButton()->text().toStdString(), appString("200_Button Start Title"));
    int refreshesBefore = infos->sizeRefreshes();
    infos->refreshAll();
    EXPECT_EQ(infos->startStopButton()->text().toStdString(), appString("200_Button Start Title"));
    // That refresh's walk ends before the cache changes below.
    ASSERT_TRUE(pumpUntil([&] { return infos->sizeRefreshes() > refreshesBefore; }, 10000));
    ASSERT_TRUE(pumpBoth([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen[1].name, notif::kStopProtection);
    EXPECT_EQ(seen[1].object, std::to_string(getuid()));

    // New data in a cache refreshes the figures.
    std::string big = home / ".Binwarden2Cache/2026-12-06 09_05 +0100/two";
    writeFile(big, "");
    ASSERT_EQ(truncate(big.c_str(), 1000000000), 0); // sparse: its size counts, nothing is written
    int before = infos->sizeRefreshes();
    monitor.post(notif::kNewDataInCache, std::nullopt, nullptr, true);
    ASSERT_TRUE(pumpUntil(
        [&] {
            context->bus.process();
            return infos->sizeRefreshes() > before;
        },
        10000));
    EXPECT_EQ(infos->cacheSizeTF()->text(), "1 GB");
}

TEST_F(AppUi, LeavingTheSettingsWithUnsavedChangesAsksWhetherToSave) {
    launch();
    struct Case {
        int answer; // button position: 0 Save, 1 Don't Save
        bool saved;
    } cases[] = {{1, false}, {0, true}};
    for (const auto& c : cases) {
        press(1);
        SettingsController& s = settings();
        bool notesBefore = loadSettings(settingsFile())->showNotes;
        s.showNoteOnCacheUpdateCB()->click();
        ASSERT_TRUE(pumpUntil([&] { return s.saveButton()->isEnabled(); }, 2000));
        QString question;
        QTimer::singleShot(100, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_TRUE(box);
            question = box->text();
            for (QAbstractButton* button : box->buttons()) {
                if (button->property("bwAlertIndex").toInt() == c.answer)
                    button->click();
            }
        });
        press(0);
        EXPECT_EQ(question.toStdString(), appString("200_Save Settings Alert Title"));
        EXPECT_EQ(controller->selectedTab(), 1);
        EXPECT_FALSE(s.saveButton()->isEnabled());
        EXPECT_FALSE(s.saveButtonAdvanced()->isEnabled());
        EXPECT_EQ(loadSettings(settingsFile())->showNotes, c.saved ? !notesBefore : notesBefore);
    }
}

TEST_F(AppUi, QuittingLeavesAnAgentOfThisUserRunning) {
    launch();
    pumpUntil([&] { return !launched().empty(); }, 6000); // the first launch's own start of the agent
    struct Case {
        std::vector<ProcessRecord> running;
        bool launched;
    } cases[] = {
        {{}, true},
        {{{kAgentProcess, getuid() + 1, 500}}, true}, // another user's agent is not ours
        {{{kAgentProcess, getuid(), 501}}, false},
    };
    for (const auto& c : cases) {
        processes = c.running;
        forgetLaunches();
        EXPECT_TRUE(delegate->applicationShouldTerminate(300));
        EXPECT_EQ(!launched().empty(), c.launched);
        if (!launched().empty()) {
            EXPECT_EQ(launched().front().front(), context->agentPath());
        }
    }
    delegate->setSkipAgentCheck(true);
    processes.clear();
    forgetLaunches();
    EXPECT_TRUE(delegate->applicationShouldTerminate(300));
    EXPECT_TRUE(launched().empty());
}

TEST_F(AppUi, CheckForUpdatesAsksTheScriptAndAnAcceptedOfferGoesToTheAgent) {
    // No automatic check at start-up: each request the script sees comes from the menu command.
    Settings quiet = context->store.settings();
    quiet.updates = false;
    ASSERT_TRUE(context->store.storeSettings(quiet, {}));
    LoopbackServer server;
    ASSERT_TRUE(server.listening());
    MainController& main = launch();
    PXUpdater& updater = main.softwareUpdater();
    updater.setScriptURL(server.url("/update.php"));
    updater.setLocalVersion("2.0");
    std::vector<QString> alerts;
    updater.setAlertPresenter([&](const QString& title, const QString&, const QString&) { alerts.push_back(title); });
    updater.setURLOpener([](const std::string&) {});
    NotificationBus agent;
    std::vector<std::optional<std::string>> told;
    agent.observe(notif::kNewVersionAvailable, [&](const Notification& note) { told.push_back(note.object); });

    QAction* check = nullptr;
    for (QAction* action : main.window()->findChildren<QAction*>()) {
        if (action->text() == QString::fromStdString(appString("200_Menu Check Updates")))
            check = action;
    }
    ASSERT_TRUE(check);

    struct Case {
        const char* what;
        const char* version; // the script's newest version
        int answer;          // the offer's button: 1 install, 0 later, -1 no offer expected
        std::vector<std::optional<std::string>> agentTold;
    } cases[] = {
        {"newer, accepted", "9.0", 1, {std::string("https://www.example.org/")}},
        {"newer, declined", "9.0", 0, {}},
        {"the same version", "2.0", -1, {}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        told.clear();
        alerts.clear();
        const std::string reply =
            std::string(c.version) + ";1;https://www.example.org/;https://www.example.org/a.tar.gz";
        server.setRoute("/update.php", {LoopbackServer::compressed(reply)});
        check->trigger();
        EXPECT_TRUE(updater.manualUpdate()) << "the menu command is a manual check";
        ASSERT_TRUE(pumpUntil([&] { return server.requests().size() == i + 1 && !updater.checkRunning(); }, 10000));
        const bool offered = pumpUntil(
            [&] { return updater.windowController() && updater.windowController()->updateWaningWin()->isVisible(); },
            c.answer < 0 ? 300 : 5000);
        EXPECT_EQ(offered, c.answer >= 0);
        // A manual check says so when there is nothing newer.
        EXPECT_EQ(alerts.size(), c.answer < 0 ? 1u : 0u);
        if (offered) {
            PXUpdaterController* offer = updater.windowController();
            QPushButton* button = c.answer == 1 ? offer->installButton() : offer->laterButton();
            button->click();
        }
        pumpUntil(
            [&] {
                agent.process();
                return told.size() >= c.agentTold.size() && !c.agentTold.empty();
            },
            c.agentTold.empty() ? 500 : 5000);
        EXPECT_EQ(told, c.agentTold);
        // The agent owns the installation: the application never downloads itself.
        EXPECT_FALSE(updater.downloadRunning());
    }
}
