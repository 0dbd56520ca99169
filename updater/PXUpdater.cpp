#include "PXUpdater.h"

#include "PXUpdaterController.h"
#include "alert_box.h"
#include "desktop_session.h"
#include "detached_launch.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "files/log_line.h"
#include "plist/reference_time.h"
#include "updater_strings.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace bw {

namespace {

constexpr qint64 kMaxReplySize = 64 * 1024; // the script's few fields, compressed or not
constexpr qint64 kMaxSignatureSize = 4 * 1024;
constexpr qint64 kMaxReleaseNotesSize = 1024 * 1024;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// Redirects are followed only to addresses the updater would fetch itself (never from https to http,
// never to another machine over http).
void allowOnlySafeRedirects(QNetworkReply* reply) {
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& target) {
        if (isAllowedFetchURL(target.toString(QUrl::FullyEncoded).toStdString()))
            emit reply->redirectAllowed();
        else
            reply->abort();
    });
}

QNetworkRequest freshRequest(const std::string& url, int timeoutMs) {
    QNetworkRequest request{QUrl(QString::fromStdString(url))};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    return request;
}

bool hasWidgets() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

// Whether a person can see windows (offscreen test runs and bw2ctl cannot).
bool hasDisplay() {
    if (!hasWidgets())
        return false;
    QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void defaultRelaunch(const std::string& root) {
    std::string application = mainApplicationPathIn(root);
    std::string error;
    if (access(application.c_str(), X_OK) == 0 && !launchDetached(application, {application}, &error))
        bw::logLine(LOG_WARNING, "the updated application cannot be started: %s", error.c_str());
    std::string self = selfExecutablePath();
    std::string name = self.substr(self.find_last_of('/') + 1);
    if (name == "binwarden2-menu") {
        // The agent becomes the new agent under the same process id, so that no second agent ever
        // sees the first one still running and steps back.
        std::string agent = root + "/bin/binwarden2-menu";
        QTimer::singleShot(250, [agent] {
            execl(agent.c_str(), agent.c_str(), static_cast<char*>(nullptr));
            bw::logLine(LOG_WARNING, "the updated agent cannot be started: %m");
            QCoreApplication::quit();
        });
        return;
    }
    QTimer::singleShot(250, [] { QCoreApplication::quit(); });
}

} // namespace

std::string bundleVersion() {
    return BW2_VERSION;
}

std::string builtInUpdateScriptURL() {
    return BW_UPDATE_SCRIPT_URL;
}

std::string builtInReleaseNotesURL() {
    return BW_RELEASE_NOTES_URL;
}

PXUpdater::PXUpdater(QObject* parent)
    : QObject(parent), m_localVersion(bundleVersion()), m_trustedKey(builtInUpdatePublicKey()),
      m_releaseNotesURL(builtInReleaseNotesURL()), m_systemVersion(OSXVersion()),
      m_network(new QNetworkAccessManager(this)) {}

PXUpdater::~PXUpdater() {
    if (_downloader) {
        _downloader->disconnect(this);
        _downloader->abort();
    }
    joinInstaller();
}

std::string PXUpdater::installationPath() const {
    return _installationPath.empty() ? installRoot() : _installationPath;
}

InstallTreeState PXUpdater::installTreeState() const {
    return bw::installTreeState(installationPath(), m_treeOwner);
}

void PXUpdater::fetch(const std::string& url, qint64 maxSize, std::function<void(std::optional<QByteArray>)> done) {
    QNetworkReply* reply = m_network->get(freshRequest(url, kCheckTimeoutMs));
    allowOnlySafeRedirects(reply);
    connect(reply, &QNetworkReply::readyRead, this, [reply, maxSize] {
        if (reply->bytesAvailable() > maxSize)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, done = std::move(done)] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            m_lastFetchError = reply->errorString().toStdString();
            done(std::nullopt);
            return;
        }
        m_lastFetchError.clear();
        done(reply->readAll());
    });
}

void PXUpdater::checkVersionAsynchronous() {
    _autoUpdate = false;
    checkVersionAsynchronousAskUser(true);
}

void PXUpdater::checkVersionAsynchronousAskUser(bool askUser) {
    if (_autoUpdate || _productRef.empty())
        return;
    _autoUpdate = !askUser;
    if (m_checking)
        return;
    std::string script = _scriptURL.empty() ? builtInUpdateScriptURL() : _scriptURL;
    if (script.empty() || !isAllowedFetchURL(script)) {
        bw::logLine(LOG_INFO, "update check skipped: %s",
                    script.empty() ? "this build has no update script address" : "the script address is not https");
        emit checkFinished(false);
        return;
    }
    m_checking = true;
    ++m_checksRequested;
    std::string request =
        script + "?" + asciiToHexa(updateRequestParameters(m_systemVersion, m_localVersion, _productRef, _logging));
    fetch(request, kMaxReplySize, [this, request](std::optional<QByteArray> data) { replyArrived(request, data); });
}

