#include "MainController.h"

#include "AppContext.h"
#include "InfosController.h"
#include "PXFiltersController.h"
#include "PXProgressSheet.h"
#include "RecoveryController.h"
#include "SettingsController.h"
#include "alert_box.h"
#include "app_strings.h"
#include "app_version.h"
#include "delete_all_caches.h"
#include "desktop_session.h"
#include "maintenance_alert.h"
#include "maintenance_strings.h"
#include "bus/notification_names.h"
#include "files/log_line.h"
#include "password_check.h"
#include "password_sheet.h"
#include "protection_plan.h"
#include "tab_button.h"
#include "user_trash.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

// The icons are compiled into the static library; its resources must be registered by name.
static void initAppResources() {
    Q_INIT_RESOURCE(app_icons);
}

namespace bw {

namespace {

QString text(const char* key) {
    return QString::fromStdString(appString(key));
}

QRect toQRect(const FrameRect& frame) {
    return {frame.x, frame.y, frame.width, frame.height};
}

// The folders done on the sheet's bar, which turns busy once the last is done (what follows has no count).
ProgressFunction folderProgressOn(const PXProgressSheet::Report& report) {
    return [&report](std::size_t done, std::size_t total) {
        report(static_cast<int>(done), static_cast<int>(total), {});
        if (done == total)
            report(0, 0, {});
    };
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

} // namespace

MainController::MainController(AppContext& context, QObject* parent) : QObject(parent), m_context(context) {
    initAppResources();
    buildWindow();
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setInterval(300);
    connect(&m_frameTimer, &QTimer::timeout, this, &MainController::flushFrames);
}

MainController::~MainController() {
    flushFrames();
    if (m_window)
        m_window->removeEventFilter(this);
    // The tab controllers' pages live in the window; the controllers go first.
    delete m_progressSheet; // waits for a worker still running
    delete m_recovery;
    delete m_settings;
    delete m_infos;
    delete m_filters;
    delete m_window;
}

void MainController::buildWindow() {
    m_window = new QMainWindow();
    m_window->setWindowTitle(text("200_Window Title"));
    m_window->setWindowIcon(QIcon::fromTheme("binwarden2", QIcon(":/icons/binwarden2.svg")));
    m_window->setAttribute(Qt::WA_DeleteOnClose, false);
    m_window->installEventFilter(this);

    m_passwordAskPanel = new PXPasswordSheet(
        false,
        {text("200_Password Field"), QString(), text("200_Password OK Button"), text("200_Password Cancel Button")},
        m_window);
    m_filters = new PXFiltersController();
    m_infos = new InfosController(m_context);
    m_settings = new SettingsController(m_context, m_filters, m_passwordAskPanel, m_window);

    auto* central = new QWidget(m_window);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 6, 0, 6);
    layout->setSpacing(0);

    auto* buttons = new QHBoxLayout();
    buttons->setSpacing(4);
    buttons->addStretch(1);
    QStyle* style = QApplication::style();
    const struct {
        const char* title;
        const char* icon;
        QStyle::StandardPixmap fallback;
    } tabs[4] = {{"200_Tab Information", "dialog-information", QStyle::SP_MessageBoxInformation},
                 {"200_Tab Settings", "preferences-system", QStyle::SP_FileDialogDetailedView},
                 {"200_Tab Recovery", "document-revert", QStyle::SP_BrowserReload},
                 {"200_Tab Advanced", "preferences-other", QStyle::SP_FileDialogContentsView}};
    for (int tag = 0; tag < 4; ++tag) {
        QIcon icon = QIcon::fromTheme(tabs[tag].icon, style->standardIcon(tabs[tag].fallback));
        m_tabButtons[tag] = new PXTabButton(tag, text(tabs[tag].title), icon, central);
        buttons->addWidget(m_tabButtons[tag]);
        connect(m_tabButtons[tag], &PXTabButton::tabPressed, this, &MainController::selectTabView);
    }
    buttons->addStretch(1);
    layout->addLayout(buttons);
    auto* line = new QFrame(central);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);

