#pragma once
// The main window: four tabs (Information, Settings, Recovery, Advanced) switched by four tab buttons,
// each resizable tab remembering its own window size, the access password guarding the Recovery tab, and
// the small commands of the menus (about box, manual, release notes, web site, update check).

#include "PXUpdater.h"
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
    QPointer<QDialog> m_releaseNotesPanel;
    int __nextTabView = kTabInformation;
    bool _manualUpdate = false;
    PXUpdater _softwareUpdater;
    std::map<std::string, std::string> m_pendingFrames;
    QTimer m_frameTimer;
};

} // namespace bw
