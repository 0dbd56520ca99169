// The daemon's side of a transfer: plans the trash items, hands them to the batch transfer, and acts
// on what became of them.

#include "daemon.h"

#include "bus/notification_names.h"
#include "files/log_line.h"
#include "plist/reference_time.h"
#include "store/added_list.h"
#include "store/cache_paths.h"
#include "store/trash_info.h"

#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace bw {

namespace {

constexpr char kMoveOperation[] = "-[Daemon moveDataFromTrashToCache:]";
constexpr char kCopyOperation[] = "-[Daemon copyDataFromTrashToCache:]";

} // namespace

namespace {

// Whether the volume of `fd` is full by the free-space rule; nothing when its figures cannot be read.
std::optional<bool> volumeIsFull(int fd, std::int64_t percentFreeOnDisk) {
    struct statvfs vfs;
    if (fd < 0 || ::fstatvfs(fd, &vfs) != 0)
        return std::nullopt;
    return Daemon::diskIsFull(static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize,
                              static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize, percentFreeOnDisk);
}

} // namespace

std::function<bool(int)> Daemon::spaceCheck() const {
    // Unknown during a copy: the write itself reports a full volume.
    return [percent = m_percentFreeOnDisk](int fd) { return !volumeIsFull(fd, percent).value_or(false); };
}

bool Daemon::freeSpaceTest(int cacheFd) {
    // Unknown before a transfer counts as full, as a volume with nothing free does.
    return !volumeIsFull(cacheFd, m_percentFreeOnDisk).value_or(true);
}

std::string Daemon::keyForItem(const std::string& path) const {
    std::string trimmed = withoutTrailingSlashes(path);
    std::size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos)
        return {};
    UniqueFd parent = openDirectoryPath(slash == 0 ? "/" : trimmed.substr(0, slash), m_privileged);
    if (!parent)
        return {};
    return itemKeyAt(parent.get(), trimmed.substr(slash + 1)).value_or(std::string());
}

bool Daemon::saveKnownFiles() {
    UniqueFd cache = openCacheFolder(false);
    const int cacheError = cache ? 0 : -errno;
    if (!cache)
        bw::logLine(LOG_ERR, "%s: cannot write %s in %s: %s", "-[Daemon saveKnownFiles]", kAddedListFileName,
                    cacheFolder().c_str(), std::strerror(-cacheError));
    // A failed write was logged by the writer.
    const bool saved = cache && saveAddedList(m_alreadyAdded, procFdPath(cache.get()) + "/.");
    if (saved)
        m_addedListDirty = false;
    _lastfileSave = timeIntervalSinceReferenceDate();
    return saved;
}

void Daemon::moveDataFromTrashToCache(const TransferRequest& request) {
    transfer(request, false);
}

void Daemon::copyDataFromTrashToCache(const TransferRequest& request) {
    transfer(request, true);
}

void Daemon::quitForCacheFailure(const char* operation, int err) {
    _mustTerminate = true;
    bw::logLine(LOG_ERR, "%s: cannot use the cache folder %s: %s; quitting", operation, cacheFolder().c_str(),
                std::strerror(-err));
    post(notif::kDaemonQuits, nullptr, false, -1);
    m_exitAfterTransfer = true;
    setRunningStatus(kStopped);
}

void Daemon::quitForFullDisk(const char* operation) {
    _mustTerminate = true;
    const std::string folder = cacheFolder();
    post(notif::kDiskFull, folder.c_str(), false, -1);
    bw::logLine(LOG_ERR, "%s: the volume of %s is full", operation, folder.c_str());
}

BatchTransfer::Setup Daemon::batchSetup() const {
    BatchTransfer::Setup setup;
    setup.owner = static_cast<uid_t>(m_daemonUID);
    setup.group = ::getgid();
    setup.privileged = m_privileged;
    setup.trashPath = m_trashPath;
    setup.spaceCheck = spaceCheck();
    return setup;
}

void Daemon::transfer(const TransferRequest& request, bool copy) {
    const char* operation = copy ? kCopyOperation : kMoveOperation;
    UniqueFd cache = openCacheFolder(false);
    if (!cache) {
        // Not a full disk: a folder that is not the user's, or one that cannot be reached.
        quitForCacheFailure(operation, -errno);
        return;
    }

    if (!freeSpaceTest(cache.get())) {
        quitForFullDisk(operation);
        std::this_thread::sleep_for(std::chrono::duration<double>(1.0 * m_terminationDelayScale));
        m_exitAfterTransfer = true;
        setRunningStatus(kStopped);
        return;
    }

    // Batches whose last index write waited in vain for the lock are written first.
    m_batches.configure(batchSetup());
    m_batches.retryPendingFinishes();

    UniqueFd trash = openTrashFolder();
    const int trashError = trash ? 0 : -errno;
    // Copy mode reads the trash records too, and leaves them alone.
    UniqueFd info = openInfoFolder();

    // Plan every item: its stored name, and in copy mode whether it was copied before.
    std::vector<TransferItem> items;
    items.reserve(request.itemsToManage.size());
    const double planTime = timeIntervalSinceReferenceDate();
    const bool homeTrash = !m_homeFolder.empty() && m_trashPath.rfind(m_homeFolder, 0) == 0;
    // A volume's trash may record paths relative to the volume's top; the home trash records absolute ones.
    const std::string volumeTop = homeTrash ? std::string() : withoutTrailingSlashes(m_trashCachePath);
    for (const std::string& name : request.itemsToManage) {
        std::string recordedKey;
        if (copy && trash) {
            std::optional<std::string> key = itemKeyAt(trash.get(), name);
            if (key) {
                // Recorded before the copy, so that a copy that fails is not tried again and again.
                if (!m_alreadyAdded.try_emplace(*key, planTime).second)
                    continue;
                m_addedListDirty = true;
                recordedKey = std::move(*key);
            }
        }
        TransferItem& item = items.emplace_back();
        item.storedName = newStoredItemName();
        item.name = name;
        item.date = planTime;
        item.key = std::move(recordedKey);
        // Where the item was thrown from, read before the move takes its record away.
        if (info)
            item.originalPath =
                readTrashInfoOriginalPathAt(info.get(), name, volumeTop, static_cast<uid_t>(m_daemonUID), ::getgid());
    }

    const TransferOutcome outcome =
        m_batches.store(cache.get(), trash.get(), trashError, info.get(), request.cacheFolder, items, copy);
    // What stays in the trash is taken again by a later survey, copies included: they were never made.
    for (const TransferItem& item : items)
        if (item.outcome == TransferItem::Outcome::Left && !item.key.empty())
            m_alreadyAdded.erase(item.key);
    if (outcome.itemsLeft)
        m_itemsLeft = true;
    for (const std::string& folder : outcome.storedBatches) {
        m_repairWorkers.start(folder);
        m_storedBatches.push_back(folder);
    }
    if (outcome.volumeFull) {
        // The copy stopped under the free-space limit: the daemon ends as it does when the volume is full
        // before a transfer (decided before the main thread is released).
        quitForFullDisk(operation);
        m_exitAfterTransfer = true;
    }

    if (copy && timeIntervalSinceReferenceDate() - _lastfileSave > 300.0)
        saveKnownFiles();

    if (outcome.success)
        post(notif::kNewDataInCache, nullptr, true, static_cast<std::int64_t>(request.itemsToManage.size()));

    setRunningStatus(kWaiting);
}

} // namespace bw