    tabView = new QStackedWidget(central);
    m_recovery = new RecoveryController(m_context, m_window);
    // A deletion changes the figures the information tab shows.
    connect(m_recovery, &RecoveryController::infosNeedRefresh, m_infos, &InfosController::refreshAll);
    for (QWidget* page :
         {m_infos->page(), m_settings->settingsPage(), m_recovery->page(), m_settings->advancedPage()}) {
        page->setContentsMargins(12, 6, 12, 0);
        tabView->addWidget(page);
    }
    layout->addWidget(tabView, 1);

    auto* footer = new QHBoxLayout();
    footer->setContentsMargins(12, 4, 12, 0);
    m_copyrightTF = new QLabel(central);
    m_copyrightTF->setEnabled(false);
    m_websiteButton = new QPushButton(central);
    m_websiteButton->setFlat(true);
    m_websiteButton->setCursor(Qt::PointingHandCursor);
    footer->addWidget(m_copyrightTF);
    footer->addStretch(1);
    footer->addWidget(m_websiteButton);
    layout->addLayout(footer);
    connect(m_websiteButton, &QPushButton::clicked, this, &MainController::openWebsite);

    m_window->setCentralWidget(central);
    m_progressSheet = new PXProgressSheet(m_window, text("200_Progress Title"));
    buildMenus();
}

void MainController::buildMenus() {
    QMenu* file = m_window->menuBar()->addMenu(text("200_Menu File"));
    file->addAction(text("200_Menu Delete All Caches"), this, &MainController::deleteAllCaches)
        ->setObjectName("deleteAllCaches");
    file->addAction(text("200_Menu Uninstall"), this, &MainController::uninstallBinwarden)
        ->setObjectName("uninstallBinwarden");
    file->addSeparator();
    QAction* quit = file->addAction(text("200_Menu Quit"), m_window, &QWidget::close);
    quit->setShortcut(QKeySequence::Quit);
    QMenu* help = m_window->menuBar()->addMenu(text("200_Menu Help"));
    help->addAction(text("200_Menu Manual"), this, &MainController::showManual)
        ->setShortcut(QKeySequence::HelpContents);
    help->addAction(text("200_Menu Release Notes"), this, &MainController::openReleaseNotes);
    help->addAction(text("200_Menu Web Site"), this, &MainController::openWebsite);
    help->addSeparator();
    help->addAction(text("200_Menu Check Updates"), this, &MainController::checkforUpdates);
    help->addSeparator();
    help->addAction(text("200_Menu About"), this, &MainController::openAboutBox);
}

void MainController::awakeFromNib() {
    _manualUpdate = false;
    setButtonsOn(0);
    tabView->setCurrentIndex(0);
    shrinkToMinimum();
    __nextTabView = kTabInformation;

    // The web-site button shows its address as a link.
    m_websiteButton->setText(text("200_Site URL"));
    QFont link = m_websiteButton->font();
    link.setUnderline(true);
    m_websiteButton->setFont(link);
    QPalette palette = m_websiteButton->palette();
    palette.setColor(QPalette::ButtonText, palette.color(QPalette::Link));
    m_websiteButton->setPalette(palette);
    m_copyrightTF->setText(QString::fromStdString(appBundleVersion()) + " " + text("200_Copyright"));

    std::error_code ec;
    std::filesystem::create_directories(m_context.supportFolder, ec);

    // The tab controllers prepare themselves as the window loads them.
    m_infos->awakeFromNib();
    m_settings->awakeFromNib();
    m_filters->awakeFromNib(m_context.store);

    // The agent asked for the settings: open on the Settings tab, once.
    const std::string marker = m_context.supportFolder + "/.settingsFlag";
    if (fileExists(marker)) {
        m_settings->saveButton()->setEnabled(false);
        m_settings->loadGUI();
        setResizable(true);
        setButtonsOn(1);
        __nextTabView = kTabSettings;
        applySavedFrame(kTabSettings);
        tabView->setCurrentIndex(1);
        if (unlink(marker.c_str()) != 0)
            bw::logLine(LOG_ERR, "-[MainController awakeFromNib] cannot remove %s: %s", marker.c_str(),
                        std::strerror(errno));
    }

    if (m_context.store.settings().updates)
        QTimer::singleShot(3000, this, &MainController::delayedCheckUpdates);
}

PXTabButton* MainController::tabButton(int tag) const {
    return tag >= 0 && tag < 4 ? m_tabButtons[tag] : nullptr;
}

