// The transfer of trash items into a batch folder, and the helpers it uses.

#include "daemon.h"
#include "files/folder_size.h"

#include "files/log_line.h"
#include "store/added_list.h"
#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "files/copy_file.h"
#include "bus/notification_names.h"
#include "plist/reference_time.h"
#include "store/trash_info.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <malloc.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bw {

namespace {

constexpr char kMoveOperation[] = "-[Daemon moveDataFromTrashToCache:]";
constexpr char kCopyOperation[] = "-[Daemon copyDataFromTrashToCache:]";

} // namespace

std::function<bool(int)> Daemon::spaceCheck() const {
    return [percent = m_percentFreeOnDisk](int fd) {
        struct statvfs vfs;
        if (::fstatvfs(fd, &vfs) != 0)
            return true; // unknown: the write itself reports a full volume
        return !diskIsFull(static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize,
                           static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize, percent);
    };
}

bool Daemon::freeSpaceTest(int cacheFd) {
    std::uint64_t freeBytes = 0, totalBytes = 0;
    struct statvfs vfs;
    if (cacheFd >= 0 && ::fstatvfs(cacheFd, &vfs) == 0) {
        freeBytes = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
        totalBytes = static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    }
    return !diskIsFull(freeBytes, totalBytes, m_percentFreeOnDisk);
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
    bool saved = cache && saveAddedList(m_alreadyAdded, procFdPath(cache.get()) + "/.");
    if (saved)
        m_addedListDirty = false;
    else
        bw::logLine(LOG_ERR, "%s: cannot write %s in %s", "-[Daemon saveKnownFiles]", kAddedListFileName,
                    cacheFolder().c_str());
    _lastfileSave = timeIntervalSinceReferenceDate();
    return saved;
}

void Daemon::moveDataFromTrashToCache(const TransferRequest& request) {
    transfer(request, false);
}

void Daemon::copyDataFromTrashToCache(const TransferRequest& request) {
    transfer(request, true);
}

bool Daemon::moveItem(int trashFd, int infoFd, int batchFd, const Planned& item) {
    const char* name = item.name.c_str();
    const char* stored = item.storedName.c_str();
    int r = ::renameat2(trashFd, name, batchFd, stored, RENAME_NOREPLACE);
    if (r != 0 && errno == EINVAL)
        r = ::renameat(trashFd, name, batchFd, stored);
    if (r != 0 && errno == EXDEV) {
        // The trash and the cache are on different file systems: copy whole, then remove the original.
        KOR_CopyFile engine;
        engine.setSpaceCheck(spaceCheck());
        std::string error;
        if (int result = engine.copyItemAt(trashFd, name, batchFd, item.storedName, true, &error);
            result != KOR_CopyFile::kSuccess) {
            errno = result == KOR_CopyFile::kNoSpace ? ENOSPC : EXDEV;
            return false;
        }
        bool removedSome = false;
        if (!removeTreeAt(trashFd, name, &removedSome)) {
            int err = errno;
            if (removedSome) {
                // Part of the original is gone already: the copy is now the only whole one and stays.
                // What is left in the trash, with its trash record, is taken again by a later survey.
                bw::logLine(LOG_ERR, "%s: cannot remove all of %s from the trash: %s", kMoveOperation, name,
                            std::strerror(err));
                return true;
            }
            removeTreeAt(batchFd, stored);
            errno = err;
            return false;
        }
        r = 0;
    }
    if (r != 0)
        return false;
    // The desktop's own record of the trashed item goes with it.
    if (infoFd >= 0) {
        std::string info = item.name + ".trashinfo";
        if (::unlinkat(infoFd, info.c_str(), 0) != 0 && errno != ENOENT)
            bw::logLine(LOG_ERR, "%s: cannot remove the trash record %s: %s", kMoveOperation, info.c_str(),
                        std::strerror(errno));
    }
    return true;
}