void PXUpdater::replyArrived(const std::string& requestURL, std::optional<QByteArray> data) {
    if (!data || data->isEmpty()) {
        checkFailed("the update script did not answer");
        return;
    }
    std::optional<std::string> text = inflatedReplyText(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data->constData()), data->size()));
    if (text) {
        useReplyText(*text);
        return;
    }
    // Not compressed: the script answers in plain text when asked to.
    fetch(requestURL + asciiToHexa(std::string("&&clear")), kMaxReplySize, [this](std::optional<QByteArray> plain) {
        if (!plain || plain->isEmpty()) {
            checkFailed("the update script's plain reply was empty");
            return;
        }
        useReplyText(plain->toStdString());
    });
}

void PXUpdater::checkFailed(const char* why) {
    m_checking = false;
    bw::logLine(LOG_INFO, "update check: %s%s%s; nothing changed", why, m_lastFetchError.empty() ? "" : ": ",
                m_lastFetchError.c_str());
    emit checkFinished(false);
}

void PXUpdater::useReplyText(const std::string& text) {
    std::optional<UpdateInfos> infos = parseUpdateReply(text);
    if (!infos) {
        checkFailed("the update script's reply has fewer than four fields");
        return;
    }
    std::string productURL = updaterString("Updater_1.0_International product URL");
    if (!productURL.empty())
        infos->productURL = productURL;
    std::string fileURL = updaterString("Updater_1.0_International dmg URL");
    if (!fileURL.empty())
        infos->fileURL = fileURL;
    _currentInfos = infos;
    m_checking = false;
    checkudatesWithVersionInPhp(_currentInfos);
    emit checkFinished(true);
}

bool PXUpdater::newerVersionAvailable(const std::string& version) const {
    return bw::newerVersionAvailable(version, m_localVersion);
}

void PXUpdater::checkudatesWithVersionInPhp(const std::optional<UpdateInfos>& infos) {
    if (!infos || infos->osMini.empty() || infos->currentVersion.empty())
        return;
    if (std::strtol(infos->osMini.c_str(), nullptr, 10) > m_systemVersion)
        return; // the new version does not run on this system: nothing to offer
    bool newer = newerVersionAvailable(infos->currentVersion);
    if (_canWarn || _manualUdate) {
        if (newer) {
            QMetaObject::invokeMethod(
                this, [this] { askForDownloadUpdate(); }, Qt::QueuedConnection);
            return;
        }
        if (_manualUdate) {
            showAlert(qs(updaterString("Updater_1.0_No new version title")),
                      qs(updaterString("Updater_1.0_No new version message")),
                      qs(updaterString("Updater_1.0_Ok button")));
            _manualUdate = false;
        }
        return;
    }
    if (newer && _allowedToPostNotification)
        post(notif::kNewVersionAvailable, infos->productURL);
}

void PXUpdater::askForDownloadUpdate() {
    double now = timeIntervalSinceReferenceDate();
    if (!_manualUdate && !_autoUpdate && now - _lastUpdate < kMinimumSecondsBetweenOffers)
        return;
    if (!_currentInfos || downloadRunning())
        return;
    _lastUpdate = now;
    if (hasWidgets() && !_windowController)
        _windowController = std::make_unique<PXUpdaterController>(this);
    if (_autoUpdate) {
        controllerResult(1);
        return;
    }
    if (!_windowController) {
        bw::logLine(LOG_NOTICE, "version %s is available; no display to offer it on",
                    _currentInfos->currentVersion.c_str());
        return;
    }
    bool canInstall = _resultDelegate || installTreeState() == InstallTreeState::Replaceable;
    _windowController->showAskUpdate(*_currentInfos, canInstall);
}

void PXUpdater::controllerResult(int result) {
    if (_resultDelegate) {
        _resultDelegate->updateResulteDidGetResult(result);
        return;
    }
    if (result != 1 || !_currentInfos)
        return;
    if (installTreeState() != InstallTreeState::Replaceable) {
        // A copy installed by a package is updated by its package manager, never by us.
        openURL(_currentInfos->productURL);
        return;
    }
    startDownload();
}

