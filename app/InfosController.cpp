#include "InfosController.h"

#include "AppContext.h"
#include "PXAppUtils.h"
#include "PXProgressSheet.h"
#include "app_strings.h"
#include "app_version.h"
#include "background_view.h"
#include "desktop_session.h"
#include "folder_removal.h"
#include "files/log_line.h"
#include "infos_texts.h"
#include "maintenance_alert.h"
#include "maintenance_strings.h"
#include "files/mount_table.h"
#include "bus/notification_names.h"
#include "protection_plan.h"
#include "settings/settings.h"
#include "start_stop_button.h"

#include <QApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace bw {

namespace {

QString text(const char* key) {
    return QString::fromStdString(appString(key));
}

char localeDecimalSeparator() {
    QString point = QLocale().decimalPoint();
    return point.size() == 1 && point[0].unicode() < 128 ? static_cast<char>(point[0].unicode()) : '.';
}

// The green of the Start title.
const QColor kStartColor = QColor::fromRgbF(0.0f, 0.68f, 0.17f, 1.0f);

} // namespace

InfosController::InfosController(AppContext& context, QObject* parent) : QObject(parent), m_context(context) {
    buildPage();
    m_sizeWorker = std::make_unique<CacheSizeWorker>([this](std::uint64_t total) {
        // Runs on the worker thread; the figure is shown on the main thread.
        QMetaObject::invokeMethod(
            this, [this, total] { applyCacheTotal(total); }, Qt::QueuedConnection);
    });
    m_refreshTimer.setInterval(3000);
    connect(&m_refreshTimer, &QTimer::timeout, this, &InfosController::refreshTimer);
}

InfosController::~InfosController() {
    {
        std::lock_guard lock(m_pauseMutex);
        m_closing = true;
    }
    m_pauseWake.notify_all();
    if (m_launchThread.joinable())
        m_launchThread.join();
    delete m_convertProgress; // waits for a conversion still running
    m_sizeWorker.reset();
}

void InfosController::buildPage() {
    auto* page = new PXBackgroundView();
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 18, 24, 18);
    m_activeTF = new QLabel(text("200_Protection Active"), page);
    m_stoppedTF = new QLabel(text("200_Protection Stopped"), page);
    for (QLabel* label : {m_activeTF, m_stoppedTF}) {
        QFont bigger = label->font();
        bigger.setPointSizeF(bigger.pointSizeF() * 1.4);
        bigger.setBold(true);
        label->setFont(bigger);
        label->setAlignment(Qt::AlignHCenter);
        layout->addWidget(label);
    }
    m_stoppedTF->hide();
    m_startStopButton = new PXStartStopButton(page);
    m_startStopButton->setObjectName("startStopButton");
    layout->addSpacing(8);
    layout->addWidget(m_startStopButton, 0, Qt::AlignHCenter);
    layout->addSpacing(12);
    auto* figures = new QFormLayout();
    figures->setFormAlignment(Qt::AlignHCenter);
    figures->setLabelAlignment(Qt::AlignRight);
    m_cacheSizeTF = new QLabel(page);
    m_nbDisksTF = new QLabel(page);
    for (QLabel* label : {m_cacheSizeTF, m_nbDisksTF})
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    figures->addRow(text("200_Cache Size Label"), m_cacheSizeTF);
    figures->addRow(text("200_Disks Label"), m_nbDisksTF);
    auto* centred = new QHBoxLayout();
    centred->addStretch(1);
    centred->addLayout(figures);
    centred->addStretch(1);
    layout->addLayout(centred);
    layout->addStretch(1);
    connect(m_startStopButton, &QPushButton::clicked, this, &InfosController::startStopProtection);
    m_page = page;
    showStoppedLook();
}

void InfosController::awakeFromNib() {
    _protectionStatus = kNoRequest;
    __DELETE_VERSION1 = false;
    if (!checkVersion1OnLaunch())
        return;
    refreshInfos();
    refreshInterface();

    bool newVersion = false;
    bool agentRuns = false;
    bool preferences = m_context.store.fileExists();
    if (preferences) {
        newVersion = m_context.store.integerValue(kFirstLaunchKey) != APPVersion();
        agentRuns = agentRunsForUser();
    }
    bool openAgent = !preferences || !agentRuns;
    if (newVersion || openAgent)
        m_launchThread = std::thread([this, newVersion, openAgent] { firstLaunchAndAgent(newVersion, openAgent); });

    m_refreshTimer.start();
    auto refresh = [this](const Notification&) { refreshAll(); };
    m_context.bus.observe(notif::kInfosNeedRefresh, refresh);
    m_context.bus.observe(notif::kNewDataInCache, refresh);
}

void InfosController::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(m_pauseMutex);
    m_pauseWake.wait_for(lock, duration, [this] { return m_closing; });
}