UniqueFd Daemon::openBatchFolder(const std::string& path, bool create) const {
    if (create) {
        std::size_t slash = path.rfind('/');
        UniqueFd cache = slash == std::string::npos ? UniqueFd() : openCacheFolder(false);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        // The daemon runs with its user's ids by now: the folder is born the user's.
        if (cache && ::mkdirat(cache.get(), name.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST)
            bw::logLine(LOG_ERR, "cannot make the batch folder %s: %s", path.c_str(), std::strerror(errno));
    }
    UniqueFd batch = openDirectoryPath(path, m_privileged);
    struct stat st {};
    if (batch && m_privileged && (::fstat(batch.get(), &st) != 0 || st.st_uid != static_cast<uid_t>(m_daemonUID))) {
        // Someone else's folder in the batch's place (see repairPermissions) receives nothing.
        batch.reset();
        errno = EPERM;
    }
    return batch;
}

std::optional<BWCacheIndex> Daemon::batchIndexForUpdate(int batchFd, const std::string& folder, double now) {
    // The index this daemon wrote last is taken from memory while the file is still the one it wrote.
    struct stat st {};
    const bool sameFolder = m_batch.valid && m_batch.folder == folder && ::fstat(batchFd, &st) == 0 &&
                            st.st_dev == m_batch.device && st.st_ino == m_batch.inode;
    if (sameFolder && cacheIndexFileStateAt(batchFd).sameFile(m_batch.file))
        return std::move(m_batch.index);
    m_batch = BatchState{};
    bool fresh = false;
    CacheIndexFileState state;
    std::optional<BWCacheIndex> index = loadCacheIndexForUpdateAt(batchFd, fresh, &state);
    if (index && fresh)
        index->setCacheCreationTime(now);
    m_batch.file = state;
    return index;
}

void Daemon::rememberBatchIndex(int batchFd, const std::string& folder, BWCacheIndex&& index,
                                const CacheIndexFileState& written) {
    struct stat st {};
    if (!written.exists || ::fstat(batchFd, &st) != 0) {
        m_batch = BatchState{};
        return;
    }
    m_batch.valid = true;
    m_batch.folder = folder;
    m_batch.device = st.st_dev;
    m_batch.inode = st.st_ino;
    m_batch.file = written;
    m_batch.index = std::move(index);
}

void Daemon::forgetBatchIndex() {
    if (!m_batch.valid && m_batch.index.indexTable() == std::nullopt)
        return;
    m_batch = BatchState{};
    ::malloc_trim(0);
}

Daemon::ActiveBatch::ActiveBatch(Daemon& daemon, int batchFd) : m_daemon(daemon) {
    struct stat st {};
    if (::fstat(batchFd, &st) != 0)
        return;
    std::lock_guard<std::mutex> lock(m_daemon.m_activeMutex);
    m_daemon.m_activeDev = st.st_dev;
    m_daemon.m_activeIno = st.st_ino;
    m_daemon.m_activeSet = true;
}

Daemon::ActiveBatch::~ActiveBatch() {
    std::lock_guard<std::mutex> lock(m_daemon.m_activeMutex);
    m_daemon.m_activeSet = false;
}

std::size_t Daemon::pendingIndexWrites() {
    std::lock_guard<std::mutex> guard(m_pendingMutex);
    return m_pendingFinishes.size();
}

void Daemon::quitForCacheFailure(const char* operation, int err) {
    _mustTerminate = true;
    bw::logLine(LOG_ERR, "%s: cannot use the cache folder %s: %s; quitting", operation, cacheFolder().c_str(),
                std::strerror(err));
    post(notif::kDaemonQuits, nullptr, false, -1);
    m_exitAfterTransfer = true;
    setRunningStatus(kStopped);
}

void Daemon::transfer(const TransferRequest& request, bool copy) {
    const char* operation = copy ? kCopyOperation : kMoveOperation;
    UniqueFd cache = openCacheFolder(false);
    if (!cache) {
        // Not a full disk: a folder that is not the user's, or one that cannot be reached.
        quitForCacheFailure(operation, errno);
        return;
    }

    if (!freeSpaceTest(cache.get())) {
        _mustTerminate = true;
        const std::string folder = cacheFolder();
        post(notif::kDiskFull, folder.c_str(), false, -1);
        bw::logLine(LOG_ERR, "%s: the volume of %s is full", operation, folder.c_str());
        std::this_thread::sleep_for(std::chrono::duration<double>(1.0 * m_terminationDelayScale));
        m_exitAfterTransfer = true;
        setRunningStatus(kStopped);
        return;
    }

    // Batches whose last index write waited in vain for the lock are written first.
    retryPendingFinishes();

    UniqueFd trash = openTrashFolder();
    // Copy mode reads the trash records too, and leaves them alone.
    UniqueFd info = openInfoFolder();

    // Plan every item: its stored name, and in copy mode whether it was copied before.
    std::vector<Planned> plan;
    plan.reserve(request.itemsToManage.size());
    const double planTime = timeIntervalSinceReferenceDate();
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
        plan.push_back(Planned{newStoredItemName(), name, planTime, false, std::move(recordedKey)});
        // Where the item was thrown from, read before the move takes its record away. A volume's trash
        // may record paths relative to the volume's top; the home trash records absolute ones only.
        if (info) {
            const bool homeTrash = !m_homeFolder.empty() && m_trashPath.rfind(m_homeFolder, 0) == 0;
            const std::string volumeTop = homeTrash ? std::string() : withoutTrailingSlashes(m_trashCachePath);
            plan.back().originalPath =
                readTrashInfoOriginalPathAt(info.get(), name, volumeTop, static_cast<uid_t>(m_daemonUID), ::getgid());
        }
    }

    // The minute's batch goes on in the part this daemon filled last.
    if (m_batchName != request.cacheFolder) {
        forgetBatchIndex();
        m_batchName = request.cacheFolder;
        m_batchPart = 1;
    }

    bool success = !copy;
    std::size_t next = 0;
    do {
        const std::string folder = continuedBatchFolderName(request.cacheFolder, m_batchPart);
        UniqueFd batch = openBatchFolder(folder, m_batchPart > 1);
        if (!batch) {
            bw::logLine(LOG_ERR, "%s: cannot open the batch folder %s: %s", operation, folder.c_str(),
                        std::strerror(errno));
            success = false;
            // Nothing of the rest was tried: it stays for a later survey, copies included.
            for (std::size_t i = next; i < plan.size(); ++i)
                if (!plan[i].key.empty())
                    m_alreadyAdded.erase(plan[i].key);
            m_itemsLeft = true;
            break;
        }
        ActiveBatch active(*this, batch.get());

        // Write-ahead: the index names every planned item before anything moves, so that an interruption
        // never leaves a stored item that no index lists. Entries whose item never arrives are dropped by
        // the start-up recovery and by every reader's sanity check.
        std::vector<Planned> part;
        bool full = false;
        bool planWritten = true;
        {
            BatchFolderLock lock(batch.get(), m_batchLockWait);
            std::optional<BWCacheIndex> index;
            if (lock.isLocked())
                index = batchIndexForUpdate(batch.get(), folder, planTime);
            if (!index) {
                // No lock, or an index that can be neither read nor put aside: nothing is stored now; the
                // items stay in the trash for a later survey.
                planWritten = false;
                part.assign(std::make_move_iterator(plan.begin() + static_cast<std::ptrdiff_t>(next)),
                            std::make_move_iterator(plan.end()));
                next = plan.size();
            } else {
                // A batch never grows past the index its readers accept: what does not fit goes on in the
                // minute's next part.
                const bool hadTable = index->indexTable().has_value();
                BWIndexTable table = index->takeIndexTable().value_or(BWIndexTable{});
                std::size_t size = m_batch.file.archiveSize;
                if (size == 0) {
                    // Not known (the file changed while it was read): counted from the entries.
                    size = 4096;
                    for (const auto& [storedName, entry] : table)
                        size += BWCacheIndex::archivedEntryBound(storedName, entry.realName);
                }
                while (next < plan.size()) {
                    const std::size_t bound = BWCacheIndex::archivedEntryBound(plan[next].storedName, plan[next].name) +
                                              (plan[next].originalPath ? plan[next].originalPath->size() + 64 : 0);
                    if (size + bound > m_indexSizeLimit && !(table.empty() && part.empty())) {
                        full = true;
                        break;
                    }
                    size += bound;
                    table[plan[next].storedName] =
                        BWCacheIndexEntry{plan[next].name, plan[next].date, plan[next].originalPath};
                    part.push_back(std::move(plan[next]));
                    ++next;
                }
                index->setIndexTable(std::move(table));
                if (!part.empty() || !hadTable) {
                    index->setCacheLastAdditionTime(planTime);
                    CacheIndexFileState written;
                    planWritten =
                        writeCacheIndexAt(*index, batch.get(), static_cast<uid_t>(m_daemonUID), ::getgid(), &written);
                    if (planWritten) {
                        rememberBatchIndex(batch.get(), folder, std::move(*index), written);
                    } else {
                        m_batch = BatchState{};
                        bw::logLine(LOG_ERR, "%s: cannot write the index of %s", operation, folder.c_str());
                    }
                } else {
                    rememberBatchIndex(batch.get(), folder, std::move(*index), m_batch.file);
                }
            }
        }

        // A survey that stored nothing new (copy mode, every name known) leaves the index as it is.
        bool stored = storeItems(trash.get(), info.get(), batch.get(), folder, part, planWritten, copy, success);
        if (!part.empty() && planWritten) {
            if (m_beforeFinish)
                m_beforeFinish();
            finishBatch(batch.get(), folder, part, copy);
        }
        if (stored) {
            m_repairWorkers.start(folder);
            m_storedBatches.push_back(folder);
        }
        if (full)
            ++m_batchPart;
    } while (next < plan.size());

    if (copy && timeIntervalSinceReferenceDate() - _lastfileSave > 300.0)
        saveKnownFiles();

    if (success)
        post(notif::kNewDataInCache, nullptr, true, static_cast<std::int64_t>(request.itemsToManage.size()));

    setRunningStatus(kWaiting);
}