void PXUpdater::startDownload() {
    if (!_currentInfos || downloadRunning())
        return;
    const std::string url = _currentInfos->fileURL;
    auto failNow = [this](const std::string& why) {
        bw::logLine(LOG_WARNING, "update download not started: %s", why.c_str());
        showAlert(qs(updaterString("Updater_1.0_Download Error Title")),
                  qs(updaterString("Updater_1.0_Impossible to download message")), qs(updaterString("OKButton")));
        openURL(_currentInfos->productURL);
        emit updateFinished(false, qs(why));
    };
    if (!isAllowedFetchURL(url)) {
        failNow("the archive's address is not https: " + url);
        return;
    }
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        failNow("no download folder");
        return;
    }
    m_downloadPath = folder.toStdString() + "/" + downloadFileName(url);
    // A signature left from an earlier download must never vouch for this one.
    unlink((m_downloadPath + ".sig").c_str());
    m_downloadFile =
        UniqueFd(open(m_downloadPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!m_downloadFile.valid()) {
        failNow("the download cannot be written to " + m_downloadPath);
        return;
    }
    m_received = 0;
    m_total = -1;
    m_downloadFailed.clear();
    if (_windowController) {
        _windowController->showProgress();
        _windowController->setProgressBarIndeterminate(true);
        _windowController->setStatus(qs(updaterString("Updater_1.0_Status Preparing")));
    }
    bw::logLine(LOG_NOTICE, "Downloading file: %s in path %s", url.c_str(), m_downloadPath.c_str());
    _downloader = m_network->get(freshRequest(url, kDownloadStallTimeoutMs));
    allowOnlySafeRedirects(_downloader);
    if (_windowController)
        _windowController->setStatus(qs(updaterString("Updater_1.0_Status Downloading")));
    connect(_downloader, &QNetworkReply::metaDataChanged, this, [this] {
        if (!_downloader)
            return;
        QVariant length = _downloader->header(QNetworkRequest::ContentLengthHeader);
        m_total = length.isValid() ? length.toLongLong() : -1;
        if (_windowController && m_total > 0) {
            _windowController->setProgressBarIndeterminate(false, 0, static_cast<double>(m_total), 0);
            _windowController->setDownloadStartTime();
        }
    });
    connect(_downloader, &QNetworkReply::readyRead, this, [this] { downloadDataArrived(); });
    connect(_downloader, &QNetworkReply::finished, this, [this] { downloadEnded(); });
}

void PXUpdater::downloadDataArrived() {
    if (!_downloader || !m_downloadFile.valid())
        return;
    QByteArray data = _downloader->readAll();
    if (m_received + data.size() > kMaxUpdateArchiveSize) {
        m_downloadFailed = "the archive is larger than 2 GiB";
        _downloader->abort();
        return;
    }
    for (qsizetype done = 0; done < data.size();) {
        ssize_t n = write(m_downloadFile.get(), data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_downloadFailed = "the download cannot be written (disk full?)";
            _downloader->abort();
            return;
        }
        done += n;
    }
    m_received += data.size();
    if (_windowController)
        _windowController->incrementProgressBarValue(static_cast<double>(data.size()));
    emit downloadProgressed(m_received, m_total);
}

void PXUpdater::downloadEnded() {
    QNetworkReply* reply = _downloader;
    if (!reply)
        return;
    downloadDataArrived();
    _downloader = nullptr;
    reply->deleteLater();
    if (m_downloadFailed.empty() && reply->error() != QNetworkReply::NoError)
        m_downloadFailed = reply->errorString().toStdString();
    if (m_downloadFailed.empty() && !m_downloadFile.close())
        m_downloadFailed = "the download cannot be written (disk full?)";
    if (!m_downloadFailed.empty()) {
        QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        bw::logLine(LOG_WARNING, "%s, download failed, %s - %s", "-[PXUpdater download:didFailWithError:]",
                    m_downloadFailed.c_str(),
                    status.isValid() ? ("HTTP " + status.toString()).toUtf8().constData() : "");
        std::string why = m_downloadFailed;
        endDownload(true);
        if (_currentInfos)
            openURL(_currentInfos->productURL);
        emit updateFinished(false, qs("download failed: " + why));
        return;
    }
    fetchSignature();
}

