#include "MainController.h"

#include "alert_box.h"

#include "BWAlertView.h"
#include "Binwarden_2_MenuAppDelegate.h"
#include "DesktopNotes.h"
#include "InfoMenuView.h"
#include "TrayWatch.h"
#include "agent_requests.h"
#include "agent_strings.h"
#include "bus/notification_names.h"
#include "bus_event_bridge.h"
#include "cache_pruning.h"
#include "desktop_session.h"
#include "main_application.h"
#include "menu_texts.h"
#include "bus/notification_names.h"
#include "files/mount_table.h"
#include "plist/reference_time.h"
#include "pruning_pass.h"
#include "settings/settings.h"
#include "system_protection_services.h"
#include "update_timing.h"
#include "files/log_line.h"

#include <QAction>
#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QThread>
#include <QWidgetAction>

#include <plist/plist.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

// The icons are compiled into the static library; its resources must be registered by name.
static void initMenuResources() {
    Q_INIT_RESOURCE(menu_icons);
}

namespace bw {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

void sleepFor(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

} // namespace

MainController::MainController(Binwarden_2_MenuAppDelegate* delegate, QObject* parent)
    : MainController(delegate, std::make_unique<SystemProtectionServices>(), parent) {}

MainController::MainController(Binwarden_2_MenuAppDelegate* delegate, std::unique_ptr<ProtectionServices> services,
                               QObject* parent)
    : QObject(parent), m_delegate(delegate), m_services(std::move(services)) {
    initMenuResources();
    m_headless = QGuiApplication::platformName() == "offscreen" || QGuiApplication::platformName() == "minimal";
    m_alertsShown = !m_headless;

    ProtectionPaths paths;
    paths.uid = getuid();
    paths.gid = getgid();
    paths.homeFolder = homeFolder();
    paths.dataHome = xdgDataHome();
    paths.settingsFile = settingsFilePath();
    paths.launcher = launcherPathIn(installRoot());
    paths.problemFile = protectionProblemFilePath(paths.homeFolder);

    ProtectionHost& host = *this;
    m_protection = std::make_unique<ProtectionControl>(std::move(paths), *m_services, host);
    m_notes = std::make_unique<DesktopNotes>();
    connect(m_notes.get(), &DesktopNotes::activated, m_delegate,
            &Binwarden_2_MenuAppDelegate::userNotificationCenterDidActivateNotification);
}

MainController::~MainController() {
    // The workers use the bus, the protection control and this object: they end before any of it goes.
    stopWorkers();
}

void MainController::post(const std::string& name, const std::string& object) {
    m_bus.post(name, object, nullptr, true);
}

bool MainController::busConnected() {
    return m_bus.isConnected();
}

void MainController::showProtection(bool on) {
    QMetaObject::invokeMethod(
        this, [this, on] { applyProtectionLook(on); }, Qt::QueuedConnection);
}

void MainController::reportProblem(const ProtectionProblemReport& report) {
    QMetaObject::invokeMethod(
        this, [this, report] { reportProtectionProblem(report); }, Qt::QueuedConnection);
}

void MainController::stopWorkers() {
    m_protection->cancel();
    m_workers.stop();
}

QIcon MainController::loadImage(const QString& name) const {
    static const QHash<QString, QString> kFiles = {
        {"Binwarden MenuOn", ":/icons/binwarden2-menu-on.svg"},
        {"Binwarden MenuOff", ":/icons/binwarden2-menu-off.svg"},
        {"Icon64", ":/icons/binwarden2.svg"},
    };
    return QIcon(kFiles.value(name));
}

bool MainController::checkMenuBarExistence() {
    auto records = processInfoForDaemonNamed(kAgentProcessName, readProcessTable(), true);
    int count = 0;
    if (records) {
        for (const auto& record : *records) {
            if (record.uid == getuid() && ++count >= 3)
                break;
        }
    }
    return count < 2;
}

bool MainController::awakeFromNib() {
    // 1. A second agent of the same user ends before it touches anything.
    if (!checkMenuBarExistence()) {
        bw::logLine(LOG_NOTICE, "another agent runs for this user; quitting");
        return false;
    }

    // 2. Images and the menu.
    _icon = loadImage("Binwarden MenuOff");
    _iconHighlight = loadImage("Binwarden MenuOn");
    m_menuBarMenu = std::make_unique<QMenu>();
    auto addItem = [this](const std::string& key, int tag, auto slot) {
        QAction* action = m_menuBarMenu->addAction(qs(localizedString(key)));
        action->setData(tag);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    addItem("200_Menu Open Binwarden", kTagOpen, [this] { openBinwarden(kTagOpen); });
    addItem("200_Menu Open Settings", kTagOpenSettings, [this] { openBinwarden(kTagOpenSettings); });
    m_menuBarMenu->addSeparator();
    addItem("200_Menu Start Protection", kTagStartStop, [this] { startStopProtection(); });
    m_menuBarMenu->addSeparator();
    addItem("200_Menu Quit", 0, [this] { quitMenu(); });
    m_menuBarMenu->addSeparator();
    connect(m_menuBarMenu.get(), &QMenu::aboutToShow, this, &MainController::validateMenuItems);
    connect(m_menuBarMenu.get(), &QMenu::aboutToHide, this, [this] {
        if (m_menuDrawnByQt) {
            m_menuDrawnByQt = false;
            presentInfoBlock();
        }
    });
    if (theItem)
        theItem->setIcon(_icon);

    // 3. Settings (this creates the tray item when it is to be shown).
    m_protection->setProtectionStatus(kStatusUnknown);
    reloadSettings(std::nullopt);

    // 4. Login item.
    if (!autostartEntryExists())
        writeAutostartEntry(selfExecutablePath());

    // 5. The start/stop title from a real scan.
    setStartStopTitle(m_protection->isProtectionActivated(true));

    // 6. Notifications and mounts.
    registerNotifications();
    watchMounts();

    // 7. Menu refresh: once after a second, then every five.
    _refreshMenu = true;
    _prevCacheSize = 0;
    QTimer::singleShot(1000, this, [this] {
        menuDisplay();
        m_menuTimer.start(5000);
    });
    connect(&m_menuTimer, &QTimer::timeout, this, &MainController::menuDisplay);

    // 8. Protection resumes at login unless the main application already runs.
    if (m_protection->protectionStatusForStart() && !m_protection->isMainAppLaunched()) {
        m_protection->stopProtection();
        sleepFor(std::chrono::milliseconds(500));
        m_protection->startProtection();
        setStartStopTitle(true);
    }

    // 10. Update checks, timers set up only here.
    _auto_update = false;
    if (m_protection->agentSettings().checkForUpdates) {
        QTimer::singleShot(kFirstUpdateCheckDelaySeconds * 1000, this, [this] {
            delayedCheckUpdates();
            m_updateTimer.start(kUpdateCheckPeriodSeconds * 1000);
        });
        connect(&m_updateTimer, &QTimer::timeout, this, &MainController::delayedCheckUpdates);
    }

    // 11. A system newer than the product knows.
    if (OSXVersion() > 101000) {
        runAlert(false, qs(localizedString("201_Too recent OS Alert title")),
                 qs(localizedString("201_Too recent OS Alert message")),
                 {qs(localizedString("201_Too recent OS Alert defaultButton"))});
    }
    if (m_headless)
        std::fprintf(stderr, "binwarden2-menu: no display, running without a tray item\n");
    return true;
}

void MainController::registerNotifications() {
    m_bus.observe(notif::kSettingsUpdated, [this](const Notification& n) { settingsDidUpdateNotification(n); });
    m_bus.observe(notif::kStartProtection, [this](const Notification& n) { startProtectionNotification(n); });
    m_bus.observe(notif::kStopProtection, [this](const Notification& n) { stopProtectionNotification(n); });
    m_bus.observe(notif::kNewVersionAvailable, [this](const Notification& n) { mainAppSaysUpdate(n); });
    m_bus.observe(notif::kNewDataInCache, [this](const Notification& n) { cacheDidUpdateNotification(n); });
    m_bus.observe(notif::kCacheUpdateSilent, [this](const Notification& n) { cacheDidUpdateNotification(n); });
    m_bus.observe(notif::kDiskFull, [this](const Notification& n) { diskIsFullNotification(n); });
    m_bus.observe(notif::kQuitEverybody, [this](const Notification& n) { quitDaemonForUpdate(n); });
    m_busBridge = std::make_unique<BusEventBridge>(m_bus);
}

void MainController::watchMounts() {
    m_mountWatch = std::make_unique<MountWatch>(m_mountTableFile);
    if (!m_mountWatch->valid())
        return;
    // The change shows as POLLPRI, which Qt reports as an exception on the descriptor.
    m_mountNotifier = std::make_unique<QSocketNotifier>(m_mountWatch->descriptor(), QSocketNotifier::Exception);
    connect(m_mountNotifier.get(), &QSocketNotifier::activated, this, &MainController::mountTableChanged);
}

void MainController::mountTableChanged() {
    if (!m_mountWatch)
        return;
    for (const auto& point : m_mountWatch->newMountPoints())
        workspaceDidMountNotification(point);
}

void MainController::reloadSettings(const std::optional<Settings>& settings) {
    AgentSettings agent = m_protection->reloadSettings(settings);
    if (agent.menuVisible && !m_headless) {
        if (!theItem) {
            // The icon is made once a tray is there; at login the panel may come up after us.
            if (!m_trayWatch) {
                m_trayWatch = new TrayWatch(this);
                connect(m_trayWatch, &TrayWatch::appeared, this, &MainController::createTrayItem);
            }
            m_trayWatch->watch();
        }
        if (theItem) {
            theItem->setIcon(m_protection->isProtectionActivated(false) ? _iconHighlight : _icon);
            theItem->show();
        }
    } else if (!agent.menuVisible && theItem) {
        theItem->hide();
        theItem->setContextMenu(nullptr);
        theItem.reset();
        presentInfoBlock();
    }
}

void MainController::createTrayItem() {
    if (theItem || !m_protection->agentSettings().menuVisible)
        return;
    theItem = std::make_unique<QSystemTrayIcon>();
    theItem->setContextMenu(m_menuBarMenu.get());
    theItem->setToolTip("Binwarden 2");
    connect(theItem.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
        if (why != QSystemTrayIcon::Trigger || !m_menuBarMenu)
            return;
        // This popup is drawn by Qt even where a host shows the exported menu: the drawn block goes with it.
        m_menuDrawnByQt = true;
        presentInfoBlock();
        m_menuBarMenu->popup(QCursor::pos());
    });
    theItem->setIcon(m_protection->isProtectionActivated(false) ? _iconHighlight : _icon);
    theItem->show();
    presentInfoBlock();
}

void MainController::applyProtectionLook(bool on) {
    if (theItem)
        theItem->setIcon(on ? _iconHighlight : _icon);
    setStartStopTitle(on);
}

void MainController::setStartStopTitle(bool on) {
    if (QAction* item = itemWithTag(kTagStartStop))
        item->setText(qs(localizedString(on ? "200_Menu Stop Protection" : "200_Menu Start Protection")));
}

QAction* MainController::itemWithTag(int tag) const {
    if (!m_menuBarMenu)
        return nullptr;
    for (QAction* action : m_menuBarMenu->actions()) {
        if (!action->isSeparator() && action->data().isValid() && action->data().toInt() == tag && tag != 0)
            return action;
    }
    return nullptr;
}

void MainController::startStopProtection() {
    if (m_protection->isProtectionActivated(false)) {
        m_protection->stopProtection();
        setStartStopTitle(false);
        m_protection->setProtectionStatusForStartTo(false);
        return;
    }
    setStartStopTitle(true);
    m_protection->setProtectionStatusForStartTo(true);
    startProtectionThread();
}

void MainController::startProtectionThread() {
    m_workers.start([this] {
        m_protection->startProtection();
        m_workers.pause(std::chrono::milliseconds(500));
    });
}

void MainController::startProtectionNotification(const Notification& notification) {
    if (!requestIsForUser(notification, getuid()))
        return;
    m_protection->setProtectionStatus(kStatusUnknown);
    m_protection->startProtection();
    setStartStopTitle(true);
}

void MainController::stopProtectionNotification(const Notification& notification) {
    if (!requestIsForUser(notification, getuid()))
        return;
    m_protection->setProtectionStatus(kStatusUnknown);
    m_protection->stopProtection();
    m_protection->setProtectionStatusForStartTo(false);
    setStartStopTitle(false);
}

void MainController::settingsDidUpdateNotification(const Notification& notification) {
    if (!fromOurselvesOrRoot(notification, getuid()))
        return;
    bool wasOn = m_protection->isProtectionActivated(true);
    if (!notification.userInfo || plist_get_node_type(notification.userInfo.get()) != PLIST_DICT)
        return;
    m_protection->stopProtection();
    reloadSettings(Settings::fromPlist(notification.userInfo.get()));
    sleepFor(std::chrono::milliseconds(500));
    if (wasOn) {
        m_protection->startProtection();
        setStartStopTitle(true);
    }
}

void MainController::quitDaemonForUpdate(const Notification& notification) {
    if (!fromOurselvesOrRoot(notification, getuid()))
        return;
    m_protection->stopProtection();
}

void MainController::workspaceDidMountNotification(const std::string& mountPoint) {
    m_protection->volumeDidMount(mountPoint);
}

void MainController::cacheDidUpdateNotification(const Notification& notification) {
    // Every cache's size is in the total, other users' caches on shared volumes too: whoever announced a
    // change, the next refresh measures again, even when nothing else is done for it here.
    _refreshMenu = true;
    std::optional<CacheUpdate> update = cacheUpdateFor(notification, getuid(), m_protection->paths().homeFolder);
    if (!update)
        return;
    if (!update->silent && m_protection->agentSettings().showNoteOnCacheUpdate)
        showNote(qs(noteTextForItems(update->itemsMoved)));
    if (update->cachePath) {
        std::string path = *update->cachePath;
        m_workers.start([this, path] { manageCacheContents(path); });
    }
}

void MainController::manageCacheContents(const std::string& cacheFolder) {
    PruneReport report = runPruningPass(cacheFolder, m_protection->agentSettings(), getuid());
    for (const auto& name : report.removed)
        bw::logLine(LOG_INFO, "-[MainController manageCacheContents:] removed %s/%s", cacheFolder.c_str(), name.c_str());
    if (!report.measured) {
        bw::logLine(LOG_ERR, "%s error in size computation!", "-[MainController manageCacheContents:]");
        return;
    }
    if (report.space.verdict == SpaceVerdict::DiskFullAlert) {
        AlertTexts alert = pruningDiskFullAlert(volumeDisplayName(cacheFolder), report);
        // The pass waits for the answer; the alert itself belongs to the main thread. The wait ends too
        // when the agent quits, and the pass then reports nothing more.
        if (QThread::currentThread() == thread()) {
            showDiskFullAlertOnMainThread(qs(alert.title), qs(alert.message), qs(alert.button));
        } else {
            auto answered = std::make_shared<std::atomic<bool>>(false);
            QMetaObject::invokeMethod(
                this,
                [this, alert, answered] {
                    showDiskFullAlertOnMainThread(qs(alert.title), qs(alert.message), qs(alert.button));
                    answered->store(true);
                    m_workers.wake();
                },
                Qt::QueuedConnection);
            m_workers.waitFor([answered] { return answered->load(); }, std::chrono::hours(24 * 365));
            if (m_workers.stopping())
                return;
        }
        sleepFor(std::chrono::milliseconds(100));
    } else if (report.space.verdict == SpaceVerdict::MustDeleteData) {
        bw::logLine(LOG_NOTICE, "%s %s", "-[MainController manageCacheContents:]", "Must delete data in cache");
    }
    QMetaObject::invokeMethod(
        this, [this] { menuDisplay(); }, Qt::QueuedConnection);
    m_bus.post(notif::kCacheManagementDone, std::nullopt, nullptr, true);
}

void MainController::showDiskFullAlertOnMainThread(const QString& title, const QString& message,
                                                   const QString& button) {
    runAlert(true, title, message, {button});
}

void MainController::diskIsFullNotification(const Notification& notification) {
    std::optional<std::string> cache = diskFullCacheFor(notification, getuid(), m_protection->paths().homeFolder);
    if (!cache)
        return;
    std::string volume = cache->empty() ? std::string() : volumeDisplayName(*cache);
    AlertTexts alert = diskFullAlert(volume);
    runAlert(true, qs(alert.title), qs(alert.message), {qs(alert.button)});
    sleepFor(std::chrono::milliseconds(100));
}

int MainController::runAlert(bool critical, const QString& title, const QString& message, const QStringList& buttons) {
    if (!m_alertsShown) {
        bw::logLine(LOG_NOTICE, "alert: %s: %s", title.toUtf8().constData(), message.toUtf8().constData());
        std::fprintf(stderr, "binwarden2-menu alert: %s\n%s\n", title.toUtf8().constData(),
                     message.toUtf8().constData());
        return 0;
    }
    return runAlertBox(critical ? QMessageBox::Critical : QMessageBox::Information, title, message, buttons);
}

void MainController::menuDisplay() {
    setStartStopTitle(m_protection->isProtectionActivated(false));
    bool created = false;
    if (!_infoMenuItem) {
        _infoMenuItem = new QWidgetAction(m_menuBarMenu.get());
        _menuView = new InfoMenuView();
        _infoMenuItem->setDefaultWidget(_menuView);
        // The same block as plain disabled items, for hosts that show only those.
        for (QAction** item : {&m_infoTitleItem, &m_infoSizeItem, &m_infoDisksItem}) {
            *item = new QAction(m_menuBarMenu.get());
            (*item)->setEnabled(false);
        }
        created = true;
    }
    if (_refreshMenu.exchange(false))
        startSizeWalk();
    updateInfoBlock();
    if (created) {
        m_menuBarMenu->addAction(_infoMenuItem);
        m_menuBarMenu->addActions({m_infoTitleItem, m_infoSizeItem, m_infoDisksItem});
        presentInfoBlock();
    }
    validateMenuItems();
}

void MainController::startSizeWalk() {
    if (m_sizeWalkRunning) {
        _refreshMenu = true; // measured again once the running walk is done
        return;
    }
    std::vector<std::string> caches = usersOwnCacheFolders(getCachesPaths(mountedLocalVolumes(), m_protection->paths().homeFolder),
                                                           m_protection->paths().homeFolder, getuid());
    m_sizeWalkRunning = true;
    // A large cache takes a while to walk: the tray and the bus keep going meanwhile, the figure follows.
    bool started = m_workers.start([this, caches] {
        std::uint64_t total = 0;
        {
            std::lock_guard lock(m_sizeLock);
            for (const auto& path : caches) {
                if (m_workers.stopping())
                    return;
                total += m_folderSizer.getFolderSize(path);
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this, total] {
                m_sizeWalkRunning = false;
                _prevCacheSize = total;
                updateInfoBlock();
                if (_refreshMenu.exchange(false))
                    startSizeWalk();
            },
            Qt::QueuedConnection);
    });
    if (!started)
        m_sizeWalkRunning = false;
}

void MainController::updateInfoBlock() {
    if (!_menuView)
        return;
    std::int64_t disks = 0;
    if (auto stored = loadSettings(m_protection->paths().settingsFile))
        disks = static_cast<std::int64_t>(stored->volumes.size());
    QString point = QLocale().decimalPoint();
    char separator = point.size() == 1 && point[0].unicode() < 128 ? static_cast<char>(point[0].unicode()) : '.';
    QString title = qs(infoTitleText());
    QString body = qs(infoBodyText(_prevCacheSize, disks, separator));
    if (_menuView->text() != title + "\n" + body)
        _menuView->setText(title, body);
    QStringList lines = body.split('\n');
    QString sizeLine = lines.value(0);
    QString disksLine = lines.size() > 1 ? lines.mid(1).join(' ') : QString();
    if (m_infoTitleItem->text() != title)
        m_infoTitleItem->setText(title);
    if (m_infoSizeItem->text() != sizeLine)
        m_infoSizeItem->setText(sizeLine);
    if (m_infoDisksItem->text() != disksLine)
        m_infoDisksItem->setText(disksLine);
}

void MainController::presentInfoBlock() {
    if (!_infoMenuItem)
        return;
    // A menu handed to a StatusNotifier host gets a platform menu, exported over D-Bus; only plain items
    // survive the trip there. Where Qt draws the menu itself the drawn block shows instead.
    bool exported = theItem && m_menuBarMenu->platformMenu() != nullptr && !m_menuDrawnByQt;
    _infoMenuItem->setVisible(!exported);
    for (QAction* item : {m_infoTitleItem, m_infoSizeItem, m_infoDisksItem})
        item->setVisible(exported);
}

QList<QAction*> MainController::infoItems() const {
    if (!m_infoTitleItem)
        return {};
    return {m_infoTitleItem, m_infoSizeItem, m_infoDisksItem};
}

void MainController::validateMenuItems() {
    if (!m_menuBarMenu)
        return;
    bool mainAppRuns = m_protection->isMainAppLaunched();
    for (QAction* action : m_menuBarMenu->actions()) {
        if (action->isSeparator() || action == _infoMenuItem || action == m_infoTitleItem || action == m_infoSizeItem ||
            action == m_infoDisksItem)
            continue;
        int tag = action->data().toInt();
        bool enabled = false;
        if (tag == kTagOpen || tag == kTagOpenSettings || tag == 0)
            enabled = !mainAppRuns;
        else if (tag == kTagStartStop)
            enabled = !mainAppRuns && m_protection->launcherIsRootOwned();
        action->setEnabled(enabled);
    }
}

void MainController::openBinwarden(int tag) {
    if (tag != 0 && tag != kTagOpen && tag != kTagOpenSettings)
        return;
    int n = tag == kTagOpenSettings ? 2 : 1;
    m_workers.start([this, n] { openMainApplication(*m_services, installRoot(), xdgDataHome(), n == 2); });
}

void MainController::quitMenu() {
    QMetaObject::invokeMethod(
        this, [this] { handleQuit(); }, Qt::QueuedConnection);
}

void MainController::handleQuit() {
    bool on = m_protection->isProtectionActivated(true);
    if (on) {
        int answer = runAlert(true, qs(localizedString("200_Quit BinwardenMenu title")),
                              qs(localizedString("200_Quit BinwardenMenu Message")),
                              {qs(localizedString("200_Quit BinwardenMenu Cancel Button")),
                               qs(localizedString("200_Quit BinwardenMenu Quit Button"))});
        if (answer == 0)
            return;
    }
    // A start still waiting ends here, before the flag is written, so that it cannot change it afterwards.
    stopWorkers();
    if (on) {
        m_protection->stopProtection();
        m_protection->setProtectionStatusForStartTo(true);
    } else {
        m_protection->setProtectionStatusForStartTo(false);
    }
    if (theItem) {
        theItem->hide();
        theItem.reset();
    }
    QCoreApplication::quit();
}

void MainController::delayedCheckUpdates() {
    double now = timeIntervalSinceReferenceDate();
    if (!updateCheckIsDue(now, m_delegate->updateTime()))
        return;
    m_delegate->setUpdateTime(now);
    _softwareUpdater.setCanWarnUser(m_protection->agentSettings().checkForUpdates && !_auto_update);
    _softwareUpdater.setManualUpdate(false);
    _softwareUpdater.setLogFlag(false);
    _softwareUpdater.setProductReference("BW2");
    _softwareUpdater.setInstallationPath(installRoot());
    _softwareUpdater.setNotificationBus(&m_bus); // the build's script address is the updater's default
    // The agent reacts to "a newer version exists" by checking again; its own updater must therefore
    // never announce one, or the two would call each other without end.
    _softwareUpdater.setCanPostNotification(false);
    _softwareUpdater.checkVersionAsynchronous();
}

void MainController::mainAppSaysUpdate(const Notification& notification) {
    if (!fromOurselvesOrRoot(notification, getuid()))
        return;
    m_delegate->resetUpdateTime();
    _softwareUpdater.resetUpdateTime();
    delayedCheckUpdates();
}

int MainController::dockPosition() const {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 0;
    QRect frame = screen->geometry();
    QRect available = screen->availableGeometry();
    // Measured as the design does: x from the left edge, y up from the bottom edge.
    Rect f{0, 0, static_cast<double>(frame.width()), static_cast<double>(frame.height())};
    Rect v{static_cast<double>(available.x() - frame.x()), static_cast<double>(frame.bottom() - available.bottom()),
           static_cast<double>(available.width()), static_cast<double>(available.height())};
    return bw::dockPosition(f, v);
}

void MainController::reportProtectionProblem(const ProtectionProblemReport& report) {
    const std::string text = protectionProblemText(report);
    if (standardErrorKeepsLines())
        std::fprintf(stderr, "binwarden2-menu: %s\n", text.c_str());
    // Headless, showNote would repeat the line on standard error; a desktop note may still be there.
    if (m_headless)
        m_notes->deliver(qs(protectionProblemTitle()), qs(text), "binwarden2");
    else
        showNote(qs(text));
}

void MainController::showNote(const QString& text) {
    if (m_notes->deliver("Binwarden 2", text, "binwarden2"))
        return;
    if (m_headless) {
        std::fprintf(stderr, "binwarden2-menu note: %s\n", text.toUtf8().constData());
        return;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QFont bold = QApplication::font();
    bold.setBold(true);
    bold.setPointSize(12);
    int width = QFontMetrics(bold).horizontalAdvance(qs(localizedString("200_Cache Updated"))) + 20;
    width = std::max(width, QFontMetrics(bold).horizontalAdvance(text) + 20);
    const int height = 64;
    QRect area = screen->geometry();
    int position = dockPosition();
    int x = (position == 2 || position == 3) ? area.right() - width - 20 : area.left() + 20;
    int y = area.bottom() - height - 10;
    auto* window = new BWAlertView();
    window->setWindowFlags(Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus);
    window->setAttribute(Qt::WA_TranslucentBackground);
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setText(text);
    window->set_icon(loadImage("Icon64"));
    window->setGeometry(x, y, width, height);
    window->show();
    // The note stays three seconds; the event loop keeps running so that it is drawn.
    QTimer::singleShot(3000, window, &QWidget::close);
}

void Binwarden_2_MenuAppDelegate::userNotificationCenterDidActivateNotification() {
    if (_menuMainController)
        _menuMainController->openBinwarden(0);
}

} // namespace bw