bool Daemon::storeItems(int trashFd, int infoFd, int batchFd, const std::string& folder, std::vector<Planned>& plan,
                        bool planWritten, bool copy, bool& success) {
    const char* operation = copy ? kCopyOperation : kMoveOperation;
    bool stored = false;
    bool volumeFull = false;
    KOR_CopyFile engine;
    engine.setSpaceCheck(spaceCheck());
    for (Planned& item : plan) {
        const std::string source = withoutTrailingSlashes(m_trashPath) + "/" + item.name;
        const std::string destination = folder + "/" + item.storedName;
        std::string error;
        bool done;
        if (trashFd < 0) {
            error = std::strerror(errno ? errno : ENOENT);
            done = false;
            m_itemsLeft = true;
        } else if (volumeFull) {
            error = std::strerror(ENOSPC);
            done = false;
        } else if (!planWritten) {
            // An item stored where no index names it would be lost to the user: it stays where it is, to be
            // taken (copies too: never tried, so not known) by a later survey.
            error = "the batch index cannot be written";
            done = false;
            if (!item.key.empty())
                m_alreadyAdded.erase(item.key);
            m_itemsLeft = true;
        } else if (copy) {
            const int result = engine.copyItemAt(trashFd, item.name.c_str(), batchFd, item.storedName, true, &error);
            done = result == KOR_CopyFile::kSuccess;
            volumeFull = result == KOR_CopyFile::kNoSpace;
        } else {
            done = moveItem(trashFd, infoFd, batchFd, item);
            if (!done) {
                error = std::strerror(errno);
                volumeFull = errno == ENOSPC;
                m_itemsLeft = true; // tried again by a later survey
            }
        }
        if (!done) {
            bw::logLine(LOG_ERR,
                        copy ? "%s: Error reported: %s Trying to copy %s in %s"
                             : "%s: Error reported: %s Trying to move %s in %s",
                        operation, error.c_str(), source.c_str(), destination.c_str());
            success = false;
            continue;
        }
        item.done = true;
        stored = true;
        item.date = timeIntervalSinceReferenceDate();
        if (copy)
            success = true;
    }
    if (volumeFull) {
        // The copy stopped under the free-space limit: what is left stays in the trash, and the daemon ends
        // as it does when the volume is full before a transfer (set before the main thread is released).
        _mustTerminate = true;
        const std::string cache = cacheFolder();
        post(notif::kDiskFull, cache.c_str(), false, -1);
        bw::logLine(LOG_ERR, "%s: the volume of %s is full", operation, cache.c_str());
        m_exitAfterTransfer = true;
    }
    return stored;
}