void InfosController::firstLaunchAndAgent(bool newVersion, bool openAgent) {
    const std::string agent = m_context.agentPath();
    if (newVersion) {
        pause(std::chrono::milliseconds(2000));
        // The login item of an earlier version may point at another install; the agent writes its own
        // at start, and when it already runs the item is written for this install's agent now, so the
        // next login still starts protection.
        if (openAgent) {
            // Every entry that starts this install's agent goes, under whatever name it was saved.
            std::remove(autostartEntryPath().c_str());
            PXAppUtils(std::string(), agent).removeMyAppInLoginItems();
        } else if (autostartEntryExists()) {
            writeAutostartEntry(agent);
        }
    }
    if (!openAgent)
        return;
    // Launching the agent (openBW2Menu:).
    std::int64_t firstLaunch = m_context.store.integerValue(kFirstLaunchKey).value_or(0);
    if (firstLaunch != APPVersion()) {
        m_context.store.setInteger(kFirstLaunchKey, APPVersion());
        pause(std::chrono::milliseconds(2000));
    }
    {
        std::lock_guard lock(m_pauseMutex);
        if (m_closing)
            return;
    }
    std::string error;
    if (!m_context.services.launch(agent, {agent}, &error))
        bw::logLine(LOG_ERR, "-[InfosController openBW2Menu:] %s", error.c_str());
    if (!m_context.store.fileExists()) {
        PlistPtr defaults = Settings::defaults().toPlist();
        m_context.bus.post(notif::kSettingsUpdated, std::nullopt, defaults.get(), true);
    }
}

bool InfosController::agentRunsForUser() const {
    return anyProcessOfUser(m_context.services.processInfo(kAgentProcess), m_context.uid);
}

bool InfosController::isProtectionActivated() const {
    return anyProcessOfUser(m_context.services.processInfo(kDaemonProcess), m_context.uid);
}

void InfosController::refreshAll() {
    refreshInfos();
    refreshInterface();
}

void InfosController::refreshInfos() {
    m_sizeWorker->request(usersOwnCacheFolders(getCachesPaths(m_context.services.mountedVolumes(), m_context.homeFolder),
                                                m_context.homeFolder, getuid()));
    m_nbDisksTF->setText(QString::fromStdString(infosDisksText(m_context.store.settings().volumes.size())));
}

void InfosController::applyCacheTotal(std::uint64_t total) {
    m_cacheSizeTF->setText(QString::fromStdString(infosCacheSizeText(total, localeDecimalSeparator())));
    ++m_sizeRefreshes;
    emit cacheSizeShown(total);
}

void InfosController::showRunningLook() {
    m_startStopButton->setTextColor(Qt::red);
    m_activeTF->show();
    m_stoppedTF->hide();
    m_startStopButton->setIcon(QIcon(":/icons/binwarden2-stop.svg"));
    m_startStopButton->setText(text("200_Button Stop Title"));
}

void InfosController::showStoppedLook() {
    m_startStopButton->setTextColor(kStartColor);
    m_activeTF->hide();
    m_stoppedTF->show();
    m_startStopButton->setIcon(QIcon(":/icons/binwarden2-start.svg"));
    m_startStopButton->setText(text("200_Button Start Title"));
}

void InfosController::refreshInterface() {
    if (_protectionStatus > kNoRequest)
        return;
    m_startStopButton->setEnabled(true);
    if (isProtectionActivated())
        showRunningLook();
    else
        showStoppedLook();
}

void InfosController::refreshTimer() {
    if (_protectionStatus == kStartShown && !isProtectionActivated())
        QThread::msleep(100);
    else if (_protectionStatus == kStopOrUnknown && isProtectionActivated())
        QThread::msleep(100);
    _protectionStatus = kNoRequest;
    refreshInterface();
}

void InfosController::startStopProtection() {
    // The request goes to the agent, so it has to run: launch it when it does not, and give it up to 5 s
    // to come up, keeping the window drawn meanwhile.
    if (!agentRunsForUser()) {
        std::string agent = m_context.agentPath();
        std::string error;
        if (!m_context.services.launch(agent, {agent}, &error))
            bw::logLine(LOG_ERR, "-[InfosController startStopProtection:] %s", error.c_str());
        for (int i = 0; i < 10 && !agentRunsForUser(); ++i) {
            QApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 50);
            QThread::msleep(500);
        }
    }
    m_startStopButton->setEnabled(false);
    const std::string uidText = userIdText(m_context.uid);
    struct stat v1 {};
    if (!isProtectionActivated() && lstat((m_context.homeFolder + "/" + kVersion1CacheFolderName).c_str(), &v1) == 0 &&
        S_ISDIR(v1.st_mode)) {
        askAboutVersion1();
        return;
    }
    if (isProtectionActivated()) {
        m_context.bus.post(notif::kStopProtection, uidText, nullptr, true);
        showStoppedLook();
        _protectionStatus = kStopOrUnknown;
        return;
    }
    m_context.bus.post(notif::kStartProtection, uidText, nullptr, true);
    showStartRequested();
}

