// The transfer of trash items into a batch folder, and the helpers it uses.

#include "daemon.h"

#include "added_list.h"
#include "cache_index.h"
#include "cache_paths.h"
#include "kor_copy_file.h"
#include "notification_names.h"
#include "reference_time.h"
#include "trash_info.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bw {

namespace {

constexpr char kMoveOperation[] = "-[Daemon moveDataFromTrashToCache:]";
constexpr char kCopyOperation[] = "-[Daemon copyDataFromTrashToCache:]";

// Marks the batch folder a transfer is filling, for as long as the object lives.
template <typename Fn> struct ScopeExit {
    Fn fn;
    ~ScopeExit() { fn(); }
};
template <typename Fn> ScopeExit(Fn) -> ScopeExit<Fn>;

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
    if (!saved)
        syslog(LOG_ERR, "bw2daemon %s: cannot write %s in %s", "-[Daemon saveKnownFiles]", kAddedListFileName,
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
                syslog(LOG_ERR, "bw2daemon %s: cannot remove all of %s from the trash: %s", kMoveOperation, name,
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
            syslog(LOG_ERR, "bw2daemon %s: cannot remove the trash record %s: %s", kMoveOperation, info.c_str(),
                   std::strerror(errno));
    }
    return true;
}

void Daemon::quitForCacheFailure(const char* operation, int err) {
    _mustTerminate = true;
    syslog(LOG_ERR, "bw2daemon %s: cannot use the cache folder %s: %s; quitting", operation, cacheFolder().c_str(),
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
        syslog(LOG_ERR, "bw2daemon %s: the volume of %s is full", operation, folder.c_str());
        std::this_thread::sleep_for(std::chrono::duration<double>(1.0 * m_terminationDelayScale));
        m_exitAfterTransfer = true;
        setRunningStatus(kStopped);
        return;
    }

    UniqueFd trash = openTrashFolder();
    UniqueFd batch = openDirectoryPath(request.cacheFolder, m_privileged);
    // Copy mode reads the trash records too, and leaves them alone.
    UniqueFd info = openInfoFolder();
    struct stat batchStat {};
    if (batch && m_privileged &&
        (::fstat(batch.get(), &batchStat) != 0 || batchStat.st_uid != static_cast<uid_t>(m_daemonUID))) {
        // Someone else's folder in the batch's place (see repairPermissions) receives nothing.
        batch.reset();
        errno = EPERM;
    }
    if (batch && ::fstat(batch.get(), &batchStat) == 0) {
        std::lock_guard<std::mutex> lock(m_activeMutex);
        m_activeDev = batchStat.st_dev;
        m_activeIno = batchStat.st_ino;
        m_activeSet = true;
    }
    ScopeExit clearActive{[this] {
        std::lock_guard<std::mutex> lock(m_activeMutex);
        m_activeSet = false;
    }};

    // Plan every item: its stored name, and in copy mode whether it was copied before.
    std::vector<Planned> plan;
    plan.reserve(request.itemsToManage.size());
    const double planTime = timeIntervalSinceReferenceDate();
    for (const std::string& name : request.itemsToManage) {
        if (copy && trash) {
            std::optional<std::string> key = itemKeyAt(trash.get(), name);
            if (key) {
                // Recorded before the copy, so that a copy that fails is not tried again and again.
                if (!m_alreadyAdded.emplace(std::move(*key), planTime).second)
                    continue;
            }
        }
        plan.push_back(Planned{newStoredItemName(), name, planTime, false});
        // Where the item was thrown from, read before the move takes its record away. A volume's trash
        // may record paths relative to the volume's top; the home trash records absolute ones only.
        if (info) {
            const bool homeTrash = !m_homeFolder.empty() && m_trashPath.rfind(m_homeFolder, 0) == 0;
            const std::string volumeTop = homeTrash ? std::string() : withoutTrailingSlashes(m_trashCachePath);
            plan.back().originalPath =
                readTrashInfoOriginalPathAt(info.get(), name, volumeTop, static_cast<uid_t>(m_daemonUID), ::getgid());
        }
    }

    if (!batch) {
        syslog(LOG_ERR, "bw2daemon %s: cannot open the batch folder %s: %s", operation, request.cacheFolder.c_str(),
               std::strerror(errno));
        setRunningStatus(kWaiting);
        return;
    }

    // Write-ahead: the index names every planned item before anything moves, so that an interruption
    // never leaves a stored item that no index lists. Entries whose item never arrives are dropped by
    // the start-up recovery and by every reader's sanity check.
    bool planWritten = true;
    if (!plan.empty()) {
        BatchFolderLock lock(batch.get());
        std::optional<BWCacheIndex> index = readCacheIndexAt(batch.get());
        if (!index) {
            index.emplace();
            index->setCacheCreationTime(planTime);
        }
        BWIndexTable table = index->indexTable().value_or(BWIndexTable{});
        for (const Planned& item : plan)
            table[item.storedName] = BWCacheIndexEntry{item.name, item.date, item.originalPath};
        index->setIndexTable(std::move(table));
        index->setCacheLastAdditionTime(planTime);
        planWritten = writeCacheIndexAt(*index, batch.get(), static_cast<uid_t>(m_daemonUID), ::getgid());
        if (!planWritten)
            syslog(LOG_ERR, "bw2daemon %s: cannot write the index of %s", operation, request.cacheFolder.c_str());
    }

    bool success = !copy;
    bool volumeFull = false;
    KOR_CopyFile engine;
    engine.setSpaceCheck(spaceCheck());
    for (Planned& item : plan) {
        const std::string source = withoutTrailingSlashes(m_trashPath) + "/" + item.name;
        const std::string destination = request.cacheFolder + "/" + item.storedName;
        std::string error;
        bool done;
        if (!trash) {
            error = std::strerror(errno ? errno : ENOENT);
            done = false;
        } else if (volumeFull) {
            error = std::strerror(ENOSPC);
            done = false;
        } else if (!planWritten) {
            // An item stored where no index names it would be lost to the user: it stays where it is.
            error = "the batch index cannot be written";
            done = false;
        } else if (copy) {
            const int result =
                engine.copyItemAt(trash.get(), item.name.c_str(), batch.get(), item.storedName, true, &error);
            done = result == KOR_CopyFile::kSuccess;
            volumeFull = result == KOR_CopyFile::kNoSpace;
        } else {
            done = moveItem(trash.get(), info.get(), batch.get(), item);
            if (!done) {
                error = std::strerror(errno);
                volumeFull = errno == ENOSPC;
            }
        }
        if (!done) {
            syslog(LOG_ERR,
                   copy ? "bw2daemon %s: Error reported: %s Trying to copy %s in %s"
                        : "bw2daemon %s: Error reported: %s Trying to move %s in %s",
                   operation, error.c_str(), source.c_str(), destination.c_str());
            success = false;
            continue;
        }
        item.done = true;
        item.date = timeIntervalSinceReferenceDate();
        if (copy)
            success = true;
    }

    if (volumeFull) {
        // The copy stopped under the free-space limit: what is left stays in the trash, and the daemon ends
        // as it does when the volume is full before a transfer (set before the main thread is released).
        _mustTerminate = true;
        const std::string folder = cacheFolder();
        post(notif::kDiskFull, folder.c_str(), false, -1);
        syslog(LOG_ERR, "bw2daemon %s: the volume of %s is full", operation, folder.c_str());
        m_exitAfterTransfer = true;
    }
    finishBatch(batch.get(), plan, success, request, copy);
}

void Daemon::finishBatch(int batchFd, std::vector<Planned>& plan, bool success, const TransferRequest& request,
                         bool copy) {
    {
        BatchFolderLock lock(batchFd);
        // Read again: the application may have changed the index since the write-ahead.
        std::optional<BWCacheIndex> index = readCacheIndexAt(batchFd);
        const double now = timeIntervalSinceReferenceDate();
        if (!index) {
            index.emplace();
            index->setCacheCreationTime(now);
        }
        BWIndexTable table = index->indexTable().value_or(BWIndexTable{});
        for (const Planned& item : plan) {
            if (item.done)
                table[item.storedName] = BWCacheIndexEntry{item.name, item.date, item.originalPath};
            else
                table.erase(item.storedName);
        }

        std::uint64_t size = 0;
        DirReader reader(batchFd);
        while (const struct dirent* entry = reader.next()) {
            if (std::strcmp(entry->d_name, kCacheIndexFileName) == 0)
                continue;
            struct stat st;
            if (!lstatAt(batchFd, entry->d_name, st))
                continue;
            if (S_ISDIR(st.st_mode)) {
                if (UniqueFd folder = openDirAt(batchFd, entry->d_name))
                    size += folderSizeAt(folder.get());
            } else {
                size += static_cast<std::uint64_t>(st.st_size);
            }
        }
        index->setCacheLastAdditionTime(now);
        index->setCacheSize(size);
        index->setIndexTable(std::move(table));
        if (!writeCacheIndexAt(*index, batchFd, static_cast<uid_t>(m_daemonUID), ::getgid()))
            syslog(LOG_ERR, "bw2daemon %s: cannot write the index of %s", copy ? kCopyOperation : kMoveOperation,
                   request.cacheFolder.c_str());
    }

    if (copy && timeIntervalSinceReferenceDate() - _lastfileSave > 300.0)
        saveKnownFiles();

    if (success)
        post(notif::kNewDataInCache, nullptr, true, static_cast<std::int64_t>(request.itemsToManage.size()));

    startRepair(request.cacheFolder);
    setRunningStatus(kWaiting);
}

} // namespace bw