int MainController::selectedTab() const {
    return tabView->currentIndex() + 1;
}

QSize MainController::minimumWindowSize() const {
    return m_window->minimumSizeHint().expandedTo(QSize(480, 360));
}

bool MainController::isResizable() const {
    return m_window->minimumSize() != m_window->maximumSize();
}

void MainController::setButtonsOn(int tag) {
    for (int i = 0; i < 4; ++i)
        m_tabButtons[i]->setState(i == tag);
}

FrameRect MainController::currentFrame() const {
    QRect g = m_window->geometry();
    return {g.x(), g.y(), g.width(), g.height()};
}

void MainController::setResizable(bool resizable) {
    QSize minimum = minimumWindowSize();
    if (resizable) {
        m_window->setMinimumSize(minimum);
        m_window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    } else {
        m_window->setFixedSize(m_window->size());
    }
}

void MainController::shrinkToMinimum() {
    QSize minimum = minimumWindowSize();
    m_window->setMinimumSize(minimum);
    m_window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    m_window->setGeometry(toQRect(frameAtMinimum(currentFrame(), minimum.width(), minimum.height())));
    setResizable(false);
}

void MainController::applySavedFrame(int tab) {
    auto saved = m_context.store.stringValue(savedFrameKey(tab));
    if (auto pending = m_pendingFrames.find(savedFrameKey(tab)); pending != m_pendingFrames.end())
        saved = pending->second;
    if (!saved || saved->empty())
        return;
    auto frame = frameFromString(*saved);
    if (!frame)
        return;
    QSize minimum = minimumWindowSize();
    frame->width = std::max(frame->width, minimum.width());
    frame->height = std::max(frame->height, minimum.height());
    m_window->setMinimumSize(minimum);
    m_window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    m_window->setGeometry(toQRect(frameWithSavedSize(currentFrame(), *frame)));
}

void MainController::showTab(int tab) {
    const bool entering = tabView->currentIndex() != tab - 1;
    tabView->setCurrentIndex(tab - 1);
    // The list is read afresh, with its automatic time window, each time the tab is entered.
    if (entering && tab == kTabRecovery)
        m_recovery->loadGUI();
}

void MainController::selectTabView(int tag) {
    if (tag < 0 || tag > 3)
        return;
    const int target = tag + 1;
    int current = selectedTab();
    if ((current == kTabSettings || current == kTabAdvanced) &&
        (m_settings->saveButton()->isEnabled() || m_settings->saveButtonAdvanced()->isEnabled())) {
        // The question in bold, the explanation below it: window titles are not shown by every desktop.
        auto alert = buildAlertBox(
            QMessageBox::Warning, text("200_Save Settings Alert Title"), text("200_Save Settings Alert Title"),
            {text("200_Save Settings Alert Save Button"), text("200_Save Settings Alert Cancel Button")}, m_window);
        alert->setInformativeText(text("200_Save Settings Alert Message"));
        alert->exec();
        if (alertAnswer(*alert) == 0)
            m_settings->saveSettings();
        m_settings->saveButton()->setEnabled(false);
        m_settings->saveButtonAdvanced()->setEnabled(false);
    }
    current = selectedTab();

    if (target != current) {
        __nextTabView = target;
        // The Recovery tab is shown only once its password was given.
        if (current == kTabInformation && target != kTabRecovery)
            showTab(target);
        if (target == kTabInformation) {
            shrinkToMinimum();
            // Saved settings may have changed the number of protected disks.
            m_infos->refreshAll();
        } else {
            applySavedFrame(target);
        }
        if (target == kTabRecovery) {
            if (m_context.checkPassword()) {
                m_passwordAskPanel->ask(text("200_Password Ask Title"), text("200_Password Ask Message"),
                                        [this](bool ok) { passwordAskDidEnd(ok); });
                return;
            }
            setResizable(true);
        } else if (target == kTabSettings) {
            m_settings->saveButton()->setEnabled(false);
            m_settings->loadGUI();
            setResizable(true);
        } else if (target == kTabAdvanced) {
            setResizable(true);
        }
        if (current != kTabInformation || target == kTabRecovery)
            showTab(target);
    }
    setButtonsOn(tag);
}

