#pragma once
// The updater both programs carry: asks the update script for the newest version, decides what to do
// with the answer, offers it (PXUpdaterController), downloads the archive with its signature into the
// download folder and installs it over the install tree, then relaunches.
//
// Checks and downloads run on the Qt event loop of the thread that owns the updater (never blocking
// it); installing runs on a worker thread whose result comes back to that loop.

#include "files/unique_fd.h"
#include "update_check.h"
#include "update_install.h"
#include "update_signature.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

class QNetworkAccessManager;

namespace bw {

class NotificationBus;
class PXUpdaterController;

// Receives the user's answer instead of the updater (the main application's controller): 1 = install.
class PXUpdaterResultDelegate {
public:
    virtual ~PXUpdaterResultDelegate() = default;
    virtual void updateResulteDidGetResult(int result) = 0;
};

// The running program's version ("CFBundleVersion").
std::string bundleVersion();
// The update script's address set at build time (BW_UPDATE_SCRIPT_URL); empty: checks are disabled.
std::string builtInUpdateScriptURL();
// The release notes' address set at build time (BW_RELEASE_NOTES_URL); may be empty.
std::string builtInReleaseNotesURL();

inline constexpr double kMinimumSecondsBetweenOffers = 86100.0;
inline constexpr int kCheckTimeoutMs = 20000;         // the script's reply, each of at most two requests
inline constexpr int kDownloadStallTimeoutMs = 60000; // a download that receives nothing this long fails

class PXUpdater : public QObject {
    Q_OBJECT
public:
    explicit PXUpdater(QObject* parent = nullptr);
    ~PXUpdater() override;

    // Configuration.
    void setScriptURL(const std::string& url) {
        if (!url.empty())
            _scriptURL = url;
    }
    const std::string& scriptURL() const { return _scriptURL; }
    void setProductReference(const std::string& reference) { _productRef = reference; }
    const std::string& productReference() const { return _productRef; }
    // The install tree to replace; empty: the running program's own.
    void setInstallationPath(const std::string& path) { _installationPath = path; }
    std::string installationPath() const;
    void setResultDelegate(PXUpdaterResultDelegate* delegate) { _resultDelegate = delegate; }
    void setCanWarnUser(bool canWarn) { _canWarn = canWarn; }
    bool canWarn() const { return _canWarn; }
    void setCanPostNotification(bool allowed) { _allowedToPostNotification = allowed; }
    void setLogFlag(bool logging) { _logging = logging; }
    void setManualUpdate(bool manual) {
        _manualUdate = manual;
        _logging = !manual;
    }
    bool manualUpdate() const { return _manualUdate; }
    void resetUpdateTime() { _lastUpdate = 0.0; }
    double lastUpdate() const { return _lastUpdate; }
    // The information of the last check that answered.
    std::optional<UpdateInfos> updateInfos() const { return _currentInfos; }

    // Where the updater posts "a newer version exists" and "quit, an update is being installed"; a bus of
    // its own when none is given.
    void setNotificationBus(NotificationBus* bus) { m_bus = bus; }
    // The user whose install tree may be replaced: the running user by default.
    void setInstallTreeOwner(uid_t owner) { m_treeOwner = owner; }
    // The version compared against; the running program's by default.
    void setLocalVersion(const std::string& version) { m_localVersion = version; }
    const std::string& localVersion() const { return m_localVersion; }
    // The key archives must be signed with; the built-in one by default.
    void setTrustedKey(const std::optional<UpdatePublicKey>& key) { m_trustedKey = key; }
    void setReleaseNotesURL(const std::string& url) { m_releaseNotesURL = url; }
    const std::string& releaseNotesURL() const { return m_releaseNotesURL; }
    // The system version compared with the script's minimum; the running kernel's by default.
    void setSystemVersion(long version) { m_systemVersion = version; }

    // What a person would see. Defaults: an alert box (logged without a display), the browser, and for
    // relaunching: start the new main application, and the new agent in place of this one when this
    // program is the agent (otherwise quit).
    using AlertPresenter = std::function<void(const QString& title, const QString& message, const QString& button)>;
    void setAlertPresenter(AlertPresenter presenter) { m_alert = std::move(presenter); }
    using URLOpener = std::function<void(const std::string& url)>;
    void setURLOpener(URLOpener opener) { m_openURL = std::move(opener); }
    using Relauncher = std::function<void(const std::string& installRoot)>;
    void setRelauncher(Relauncher relauncher) { m_relaunch = std::move(relauncher); }

