#include "daemon.h"

#include "files/log_line.h"
#include "store/added_list.h"
#include "store/cache_paths.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "plist/reference_time.h"

#include <fcntl.h>
#include <syslog.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <limits>

namespace bw {

namespace {

bool hasPrefix(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

} // namespace

std::unique_ptr<Daemon> Daemon::daemon() {
    return std::make_unique<Daemon>();
}

Daemon::Daemon() = default;

Daemon::~Daemon() {
    if (m_transferThread.joinable())
        m_transferThread.join();
    joinRepairs(true);
}

void Daemon::setRunningStatus(std::int64_t status) {
    {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        m_runningStatus = status;
    }
    m_statusChanged.notify_all();
}

std::string Daemon::cacheFolder() const {
    return cacheFolderFor(m_trashPath, m_trashCachePath, m_homeFolder, static_cast<uid_t>(m_daemonUID));
}

UniqueFd Daemon::openTrashFolder() const {
    return openDirectoryPath(m_trashPath, m_privileged);
}

// The freedesktop trash keeps "files/" and "info/" side by side.
UniqueFd Daemon::openInfoFolder() const {
    std::string files = withoutTrailingSlashes(m_trashPath);
    std::size_t slash = files.rfind('/');
    if (slash == std::string::npos || files.compare(slash + 1, std::string::npos, "files") != 0)
        return UniqueFd();
    return openDirectoryPath(files.substr(0, slash + 1) + "info", m_privileged);
}

UniqueFd Daemon::openCacheFolder(bool create) const {
    std::string path = withoutTrailingSlashes(cacheFolder());
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return UniqueFd();
    // Searched, not listed: a volume's shared cache folder lets its users through but not look inside.
    const std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd parent = openDirectoryPathForSearch(parentPath, m_privileged);
    if (!parent && errno == ENOENT && create && !m_privileged &&
        (::mkdir(parentPath.c_str(), 0711) == 0 || errno == EEXIST)) {
        // A volume's shared folder, made by a daemon started without privileges (a root daemon makes it
        // before it gives up root, and takes over one a user made).
        parent = openDirectoryPathForSearch(parentPath, m_privileged);
    }
    if (!parent)
        return parent;
    const std::string name = path.substr(slash + 1);
    // Made with the user's own ids (the daemon runs with them), so it is born the user's: nothing is ever
    // given away by name afterwards.
    if (create && ::mkdirat(parent.get(), name.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST)
        bw::logLine(LOG_ERR, "%s: cannot create %s: %s", "-[Daemon launchDaemon]", path.c_str(), std::strerror(errno));
    UniqueFd cache = openDirAt(parent.get(), name.c_str());
    if (!cache)
        return cache;
    struct stat st;
    if (::fstat(cache.get(), &st) != 0)
        return UniqueFd();
    if (m_privileged && st.st_uid != static_cast<uid_t>(m_daemonUID)) {
        if (!m_cacheNotOwnedReported.exchange(true))
            bw::logLine(LOG_ERR, "the cache folder %s belongs to user %u, not to user %d; not used", path.c_str(),
                        static_cast<unsigned>(st.st_uid), m_daemonUID);
        errno = EPERM;
        return UniqueFd();
    }
    // The user's cache is the user's alone, whatever an older version or a wide umask left.
    if (st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
        ::fchmod(cache.get(), st.st_mode & 0700);
    return cache;
}

bool Daemon::launchDaemon() {
    const std::string cache = cacheFolder();
    UniqueFd cacheFd = openCacheFolder(true);
    const int cacheError = cacheFd ? 0 : -errno;
    if (cacheError == -EPERM && m_privileged) {
        // Someone else's folder where this user's cache belongs: say so and end, rather than work around it.
        _mustTerminate = true;
        setRunningStatus(kStopped);
        post(notif::kDaemonQuits, nullptr, false, -1);
        terminateApplication(0);
        return false;
    }
    m_alreadyAdded.clear();
    if (cacheFd)
        m_alreadyAdded = loadAddedList(procFdPath(cacheFd.get()) + "/.");
    _lastfileSave = timeIntervalSinceReferenceDate();

    // Read with the rights of the process: a daemon started through the helper has given up root by now,
    // so a parser fault in this user-written file can do no more than the user can.
    m_nameFilter.setFilters(loadFilters(settingsFilePath(m_homeFolder)));

    if (cacheFd)
        recoverInterruptedBatches();

    if (m_bus) {
        m_bus->observe(notif::kDaemonsMustStop, [this](const Notification& n) { mustStopNotification(n); });
        m_bus->observe(notif::kDaemonsMustQuit, [this](const Notification& n) { mustQuitNotification(n); });
    }
    setRunningStatus(kWaiting);
    // Watched before the first survey lists it: whatever arrives after that listing is news.
    startWatching();
    armSurvey(m_surveyTime);
    post(notif::kCacheUpdateSilent, nullptr, true, -1);
    m_repairWorkers.start(cache);
    return cacheFd.valid();
}

void Daemon::terminateApplication(double delaySeconds) {
    if (delaySeconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(delaySeconds * m_terminationDelayScale));
    m_terminated = true;
    if (m_event)
        sd_event_exit(m_event, 0);
}

void Daemon::post(const char* name, const char* object, bool withCachePath, std::int64_t itemCount) {
    if (!m_bus)
        return;
    PlistPtr info;
    if (withCachePath || itemCount >= 0) {
        info.reset(plist_new_dict());
        if (withCachePath)
            plist_dict_set_item(info.get(), notif::kCachePathKey, plist_new_string(cacheFolder().c_str()));
        if (itemCount >= 0)
            plist_dict_set_item(info.get(), notif::kItemsMovedToCache,
                                plist_new_uint(static_cast<std::uint32_t>(static_cast<std::int32_t>(itemCount))));
    }
    const bool immediate = std::strcmp(name, notif::kDaemonQuits) != 0;
    m_bus->post(name, object ? std::optional<std::string>(object) : std::nullopt, info.get(), immediate);
}

bool Daemon::isFiltered(const std::string& name) const {
    return m_nameFilter.isFiltered(name);
}

void Daemon::daemonIteration() {
    if (_mustTerminate) {
        setRunningStatus(kStopped);
        return;
    }
    m_repairWorkers.reap();
    // Index writes that found their batch locked are tried again, and a batch of an earlier minute is
    // no longer kept in memory.
    if (pendingIndexWrites() > 0)
        m_batches.retryPendingFinishes();
    if (m_batches.fillsAMinute())
        m_batches.leaveEarlierMinutes(withoutTrailingSlashes(cacheFolder()) + "/" +
                                      batchFolderName(std::time(nullptr)));

    bool workLeft = false;
    m_itemsLeft = false;
    UniqueFd trash = openTrashFolder();
    const int trashError = trash ? 0 : -errno;
    if (!trash) {
        if (trashError == -ENOENT || trashError == -ENOTDIR) {
            // The volume went away, or the user never trashed anything there.
            _mustTerminate = true;
            post(notif::kDaemonQuits, nullptr, false, -1);
            setRunningStatus(kStopped);
            terminateApplication(2.0);
            return;
        }
        // Said once, not at every survey that finds it so.
        if (trashError != m_lastTrashError)
            bw::logLine(LOG_ERR, "cannot list %s: %s", m_trashPath.c_str(), std::strerror(-trashError));
        m_lastTrashError = trashError;
        workLeft = true; // listed again later
    } else {
        m_lastTrashError = 0;
        watchTrash(trash.get());
        std::size_t count = 0;
        {
            RawDirReader reader(trash.get(), m_direntBuffer);
            unsigned char type = DT_UNKNOWN;
            while (const char* name = reader.next(type)) {
                if (std::strcmp(name, ".DS_Store") == 0)
                    continue;
                if (hasPrefix(name, "Binwarden")) {
                    const char* dot = std::strrchr(name, '.');
                    if (dot && dot != name && std::strcmp(dot + 1, "app") == 0)
                        continue; // the product's own application being thrown away
                }
                if (count < m_names.size())
                    m_names[count].assign(name);
                else
                    m_names.emplace_back(name);
                if (isFiltered(m_names[count]))
                    continue;
                if (m_nameFilter.isTooLargeAt(trash.get(), name, type))
                    continue;
                ++count;
            }
        }
        trash.reset();

        if (count > 0) {
            TransferRequest request;
            request.itemsToManage.assign(m_names.begin(), m_names.begin() + static_cast<std::ptrdiff_t>(count));
            const std::string batchName = batchFolderName(std::time(nullptr));
            request.cacheFolder = withoutTrailingSlashes(cacheFolder()) + "/" + batchName;
            // A cache folder removed meanwhile is made again; the batch is born the user's like it.
            if (UniqueFd cache = openCacheFolder(true)) {
                if (::mkdirat(cache.get(), batchName.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) {
                    bw::logLine(LOG_ERR, "cannot create %s: %s", request.cacheFolder.c_str(), std::strerror(errno));
                }
            }
            if (m_runningMode == kMoveMode || m_runningMode == kCopyMode) {
                startTransferThread(request, m_runningMode == kCopyMode);
                waitForTransfer();
            }
        }
    }

    if (m_exitAfterTransfer) {
        terminateApplication(0);
        return;
    }
    setRunningStatus(kWaiting);
    if (!_mustTerminate)
        afterSurvey(workLeft || m_itemsLeft || pendingIndexWrites() > 0);
    else
        setRunningStatus(kStopped);
}

void Daemon::startTransferThread(const TransferRequest& request, bool copy) {
    setRunningStatus(kTransferring);
    m_transferThread = std::thread([this, request, copy] {
        if (copy)
            copyDataFromTrashToCache(request);
        else
            moveDataFromTrashToCache(request);
    });
}

void Daemon::waitForTransfer() {
    {
        // The main thread looks again every 0.1 s, and at once when the thread reports its end.
        std::unique_lock<std::mutex> lock(m_statusMutex);
        while (m_runningStatus == kTransferring)
            m_statusChanged.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (m_transferThread.joinable())
        m_transferThread.join();
}

void Daemon::forgetOldEntries() {
    // A cache life too long to count in an int is as good as endless, not its truncation.
    const std::int64_t days =
        std::clamp<std::int64_t>(m_nbDaysInCache, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    expireAddedList(m_alreadyAdded, timeIntervalSinceReferenceDate(), static_cast<int>(days));
}

void Daemon::mustStopNotification(const Notification& notification) {
    if (!requestIsForUser(notification, static_cast<uid_t>(m_daemonUID)))
        return;
    _mustTerminate = true;
    forgetOldEntries();
    saveKnownFiles();
    // No news is listened to any more; the survey that was due (or one now) finds the daemon stopped.
    if (m_watchSource)
        sd_event_source_set_enabled(m_watchSource.get(), SD_EVENT_OFF);
    armSurvey(0);
}

void Daemon::mustQuitNotification(const Notification& notification) {
    if (!requestIsForUser(notification, static_cast<uid_t>(m_daemonUID)))
        return;
    quitOnSignal();
}

void Daemon::quitOnSignal() {
    _mustTerminate = true;
    if (pendingIndexWrites() > 0)
        m_batches.retryPendingFinishes();
    forgetOldEntries();
    saveKnownFiles();
    post(notif::kDaemonQuits, nullptr, false, -1);
    terminateApplication(1.0);
}

} // namespace bw
