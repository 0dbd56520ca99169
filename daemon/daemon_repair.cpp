// Permission repair of cached items and the start-up recovery of interrupted batches.

#include "daemon.h"

#include "files/log_line.h"
#include "store/cache_index.h"
#include "files/copy_file.h"
#include "plist/reference_time.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace bw {

void Daemon::joinRepairs(bool stop) {
    m_repairWorkers.joinAll(stop);
}

void Daemon::repairPermissions(const std::string& folder) {
    const uid_t uid = static_cast<uid_t>(m_daemonUID);
    UniqueFd root = openDirectoryPath(folder, m_privileged);
    if (!root)
        return;
    // The cache and its batch folders are the user's; a folder of someone else's put in their place is
    // not walked.
    struct stat st;
    if (m_privileged && (::fstat(root.get(), &st) != 0 || st.st_uid != uid)) {
        bw::logLine(LOG_ERR, "%s: %s does not belong to user %d; not repaired", "-[Daemon repairPermissions:]",
                    folder.c_str(), m_daemonUID);
        return;
    }
    repairFolderContents(root.get(), 0, m_repairWorkers.stopFlag(), uid);
}

void Daemon::repairFolderContents(int folderFd, int depth, const std::atomic<bool>& stop, uid_t uid) {
    // Each level holds two descriptors; deeper than this, a tree is left as it is rather than using up
    // the daemon's descriptors.
    if (depth > kMaxWalkDepth) {
        bw::logLine(LOG_WARNING, "%s: a folder deeper than %d levels is not repaired below that",
                    "-[Daemon repairPermissions:]", kMaxWalkDepth);
        return;
    }
    DirHandle reader = DirHandle::listing(folderFd);
    while (const struct dirent* entry = reader.next()) {
        if (stop)
            return;
        repairItem(folderFd, entry->d_name, depth, stop, uid);
    }
}

void Daemon::repairItem(int dirFd, const char* name, int depth, const std::atomic<bool>& stop, uid_t uid) {
    if (m_repairItemDelay > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(m_repairItemDelay));
    // Everything below acts on the one item opened here: a name swapped meanwhile changes nothing.
    UniqueFd item(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!item || ::fstat(item.get(), &st) != 0)
        return;

    // Only the user's own items are opened up for the user. Whatever belongs to someone else (a file the
    // user could merely rename into the trash, a second name of another user's file) keeps its owner,
    // mode, flags and access list: the cache never grants what the user did not have. A device node is
    // left alone even when the user owns it.
    const bool device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
    if (st.st_uid == uid && !device) {
        // Results are not checked: what cannot be changed stays as it was, and the walk goes on.
        setLockOfItem(false, item.get(), name);
        KOR_CopyFile::clearACLOfItem(item.get(), name);
        if (!S_ISLNK(st.st_mode)) {
            // The user's alone: never readable through a group the user shares with others.
            [[maybe_unused]] int moded = ::chmod(procFdPath(item.get()).c_str(), kPrivateFolderMode);
        }
    }
    if (!S_ISDIR(st.st_mode))
        return;

    UniqueFd child(::open(procFdPath(item.get()).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    item.reset(); // deep trees: one descriptor fewer per level
    if (!child)
        return;
    std::optional<BWCacheIndex> index = readCacheIndexAt(child.get());
    if (!index) {
        repairFolderContents(child.get(), depth + 1, stop, uid);
        return;
    }
    if (index->permissionsRepaired())
        return;
    if (timeIntervalSinceReferenceDate() - index->cacheLastAdditionTime() < kRepairQuietSeconds ||
        m_batches.isActiveBatch(child.get()))
        return;
    repairFolderContents(child.get(), depth + 1, stop, uid);
    if (stop)
        return;
    markBatchRepaired(child.get(), m_batches.batchLockWait());
}

bool Daemon::markBatchRepaired(int batchFd, std::chrono::milliseconds lockWait) {
    BatchFolderLock lock(batchFd, lockWait);
    if (!lock.isLocked())
        return false; // marked by a later repair
    std::optional<BWCacheIndex> current = readCacheIndexAt(batchFd);
    if (!current || current->permissionsRepaired())
        return true;
    // Items added while the walk went on may not have been reached: the batch waits for a later repair.
    if (timeIntervalSinceReferenceDate() - current->cacheLastAdditionTime() < kRepairQuietSeconds ||
        m_batches.isActiveBatch(batchFd))
        return false;
    current->setPermissionsRepaired(true);
    // A failed write was logged by the writer; the batch is marked by a later repair.
    writeCacheIndexAt(*current, batchFd, static_cast<uid_t>(m_daemonUID), ::getgid());
    return true;
}

void Daemon::recoverInterruptedBatches() {
    UniqueFd cache = openCacheFolder(false);
    if (!cache)
        return;
    DirHandle reader = DirHandle::listing(cache.get());
    while (const struct dirent* entry = reader.next()) {
        if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
            continue;
        UniqueFd batch = openDirAt(cache.get(), entry->d_name);
        if (!batch)
            continue;
        std::optional<BWCacheIndex> index = readCacheIndexAt(batch.get());
        if (index && index->permissionsRepaired())
            continue;
        // A copy cut short never took its stored name; what is left of it is nobody's.
        struct stat st;
        if (lstatAt(batch.get(), KOR_CopyFile::getKOREVTemporaryFile(), st) &&
            !removeTreeAt(batch.get(), KOR_CopyFile::getKOREVTemporaryFile()))
            bw::logLine(LOG_ERR, "%s: cannot remove a leftover copy in %s", "-[Daemon launchDaemon]", entry->d_name);
        if (!index)
            continue;
        BatchFolderLock lock(batch.get(), m_batches.batchLockWait());
        if (!lock.isLocked())
            continue;
        std::optional<BWCacheIndex> current = readCacheIndexAt(batch.get());
        if (!current || current->permissionsRepaired() || !current->indexTable())
            continue;
        const std::size_t before = current->indexTable()->size();
        current->sanityCheckAt(batch.get());
        // A failed write was logged by the writer; readers drop the missing entries themselves.
        if (current->indexTable() && current->indexTable()->size() != before)
            writeCacheIndexAt(*current, batch.get(), static_cast<uid_t>(m_daemonUID), ::getgid());
    }
}

} // namespace bw