bool Daemon::writeFinishedBatch(int batchFd, const std::string& folder, const std::vector<Planned>& plan) {
    BatchFolderLock lock(batchFd, m_batchLockWait);
    if (!lock.isLocked())
        return false;
    const double now = timeIntervalSinceReferenceDate();
    // Read again only when the file is no longer the one written ahead (the application changed it).
    std::optional<BWCacheIndex> index = batchIndexForUpdate(batchFd, folder, now);
    if (!index)
        return false;
    BWIndexTable table = index->takeIndexTable().value_or(BWIndexTable{});
    for (const Planned& item : plan) {
        if (item.done)
            table[item.storedName] = BWCacheIndexEntry{item.name, item.date, item.originalPath};
        else
            table.erase(item.storedName);
    }

    std::uint64_t size = 0;
    FolderSizer sizer;
    DirHandle reader = DirHandle::listing(batchFd);
    while (const struct dirent* entry = reader.next()) {
        if (isCacheIndexFileName(entry->d_name))
            continue;
        size += sizer.measureAt(batchFd, entry->d_name).bytes;
    }
    index->setCacheLastAdditionTime(now);
    index->setCacheSize(size);
    index->setIndexTable(std::move(table));
    CacheIndexFileState written;
    if (!writeCacheIndexAt(*index, batchFd, static_cast<uid_t>(m_daemonUID), ::getgid(), &written)) {
        m_batch = BatchState{};
        return false;
    }
    rememberBatchIndex(batchFd, folder, std::move(*index), written);
    return true;
}

