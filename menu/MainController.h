#pragma once
// The agent's controller: protection (through ProtectionControl), pruning passes, the tray item with its
// menu and information block, notes, alerts and update timing.

#include "PXUpdater.h"
#include "files/folder_size.h"
#include "bus/notification_bus.h"
#include "mount_watch.h"
#include "protection_control.h"
#include "protection_host.h"
#include "worker_group.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QAction;
class QMenu;
class QSocketNotifier;
class QSystemTrayIcon;
class QWidgetAction;

namespace bw {

class BusEventBridge;
class Binwarden_2_MenuAppDelegate;
class DesktopNotes;
class InfoMenuView;
class TrayWatch;

// Tags of the menu items.
enum MenuTag { kTagOpen = 1, kTagOpenSettings = 2, kTagStartStop = 10 };

// The controller is protection's host: requests go out on its bus, the on/off look and problem reports
// come back to its tray item and notes.
class MainController : public QObject, private ProtectionHost {
    Q_OBJECT
public:
    explicit MainController(Binwarden_2_MenuAppDelegate* delegate, QObject* parent = nullptr);
    // With other process-table, launch and repair services (tests).
    MainController(Binwarden_2_MenuAppDelegate* delegate, std::unique_ptr<ProtectionServices> services,
                   QObject* parent = nullptr);
    ~MainController() override;

    // Another mount table to watch (tests); only before awakeFromNib.
    void setMountTableFile(const std::string& file) { m_mountTableFile = file; }

    // The start-up sequence. False when another agent of this user runs: the program then ends.
    bool awakeFromNib();
    bool checkMenuBarExistence();

    void reloadSettings(const std::optional<Settings>& settings);
    void startStopProtection();
    void startProtectionThread();

    void startProtectionNotification(const Notification& notification);
    void stopProtectionNotification(const Notification& notification);
    void settingsDidUpdateNotification(const Notification& notification);
    void quitDaemonForUpdate(const Notification& notification);
    void cacheDidUpdateNotification(const Notification& notification);
    void diskIsFullNotification(const Notification& notification);
    void mainAppSaysUpdate(const Notification& notification);
    void workspaceDidMountNotification(const std::string& mountPoint);
    // The mount table changed: protection follows the volumes that appeared. The watch calls it; tests
    // call it after changing their table.
    void mountTableChanged();

    // One pruning pass; runs on a worker thread.
    void manageCacheContents(const std::string& cacheFolder);

    void menuDisplay();
    void validateMenuItems();
    void openBinwarden(int tag); // 0 = no sender
    void quitMenu();
    void handleQuit();
    void delayedCheckUpdates();
    int dockPosition() const;

    QMenu* menuBarMenu() const { return m_menuBarMenu.get(); }
    QAction* itemWithTag(int tag) const;
    InfoMenuView* infoView() const { return _menuView; }
    // The information block as plain disabled items (title, size line, disks line): what a tray host that
    // shows only plain items (StatusNotifier) shows. Empty before the first refresh.
    QList<QAction*> infoItems() const;
    // Whether the tray item exists (it is made once a tray is there).
    bool hasTrayItem() const { return theItem != nullptr; }
    ProtectionControl& protection() { return *m_protection; }
    PXUpdater& softwareUpdater() { return _softwareUpdater; }
    NotificationBus& bus() { return m_bus; }
    bool headless() const { return m_headless; }
    // Alerts are shown and wait for a person with a display; without one they are logged and answered
    // by their first button. Tests turn them on offscreen to answer them from the keyboard.
    void setAlertsShown(bool shown) { m_alertsShown = shown; }
    // Ends the background work in order: a start waiting for the administrator dialog is refused, the
    // other workers are asked to stop, then every worker is joined. Nothing is started afterwards.
    void stopWorkers();
    // Workers still running (pruning passes, starts, the size walk).
    int runningWorkers() const { return m_workers.running(); }

private:
    void applyProtectionLook(bool on);
    void createTrayItem();
    void updateInfoBlock();
    void startSizeWalk();
    // The drawn block where Qt draws the menu itself; the plain items where a host shows it.
    void presentInfoBlock();
    void setStartStopTitle(bool on);
    void registerNotifications();
    void watchMounts();
    // ProtectionHost
    void post(const std::string& name, const std::string& object) override;
    bool busConnected() override;
    void showProtection(bool on) override;
    void reportProblem(const ProtectionProblemReport& report) override;
    void showNote(const QString& text);
    // Why protection could not start: a note, and one line on standard error when someone reads it.
    void reportProtectionProblem(const ProtectionProblemReport& report);
    // A critical or informational alert with its buttons in order; answers the index of the button
    // chosen. Without a display it is logged and answered by its first button.
    int runAlert(bool critical, const QString& title, const QString& message, const QStringList& buttons);
    void showDiskFullAlertOnMainThread(const QString& title, const QString& message, const QString& button);
    QIcon loadImage(const QString& name) const;

    Binwarden_2_MenuAppDelegate* m_delegate;
    NotificationBus m_bus;
    std::unique_ptr<BusEventBridge> m_busBridge;
    std::unique_ptr<ProtectionServices> m_services;
    std::unique_ptr<ProtectionControl> m_protection;
    std::unique_ptr<DesktopNotes> m_notes;
    std::unique_ptr<QMenu> m_menuBarMenu;
    std::unique_ptr<QSystemTrayIcon> theItem;
    QWidgetAction* _infoMenuItem = nullptr;
    InfoMenuView* _menuView = nullptr;
    QAction* m_infoTitleItem = nullptr;
    QAction* m_infoSizeItem = nullptr;
    QAction* m_infoDisksItem = nullptr;
    bool m_menuDrawnByQt = false; // our own popup of the menu is showing
    TrayWatch* m_trayWatch = nullptr;
    QIcon _icon;
    QIcon _iconHighlight;
    PXUpdater _softwareUpdater;
    bool _auto_update = false;
    std::atomic<bool> _refreshMenu{true};
    std::uint64_t _prevCacheSize = 0;
    bool m_sizeWalkRunning = false; // main thread only
    std::mutex m_sizeLock;          // the controller's lock around the total-size computation
    FolderSizer m_folderSizer;
    QTimer m_menuTimer;
    QTimer m_updateTimer;
    std::string m_mountTableFile = kMountTableFile;
    std::unique_ptr<MountWatch> m_mountWatch;
    // After the watch, so that it goes before the descriptor it listens to.
    std::unique_ptr<QSocketNotifier> m_mountNotifier;
    bool m_headless = false;
    bool m_alertsShown = true;
    // Last, so that it goes first: no worker outlives the members it uses.
    WorkerGroup m_workers;
};

} // namespace bw
