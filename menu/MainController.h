#pragma once
// The agent's controller: protection (through ProtectionControl), pruning passes, the tray item with its
// menu and information block, notes, alerts and update timing.

#include "PXUpdater.h"
#include "folder_size.h"
#include "notification_bus.h"
#include "protection_control.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <mutex>
#include <optional>
#include <set>
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

// Tags of the menu items.
enum MenuTag { kTagOpen = 1, kTagOpenSettings = 2, kTagStartStop = 10 };

class MainController : public QObject {
    Q_OBJECT
public:
    explicit MainController(Binwarden_2_MenuAppDelegate* delegate, QObject* parent = nullptr);
    // With other process-table, launch and repair services (tests); posting and the on/off look are
    // always the controller's own.
    MainController(Binwarden_2_MenuAppDelegate* delegate, ProtectionServices services, QObject* parent = nullptr);
    ~MainController() override;

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
    ProtectionControl& protection() { return *m_protection; }
    NotificationBus& bus() { return m_bus; }
    bool headless() const { return m_headless; }

private:
    void applyProtectionLook(bool on);
    void setStartStopTitle(bool on);
    void registerNotifications();
    void watchMounts();
    void mountsChanged();
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
    std::unique_ptr<ProtectionControl> m_protection;
    std::unique_ptr<DesktopNotes> m_notes;
    std::unique_ptr<QMenu> m_menuBarMenu;
    std::unique_ptr<QSystemTrayIcon> theItem;
    QWidgetAction* _infoMenuItem = nullptr;
    InfoMenuView* _menuView = nullptr;
    QIcon _icon;
    QIcon _iconHighlight;
    PXUpdater _softwareUpdater;
    bool _auto_update = false;
    bool _refreshMenu = true;
    std::uint64_t _prevCacheSize = 0;
    std::mutex m_sizeLock; // the controller's lock around the total-size computation
    FolderSizer m_folderSizer;
    QTimer m_menuTimer;
    QTimer m_updateTimer;
    QSocketNotifier* m_mountNotifier = nullptr;
    int m_mountFd = -1;
    std::set<std::string> m_mounts;
    bool m_headless = false;
};

} // namespace bw
