#pragma once
// The main window: four tabs (Information, Settings, Recovery, Advanced) switched by four tab buttons,
// each resizable tab remembering its own window size, the access password guarding the Recovery tab, and
// the small commands of the menus (about box, manual, release notes, web site, update check).

#include "PXUpdater.h"
#include "folder_removal.h"
#include "uninstaller.h"
#include "window_frames.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <map>
#include <memory>
#include <string>

class QDialog;
class QLabel;
class QMainWindow;
class QPushButton;
class QStackedWidget;
class QTextBrowser;

namespace bw {

struct AppContext;
class InfosController;
class PXFiltersController;
class PXPasswordSheet;
class PXProgressSheet;
class PXTabButton;
class RecoveryController;
class SettingsController;

class MainController : public QObject, public PXUpdaterResultDelegate {
    Q_OBJECT
public:
    explicit MainController(AppContext& context, QObject* parent = nullptr);
    ~MainController() override;

    // Window set-up, then the tab controllers' own start-up, in the order the window loads them.
    void awakeFromNib();

    // A tab button was pressed (its tag is the tab's position).
    void selectTabView(int tag);
    // The Recovery password sheet's OK (true) or Cancel (false).
    void passwordAskDidEnd(bool ok);
    // Stores the window's frame under the key of the tab being entered or shown.
    void windowDidResize();
    // Writes a frame still waiting to be stored.
    void flushFrames();

    void openAboutBox();
    void showManual();
    void openReleaseNotes();
    void openWebsite();
    void openBetaWebsite();
    void delayedCheckUpdates();
    void checkforUpdates();
    // The updater's answer to its offer: 1 when the user wants the new version, which the agent then
    // fetches and installs (it owns the installation), told by "NEW_VERSION_AVAILABLE_NOTIFICATION BW2".
    void updateResulteDidGetResult(int result) override;

    // The menu's Delete All Caches…: asks (Cancel first and default), then removes every cache of this user
    // behind the progress sheet; folders that would not go are listed in one alert at the end.
    void deleteAllCaches();
    // The removal itself: the stop request first, then the folders one by one on the worker thread.
    void launchDeleteAllCaches(const std::vector<std::string>& folders);
    // The menu's Uninstall Binwarden 2…: asks (Cancel first and default), removes the caches, preferences,
    // login entry and agent, moves a user-owned program into the Trash or tells how to remove a package,
    // shows what became of it, and ends with uninstallDidEnd.
    void uninstallBinwarden();
    void launchUninstall(const UninstallPlan& plan);
    // The user's own cache folders on the mounted volumes (getCachesPaths:).
    std::vector<std::string> getCachesPaths() const;
    // What uninstalling would act on for this user now.
    UninstallPlan uninstallPlan() const;

    PXProgressSheet* progressSheet() const { return m_progressSheet; }
    const RemovalReport& lastRemovalReport() const { return m_lastRemoval; }
    const UninstallReport& lastUninstallReport() const { return m_lastUninstall; }
    // How long each folder may take before it is reported as left behind (shorter in tests).
    void setRemovalOptions(const RemovalOptions& options) { m_removalOptions = options; }

    QMainWindow* window() const { return m_window; }
    PXTabButton* tabButton(int tag) const;
    // The identifier (position + 1) of the tab shown, and of the tab being entered.
    int selectedTab() const;
    int nextTabView() const { return __nextTabView; }
    QSize minimumWindowSize() const;
    bool isResizable() const;

    InfosController* infosController() const { return m_infos; }
    SettingsController* settingController() const { return m_settings; }
    PXFiltersController* filterController() const { return m_filters; }
    RecoveryController* recoveryController() const { return m_recovery; }
    PXPasswordSheet* passwordAskPanel() const { return m_passwordAskPanel; }
    QPushButton* websiteButton() const { return m_websiteButton; }
    QLabel* copyrightTF() const { return m_copyrightTF; }
    // The updater the update commands drive (its script address and presenters are the tests').
    PXUpdater& softwareUpdater() { return _softwareUpdater; }

signals:
    // The uninstall's last alert was answered: the program quits without starting the agent again.
    void uninstallDidEnd();
    // The delete-all sheet closed (and its left-behind alert, when there was one, was answered).
    void deleteAllCachesDidEnd();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildWindow();
    void buildMenus();
    void setButtonsOn(int tag);
    void showTab(int tab);
    void shrinkToMinimum();
    void setResizable(bool resizable);
    void applySavedFrame(int tab);
    FrameRect currentFrame() const;
    // The one place that talks to the updater.
    void runUpdateCheck(bool manual);

    AppContext& m_context;
    QMainWindow* m_window = nullptr;
    QStackedWidget* tabView = nullptr;
    QLabel* m_copyrightTF = nullptr;
    QPushButton* m_websiteButton = nullptr;
    PXTabButton* m_tabButtons[4] = {};
    PXPasswordSheet* m_passwordAskPanel = nullptr;
    InfosController* m_infos = nullptr;
    SettingsController* m_settings = nullptr;
    PXFiltersController* m_filters = nullptr;
    RecoveryController* m_recovery = nullptr;
    PXProgressSheet* m_progressSheet = nullptr;
    RemovalOptions m_removalOptions;
    RemovalReport m_lastRemoval;
    UninstallReport m_lastUninstall;
    bool m_uninstalled = false;
    QPointer<QDialog> m_releaseNotesPanel;
    int __nextTabView = kTabInformation;
    bool _manualUpdate = false;
    PXUpdater _softwareUpdater;
    std::map<std::string, std::string> m_pendingFrames;
    QTimer m_frameTimer;
};

} // namespace bw