    // The check. Runs only with a product reference and an allowed script address; one at a time.
    void checkVersionAsynchronous();
    void checkVersionAsynchronousAskUser(bool askUser);
    // What to do with a reply: offer, say "up to date" (manual checks), or announce it on the bus.
    void checkudatesWithVersionInPhp(const std::optional<UpdateInfos>& infos);
    bool newerVersionAvailable(const std::string& version) const;

    // The offer, at most once per 86,100 s unless manual or reset.
    void askForDownloadUpdate();
    // The user's answer (1 = install): to the result delegate if any, else download and install.
    void controllerResult(int result);
    // Stops a running download and deletes what it wrote.
    void cancelUpdate();
    // Downloads the archive of the last check and its signature, then installs.
    void startDownload();
    // Verifies and installs a downloaded archive on a worker thread; the result comes back as
    // updateFinished.
    void installUpdate(const std::string& archivePath);

    InstallTreeState installTreeState() const;
    PXUpdaterController* windowController() const { return _windowController.get(); }
    bool checkRunning() const { return m_checking; }
    bool downloadRunning() const { return _downloader != nullptr || m_installing; }
    // Where the running or last download goes.
    const std::string& downloadPath() const { return m_downloadPath; }
    // How many checks were started (a repeated notification must not start a loop of them).
    int checksRequested() const { return m_checksRequested; }

    // For the controller: the release notes as HTML (or plain text), or nothing.
    void loadReleaseNotes(std::function<void(std::optional<QString>)> done);

signals:
    // A check ended; `answered` is false when the script could not be reached or said nothing usable.
    void checkFinished(bool answered);
    void downloadProgressed(qint64 received, qint64 total);
    // A download and installation ended (also when cancelled or refused).
    void updateFinished(bool installed, const QString& message);

private:
    void fetch(const std::string& url, qint64 maxSize, std::function<void(std::optional<QByteArray>)> done);
    void checkFailed(const char* why);
    NotificationBus& busForPosting();
    void replyArrived(const std::string& requestURL, std::optional<QByteArray> data);
    void useReplyText(const std::string& text);
    void downloadDataArrived();
    void downloadEnded();
    void fetchSignature();
    void installFinished(const InstallOutcome& outcome);
    void endDownload(bool removeFiles);
    void showAlert(const QString& title, const QString& message, const QString& button);
    void openURL(const std::string& url);
    void post(const std::string& name, const std::optional<std::string>& productURL);
    void joinInstaller();

    std::string _scriptURL;
    std::string _productRef;
    std::string _installationPath;
    std::optional<UpdateInfos> _currentInfos;
    PXUpdaterResultDelegate* _resultDelegate = nullptr;
    std::unique_ptr<PXUpdaterController> _windowController;
    QPointer<QNetworkReply> _downloader;
    double _lastUpdate = 0.0;
    bool _canWarn = false;
    bool _manualUdate = false;
    bool _logging = false;
    bool _autoUpdate = false;
    bool _allowedToPostNotification = true;

    NotificationBus* m_bus = nullptr;
    std::unique_ptr<NotificationBus> m_ownBus;
    std::string m_localVersion;
    std::optional<UpdatePublicKey> m_trustedKey;
    std::string m_releaseNotesURL;
    long m_systemVersion = 0;
    uid_t m_treeOwner = getuid();
    AlertPresenter m_alert;
    URLOpener m_openURL;
    Relauncher m_relaunch;
    QNetworkAccessManager* m_network = nullptr;
    bool m_checking = false;
    std::string m_lastFetchError; // why the last request failed, for the one log line
    int m_checksRequested = 0;
    std::string m_downloadPath;
    UniqueFd m_downloadFile;
    qint64 m_received = 0;
    qint64 m_total = -1;
    std::string m_downloadFailed; // why the running download failed, once it did
    bool m_installing = false;
    std::thread m_installer;
};

} // namespace bw