void PXUpdater::fetchSignature() {
    m_installing = true; // from here on the download is complete; cancelling no longer applies
    std::string archive = m_downloadPath;
    fetch(_currentInfos->fileURL + ".sig", kMaxSignatureSize, [this, archive](std::optional<QByteArray> signature) {
        if (signature && !signature->isEmpty()) {
            UniqueFd file(
                open((archive + ".sig").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (file.valid()) {
                if (write(file.get(), signature->constData(), static_cast<size_t>(signature->size())) !=
                    signature->size())
                    unlink((archive + ".sig").c_str());
            }
        }
        if (_windowController) {
            _windowController->setProgressBarIndeterminate(true);
            _windowController->setStatus(qs(updaterString("Updater_1.0_Status Installing")));
        }
        installUpdate(archive);
    });
}

void PXUpdater::installUpdate(const std::string& archivePath) {
    joinInstaller();
    m_installing = true;
    NotificationBus* bus = &busForPosting();
    InstallRequest request;
    request.archivePath = archivePath;
    request.root = installationPath();
    request.key = m_trustedKey;
    request.owner = m_treeOwner;
    request.beforeReplace = [bus] {
        bus->post(notif::kQuitEverybody, std::nullopt, nullptr, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    };
    m_installer = std::thread([this, request] {
        InstallOutcome outcome = installUpdateArchive(request);
        QMetaObject::invokeMethod(
            this, [this, outcome] { installFinished(outcome); }, Qt::QueuedConnection);
    });
}

void PXUpdater::installFinished(const InstallOutcome& outcome) {
    joinInstaller();
    m_installing = false;
    if (_windowController)
        _windowController->hideProgress();
    std::string root = installationPath();
    if (outcome.ok()) {
        showAlert(qs(updaterString("Updater_1.0_Install Finish Title")),
                  qs(updaterString("Updater_1.0_Install Finish Message")),
                  qs(updaterString("Updater_1.0_Install Finish Button")));
        bw::logLine(LOG_NOTICE, "Launching application %s", root.c_str());
        emit updateFinished(true, QString());
        if (m_relaunch)
            m_relaunch(root);
        else
            defaultRelaunch(root);
        return;
    }
    QString title = qs(updaterString("Updater_1.0_Download Error Title"));
    QString ok = qs(updaterString("OKButton"));
    switch (outcome.error) {
    case InstallError::NoTrustedKey:
    case InstallError::MissingSignature:
    case InstallError::BadSignature:
        showAlert(title, qs(updaterString("Updater_1.0_Signature Error message")), ok);
        break;
    case InstallError::BadArchive:
    case InstallError::NotAnInstallTree:
        showAlert(title, qs(updaterString("Updater_1.0_Impossible to download message")), ok);
        if (_currentInfos)
            openURL(_currentInfos->productURL);
        break;
    default:
        showAlert(title, qs(updaterString("Updater_1.0_Replace Error message")).arg(qs(outcome.detail)), ok);
        break;
    }
    emit updateFinished(false, qs(outcome.detail));
}

void PXUpdater::cancelUpdate() {
    if (!_downloader)
        return;
    QNetworkReply* reply = _downloader;
    _downloader = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    bw::logLine(LOG_NOTICE, "update download cancelled");
    endDownload(true);
    emit updateFinished(false, QStringLiteral("cancelled"));
}

void PXUpdater::endDownload(bool removeFiles) {
    m_downloadFile.reset();
    if (removeFiles && !m_downloadPath.empty()) {
        unlink(m_downloadPath.c_str());
        unlink((m_downloadPath + ".sig").c_str());
    }
    if (_windowController)
        _windowController->hideProgress();
}

void PXUpdater::loadReleaseNotes(std::function<void(std::optional<QString>)> done) {
    if (m_releaseNotesURL.empty() || !isAllowedFetchURL(m_releaseNotesURL)) {
        QMetaObject::invokeMethod(
            this, [done] { done(std::nullopt); }, Qt::QueuedConnection);
        return;
    }
    fetch(m_releaseNotesURL, kMaxReleaseNotesSize, [done](std::optional<QByteArray> data) {
        if (!data || data->isEmpty())
            done(std::nullopt);
        else
            done(QString::fromUtf8(*data));
    });
}

void PXUpdater::showAlert(const QString& title, const QString& message, const QString& button) {
    if (m_alert) {
        m_alert(title, message, button);
        return;
    }
    if (hasDisplay()) {
        runAlertBox(QMessageBox::Information, title, message, {button});
        return;
    }
    bw::logLine(LOG_NOTICE, "updater alert: %s: %s", title.toUtf8().constData(), message.toUtf8().constData());
    std::fprintf(stderr, "%s\n%s\n", title.toUtf8().constData(), message.toUtf8().constData());
}

void PXUpdater::openURL(const std::string& url) {
    if (url.empty() || !isAllowedBrowserURL(url))
        return;
    if (m_openURL) {
        m_openURL(url);
        return;
    }
    if (hasDisplay())
        QDesktopServices::openUrl(QUrl(qs(url)));
    else
        std::fprintf(stderr, "The download page: %s\n", url.c_str());
}

NotificationBus& PXUpdater::busForPosting() {
    if (m_bus)
        return *m_bus;
    if (!m_ownBus)
        m_ownBus = std::make_unique<NotificationBus>();
    return *m_ownBus;
}

void PXUpdater::post(const std::string& name, const std::optional<std::string>& productURL) {
    PlistPtr info;
    if (productURL) {
        info.reset(plist_new_dict());
        plist_dict_set_item(info.get(), notif::kProductDownloadURLKey, plist_new_string(productURL->c_str()));
    }
    busForPosting().post(name, std::nullopt, info.get(), true);
}

void PXUpdater::joinInstaller() {
    if (m_installer.joinable())
        m_installer.join();
}

} // namespace bw