void MainController::passwordAskDidEnd(bool ok) {
    if (ok) {
        if (!typedPasswordMatches(m_context.keychain, *m_passwordAskPanel, "-[MainController passwordAskDidEnd:]"))
            return;
        setResizable(true);
        showTab(kTabRecovery);
        setButtonsOn(kTabRecovery - 1);
        m_passwordAskPanel->dismiss();
        return;
    }
    m_passwordAskPanel->dismiss();
    // Coming from the Information tab, the window goes back to it as it was.
    if (selectedTab() == kTabInformation) {
        __nextTabView = kTabInformation;
        shrinkToMinimum();
    }
    setButtonsOn(selectedTab() - 1);
}

void MainController::windowDidResize() {
    if (m_uninstalled)
        return;
    std::string key = savedFrameKey(__nextTabView);
    if (key.empty())
        return;
    m_pendingFrames[key] = frameToString(currentFrame());
    m_frameTimer.start();
}

void MainController::flushFrames() {
    if (m_uninstalled)
        return;
    for (const auto& [key, frame] : m_pendingFrames)
        m_context.store.setString(key, frame);
    m_pendingFrames.clear();
}

bool MainController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_window) {
        if (event->type() == QEvent::Resize)
            windowDidResize();
        else if (event->type() == QEvent::Close) {
            // Closing the main window ends the program.
            flushFrames();
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        }
    }
    return QObject::eventFilter(watched, event);
}

void MainController::openAboutBox() {
    QString version =
        QString::fromStdString(appString("AboutVersion")).replace("%@", QString::fromStdString(appBundleVersion()));
    QMessageBox box(m_window);
    box.setWindowTitle(text("200_Menu About").remove('&'));
    box.setIconPixmap(m_window->windowIcon().pixmap(64, 64));
    box.setText("<b>" + text("200_Window Title") + "</b><br>" + version);
    box.setInformativeText(text("200_About Credits") + "\n\n" + text("200_Copyright"));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void MainController::showManual() {
    const std::string guide = m_context.services.installRoot + "/share/doc/binwarden2/Binwarden 2 User Guide.pdf";
    if (fileExists(guide))
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(guide)));
    else
        QDesktopServices::openUrl(QUrl(text("200_Site URL")));
}

void MainController::openReleaseNotes() {
    const QString notes =
        QString::fromStdString(m_context.services.installRoot + "/share/doc/binwarden2/release-notes.html");
    QFile file(notes);
    if (!file.open(QIODevice::ReadOnly))
        return;
    if (!m_releaseNotesPanel) {
        m_releaseNotesPanel = new QDialog(m_window);
        m_releaseNotesPanel->setWindowTitle(text("200_Release Notes Title"));
        auto* layout = new QVBoxLayout(m_releaseNotesPanel);
        auto* browser = new QTextBrowser(m_releaseNotesPanel);
        browser->setObjectName("releaseNotesText");
        browser->setOpenExternalLinks(true);
        layout->addWidget(browser);
        auto* close = new QDialogButtonBox(QDialogButtonBox::Close, m_releaseNotesPanel);
        connect(close, &QDialogButtonBox::rejected, m_releaseNotesPanel, &QDialog::close);
        layout->addWidget(close);
        m_releaseNotesPanel->resize(520, 420);
    }
    m_releaseNotesPanel->findChild<QTextBrowser*>("releaseNotesText")->setHtml(QString::fromUtf8(file.readAll()));
    m_releaseNotesPanel->show();
    m_releaseNotesPanel->raise();
}

void MainController::openWebsite() {
    QDesktopServices::openUrl(QUrl(m_websiteButton->text()));
}

void MainController::openBetaWebsite() {
    QDesktopServices::openUrl(QUrl(text("201_BETA URL")));
}

void MainController::delayedCheckUpdates() {
    runUpdateCheck(_manualUpdate);
}

void MainController::checkforUpdates() {
    _manualUpdate = true;
    delayedCheckUpdates();
}

void MainController::updateResulteDidGetResult(int result) {
    if (result != 1)
        return;
    auto infos = _softwareUpdater.updateInfos();
    std::optional<std::string> productURL;
    if (infos && !infos->productURL.empty())
        productURL = infos->productURL;
    m_context.bus.post(notif::kNewVersionAvailable, productURL, nullptr, true);
}