void Daemon::finishBatch(int batchFd, const std::string& folder, std::vector<Planned>& plan, bool copy) {
    if (writeFinishedBatch(batchFd, folder, plan))
        return;
    // The write-ahead index already lists every stored item; what is left to say (which failed, the
    // times and the size) waits in memory for the lock.
    bw::logLine(LOG_ERR, "%s: cannot write the index of %s now; tried again later",
                copy ? kCopyOperation : kMoveOperation, folder.c_str());
    std::lock_guard<std::mutex> guard(m_pendingMutex);
    m_pendingFinishes.push_back(PendingFinish{folder, std::move(plan)});
}

void Daemon::retryPendingFinishes() {
    std::vector<PendingFinish> pending;
    {
        std::lock_guard<std::mutex> guard(m_pendingMutex);
        pending.swap(m_pendingFinishes);
    }
    std::vector<PendingFinish> left;
    for (PendingFinish& finish : pending) {
        UniqueFd batch = openBatchFolder(finish.folder, false);
        if (!batch)
            continue; // gone (pruned or deleted): nothing left to list
        if (!writeFinishedBatch(batch.get(), finish.folder, finish.plan))
            left.push_back(std::move(finish));
    }
    std::lock_guard<std::mutex> guard(m_pendingMutex);
    for (PendingFinish& finish : left)
        m_pendingFinishes.push_back(std::move(finish));
}

} // namespace bw