void InfosController::showStartRequested() {
    struct stat st {};
    bool launcherIsRoot = stat(m_context.launcherPath().c_str(), &st) == 0 && st.st_uid == 0;
    if (launcherIsRoot) {
        showRunningLook();
        _protectionStatus = kStartShown;
    } else {
        // The agent first has to repair the launcher with administrator rights.
        showStoppedLook();
        _protectionStatus = kStopOrUnknown;
    }
}

Version1Context InfosController::version1Context() const {
    Version1Context context;
    context.uid = m_context.uid;
    context.gid = getgid();
    context.homeFolder = m_context.homeFolder;
    const std::string settings = m_context.store.path();
    context.configFolder = settings.substr(0, settings.rfind('/'));
    const std::string entry = autostartEntryPath();
    context.autostartFolder = entry.substr(0, entry.rfind('/'));
    context.mounts = readMountTable();
    context.volumes = m_context.services.mountedVolumes();
    return context;
}

bool InfosController::checkVersion1OnLaunch() {
    const MaintenanceServices services = m_context.maintenanceServices();
    if (!services.processTable || !isVersion1MenuRunning(services.processTable()))
        return true;
    // Stop or Quit: Quit is the default and what dismissing gives, as it ends nothing of another program.
    enum { kStop = 0, kQuit = 1 };
    if (runMaintenanceAlert(QMessageBox::Warning, version1OnLaunchAlert(), {}, m_page->window(), kQuit) == kQuit) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
        return false;
    }
    killExtraMenuVersion1(m_context.uid, services);
    killAllVersion1Daemons(m_context.uid, services);
    PXAppUtils(version1Context().autostartFolder).removeAppInLoginItemsWithLastPathComponent(kVersion1MenuExtra);
    return true;
}

void InfosController::askAboutVersion1() {
    const int cancel = static_cast<int>(Version1Answer::Cancel);
    version1AlertDidEnd(
        runMaintenanceAlert(QMessageBox::Warning, version1OnStartAlert(), {}, m_page->window(), cancel));
}

void InfosController::version1AlertDidEnd(int answer) {
    switch (static_cast<Version1Answer>(answer)) {
    case Version1Answer::Delete:
        __DELETE_VERSION1 = true;
        [[fallthrough]];
    case Version1Answer::Convert:
        // After this turn of the event loop, as the alert has gone.
        QTimer::singleShot(0, this, &InfosController::uninstallVersion1);
        return;
    case Version1Answer::Ignore:
        // The first version stops, its caches stay (the question comes again at the next Start).
        ignoreVersion1(version1Context(), m_context.maintenanceServices());
        showStartRequested();
        return;
    case Version1Answer::Cancel:
        // The button comes back at the next tick.
        return;
    }
}

PXProgressSheet* InfosController::convertProgress() {
    if (!m_convertProgress)
        m_convertProgress = new PXProgressSheet(m_page->window(), text("200_Progress Title"));
    return m_convertProgress;
}

void InfosController::uninstallVersion1() {
    const Version1Context context = version1Context();
    const MaintenanceServices services = m_context.maintenanceServices();
    const bool deleteVersion1 = __DELETE_VERSION1;
    auto report = std::make_shared<MigrationReport>();
    QPointer<InfosController> self(this);
    // The search for the first version's applications walks folders, so it runs on the worker too.
    convertProgress()->run(
        QString::fromStdString(maintenanceString(kVersion1ConvertStatusKey)), 0,
        [context, services, deleteVersion1, report](const PXProgressSheet::Report&) {
            std::vector<std::string> applications = bw::uninstallVersion1(context, services);
            *report = finishUninstallV1(applications, deleteVersion1, context, services);
        },
        [self, report] {
            if (self)
                self->convertSheetDidEnd(*report);
        });
}

void InfosController::convertSheetDidEnd(const MigrationReport& report) {
    m_lastMigration = report;
    // The second start request: the first went out when the caches were done.
    m_context.bus.post(notif::kStartProtection, userIdText(m_context.uid), nullptr, true);
    showStartRequested();
    if (!report.leftBehind.empty()) {
        RemovalReport left;
        for (const auto& folder : report.leftBehind)
            left.leftBehind.push_back({folder, maintenanceString(kVersion1LeftBehindReasonKey)});
        runMaintenanceAlert(QMessageBox::Warning, leftBehindAlert(), QString::fromStdString(leftBehindMessage(left)),
                            m_page->window());
    }
    emit version1MigrationDidEnd();
}

} // namespace bw