void MainController::runUpdateCheck(bool manual) {
    _softwareUpdater.setResultDelegate(this);
    _softwareUpdater.setLogFlag(true);
    _softwareUpdater.setManualUpdate(manual);
    _softwareUpdater.setCanWarnUser(true);
    _softwareUpdater.setProductReference("BW2");
    _softwareUpdater.setInstallationPath(m_context.services.installRoot);
    // The script's address is the updater's own default.
    _softwareUpdater.checkVersionAsynchronous();
}

std::vector<std::string> MainController::getCachesPaths() const {
    return usersOwnCacheFolders(bw::getCachesPaths(m_context.services.mountedVolumes(), m_context.homeFolder),
                                m_context.homeFolder, m_context.uid);
}

UninstallPlan MainController::uninstallPlan() const {
    UninstallPlan plan;
    plan.uid = m_context.uid;
    plan.cacheFolders = getCachesPaths();
    const std::string settings = m_context.store.path();
    plan.configFolder = settings.substr(0, settings.rfind('/'));
    if (m_context.services.userHomes)
        plan.userHomes = m_context.services.userHomes();
    plan.autostartEntry = autostartEntryPath();
    plan.installRoot = m_context.services.installRoot;
    plan.trashFolder = homeTrashFolder();
    return plan;
}

void MainController::deleteAllCaches() {
    if (m_progressSheet->isBusy())
        return;
    if (runMaintenanceAlert(QMessageBox::Warning, deleteAllCachesAlert(), {}, m_window) != 1)
        return;
    launchDeleteAllCaches(getCachesPaths());
}

void MainController::launchDeleteAllCaches(const std::vector<std::string>& folders) {
    const MaintenanceServices services = m_context.maintenanceServices();
    const RemovalOptions options = m_removalOptions;
    const uid_t uid = m_context.uid;
    auto report = std::make_shared<RemovalReport>();
    QPointer<MainController> self(this);
    m_progressSheet->run(
        QString::fromStdString(maintenanceString(kDeleteStatusKey)), static_cast<int>(folders.size()),
        [folders, services, options, uid, report](const PXProgressSheet::Report& progress) {
            *report = bw::deleteAllCaches(folders, uid, services, options, folderProgressOn(progress));
        },
        [self, report] {
            if (!self)
                return;
            self->m_lastRemoval = *report;
            std::string leftBehind = leftBehindMessage(*report);
            if (!leftBehind.empty())
                runMaintenanceAlert(QMessageBox::Warning, leftBehindAlert(), QString::fromStdString(leftBehind),
                                    self->m_window);
            if (self)
                emit self->deleteAllCachesDidEnd();
        });
}

void MainController::uninstallBinwarden() {
    if (m_progressSheet->isBusy())
        return;
    if (runMaintenanceAlert(QMessageBox::Warning, uninstallAlert(), {}, m_window) != 1)
        return;
    launchUninstall(uninstallPlan());
}

void MainController::launchUninstall(const UninstallPlan& plan) {
    const MaintenanceServices services = m_context.maintenanceServices();
    const RemovalOptions options = m_removalOptions;
    auto report = std::make_shared<UninstallReport>();
    QPointer<MainController> self(this);
    const int steps = static_cast<int>(plan.cacheFolders.size() + plan.userHomes.size());
    m_progressSheet->run(
        QString::fromStdString(maintenanceString(kDeleteStatusKey)), steps,
        [plan, services, options, report](const PXProgressSheet::Report& progress) {
            *report = bw::uninstall(plan, services, options, folderProgressOn(progress));
        },
        [self, report] {
            if (!self)
                return;
            self->m_lastUninstall = *report;
            // The preferences are gone: nothing may write them again on the way out.
            self->m_uninstalled = true;
            self->m_pendingFrames.clear();
            self->m_frameTimer.stop();
            runMaintenanceAlert(QMessageBox::Information, uninstallDoneAlert(),
                                QString::fromStdString(uninstallDoneMessage(*report)), self->m_window);
            if (self)
                emit self->uninstallDidEnd();
        });
}

} // namespace bw
