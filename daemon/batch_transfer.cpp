#include "batch_transfer.h"

#include "files/copy_file.h"
#include "files/dir_handle.h"
#include "files/folder_size.h"
#include "files/log_line.h"
#include "files/no_follow.h"
#include "files/remove_tree.h"
#include "plist/reference_time.h"
#include "store/cache_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <malloc.h>

#include <cerrno>
#include <cstring>
#include <span>

namespace bw {

namespace {

constexpr char kMoveOperation[] = "-[Daemon moveDataFromTrashToCache:]";
constexpr char kCopyOperation[] = "-[Daemon copyDataFromTrashToCache:]";

const char* operationName(bool copy) {
    return copy ? kCopyOperation : kMoveOperation;
}

} // namespace

BatchTransfer::ActiveBatch::ActiveBatch(BatchTransfer& owner, int batchFd) : m_owner(owner) {
    struct stat st {};
    if (::fstat(batchFd, &st) != 0)
        return;
    std::lock_guard<std::mutex> lock(m_owner.m_activeMutex);
    m_owner.m_activeDev = st.st_dev;
    m_owner.m_activeIno = st.st_ino;
    m_owner.m_activeSet = true;
}

BatchTransfer::ActiveBatch::~ActiveBatch() {
    std::lock_guard<std::mutex> lock(m_owner.m_activeMutex);
    m_owner.m_activeSet = false;
}

bool BatchTransfer::isActiveBatch(int folderFd) const {
    struct stat st;
    if (::fstat(folderFd, &st) != 0)
        return false;
    std::lock_guard<std::mutex> lock(m_activeMutex);
    return m_activeSet && m_activeDev == st.st_dev && m_activeIno == st.st_ino;
}

std::size_t BatchTransfer::pendingIndexWrites() {
    std::lock_guard<std::mutex> guard(m_pendingMutex);
    return m_pendingFinishes.size();
}

void BatchTransfer::leaveEarlierMinutes(const std::string& batchFolder) {
    if (m_batchName.empty() || m_batchName == batchFolder)
        return;
    forgetIndex();
    m_batchName.clear();
}

UniqueFd BatchTransfer::openBatchFolder(const std::string& path, int cacheFd) const {
    if (cacheFd >= 0) {
        // The daemon runs with its user's ids by now: the folder is born the user's.
        const std::size_t slash = path.rfind('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (::mkdirat(cacheFd, name.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST)
            bw::logLine(LOG_ERR, "cannot make the batch folder %s: %s", path.c_str(), std::strerror(errno));
    }
    UniqueFd batch = openDirectoryPath(path, m_setup.privileged);
    struct stat st {};
    if (batch && m_setup.privileged && (::fstat(batch.get(), &st) != 0 || st.st_uid != m_setup.owner)) {
        // Someone else's folder in the batch's place receives nothing.
        batch.reset();
        errno = EPERM;
    }
    return batch;
}

std::optional<BWCacheIndex> BatchTransfer::indexForUpdate(int batchFd, const std::string& folder, double now) {
    // The index written last is taken from memory while the file is still the one written.
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

void BatchTransfer::rememberIndex(int batchFd, const std::string& folder, BWCacheIndex&& index,
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

bool BatchTransfer::writeIndex(int batchFd, const std::string& folder, BWCacheIndex&& index) {
    CacheIndexFileState written;
    if (!writeCacheIndexAt(index, batchFd, m_setup.owner, m_setup.group, &written)) {
        m_batch = BatchState{};
        return false;
    }
    rememberIndex(batchFd, folder, std::move(index), written);
    return true;
}

void BatchTransfer::forgetIndex() {
    if (!m_batch.valid && m_batch.index.indexTable() == std::nullopt)
        return;
    m_batch = BatchState{};
    ::malloc_trim(0);
}

TransferOutcome BatchTransfer::store(int cacheFd, int trashFd, int trashError, int infoFd,
                                     const std::string& batchFolder, std::vector<TransferItem>& items, bool copy) {
    TransferOutcome outcome;
    outcome.success = !copy;
    // Every item was planned at the same time; the index takes it as the time of its last addition.
    const double planTime = items.empty() ? timeIntervalSinceReferenceDate() : items.front().date;
    // The minute's batch goes on in the part filled last.
    if (m_batchName != batchFolder) {
        forgetIndex();
        m_batchName = batchFolder;
        m_batchPart = 1;
    }
    std::size_t next = 0;
    do {
        const std::string folder = continuedBatchFolderName(batchFolder, m_batchPart);
        UniqueFd batch = openBatchFolder(folder, m_batchPart > 1 ? cacheFd : -1);
        if (!batch) {
            bw::logLine(LOG_ERR, "%s: cannot open the batch folder %s: %s", operationName(copy), folder.c_str(),
                        std::strerror(errno));
            // Nothing of the rest was tried: it stays for a later survey, copies included.
            outcome.success = false;
            outcome.itemsLeft = true;
            for (std::size_t i = next; i < items.size(); ++i)
                items[i].outcome = TransferItem::Outcome::Left;
            break;
        }
        ActiveBatch active(*this, batch.get());

        const std::size_t first = next;
        bool full = false;
        const bool listed = writeAhead(batch.get(), folder, items, next, planTime, full);
        std::span<TransferItem> part(items.begin() + static_cast<std::ptrdiff_t>(first), next - first);
        storeItems(trashFd, trashError, infoFd, batch.get(), folder, part, listed, copy, outcome);
        if (!part.empty() && listed) {
            if (m_beforeFinish)
                m_beforeFinish();
            finishBatch(batch.get(), folder, part);
        }
        for (const TransferItem& item : part) {
            if (item.outcome == TransferItem::Outcome::Stored) {
                outcome.storedBatches.push_back(folder);
                break;
            }
        }
        if (full)
            ++m_batchPart;
    } while (next < items.size());
    return outcome;
}

// Write-ahead: the index names every item of the part before anything moves, so that an interruption
// never leaves a stored item that no index lists. Entries whose item never arrives are dropped by the
// start-up recovery and by every reader's sanity check.
bool BatchTransfer::writeAhead(int batchFd, const std::string& folder, std::vector<TransferItem>& items,
                               std::size_t& next, double planTime, bool& full) {
    BatchFolderLock lock(batchFd, m_lockWait);
    std::optional<BWCacheIndex> index;
    if (lock.isLocked())
        index = indexForUpdate(batchFd, folder, planTime);
    if (!index) {
        // No lock, or an index that can be neither read nor put aside: nothing is stored now.
        next = items.size();
        return false;
    }
    // A batch never grows past the index its readers accept: what does not fit goes on in the minute's
    // next part.
    const bool hadTable = index->indexTable().has_value();
    const std::size_t first = next;
    BWIndexTable table = index->takeIndexTable().value_or(BWIndexTable{});
    std::size_t size = m_batch.file.archiveSize;
    if (size == 0) {
        // Not known (the file changed while it was read): counted from the entries.
        size = 4096;
        for (const auto& [storedName, entry] : table)
            size += BWCacheIndex::archivedEntryBound(storedName, entry.realName);
    }
    while (next < items.size()) {
        const TransferItem& item = items[next];
        const std::size_t bound = BWCacheIndex::archivedEntryBound(item.storedName, item.name) +
                                  (item.originalPath ? item.originalPath->size() + 64 : 0);
        if (size + bound > m_indexSizeLimit && !(table.empty() && next == first)) {
            full = true;
            break;
        }
        size += bound;
        table[item.storedName] = BWCacheIndexEntry{item.name, item.date, item.originalPath};
        ++next;
    }
    index->setIndexTable(std::move(table));
    if (next == first && hadTable) {
        // Nothing new for this part: the index stays as it is.
        rememberIndex(batchFd, folder, std::move(*index), m_batch.file);
        return true;
    }
    index->setCacheLastAdditionTime(planTime);
    // When it cannot be written (the writer logged why), nothing of this part is stored.
    return writeIndex(batchFd, folder, std::move(*index));
}

int BatchTransfer::moveItem(int trashFd, int infoFd, int batchFd, const TransferItem& item) const {
    const char* name = item.name.c_str();
    const char* stored = item.storedName.c_str();
    int r = ::renameat2(trashFd, name, batchFd, stored, RENAME_NOREPLACE);
    if (r != 0 && errno == EINVAL)
        r = ::renameat(trashFd, name, batchFd, stored);
    if (r != 0 && errno != EXDEV)
        return -errno;
    if (r != 0) {
        // The trash and the cache are on different file systems: copy whole, then remove the original.
        KOR_CopyFile engine;
        engine.setSpaceCheck(m_setup.spaceCheck);
        std::string error;
        if (int result = engine.copyItemAt(trashFd, name, batchFd, item.storedName, true, &error);
            result != KOR_CopyFile::kSuccess)
            return result == KOR_CopyFile::kNoSpace ? -ENOSPC : -EXDEV;
        bool removedSome = false;
        if (!removeTreeAt(trashFd, name, &removedSome)) {
            const int err = errno;
            if (removedSome) {
                // Part of the original is gone already: the copy is now the only whole one and stays.
                // What is left in the trash, with its trash record, is taken again by a later survey.
                bw::logLine(LOG_ERR, "%s: cannot remove all of %s from the trash: %s", kMoveOperation, name,
                            std::strerror(err));
                return 0;
            }
            removeTreeAt(batchFd, stored);
            return -err;
        }
    }
    // The desktop's own record of the trashed item goes with it.
    if (infoFd >= 0) {
        const std::string info = item.name + ".trashinfo";
        if (::unlinkat(infoFd, info.c_str(), 0) != 0 && errno != ENOENT)
            bw::logLine(LOG_ERR, "%s: cannot remove the trash record %s: %s", kMoveOperation, info.c_str(),
                        std::strerror(errno));
    }
    return 0;
}

void BatchTransfer::storeItems(int trashFd, int trashError, int infoFd, int batchFd, const std::string& folder,
                               std::span<TransferItem> part, bool listed, bool copy, TransferOutcome& outcome) {
    KOR_CopyFile engine;
    engine.setSpaceCheck(m_setup.spaceCheck);
    for (TransferItem& item : part) {
        std::string error;
        TransferItem::Outcome result;
        if (trashFd < 0) {
            error = std::strerror(trashError < 0 ? -trashError : ENOENT);
            result = TransferItem::Outcome::Left;
        } else if (outcome.volumeFull) {
            // Never tried: taken again once there is room.
            error = std::strerror(ENOSPC);
            result = TransferItem::Outcome::Left;
        } else if (!listed) {
            // An item stored where no index names it would be lost to the user: it stays where it is, to be
            // taken (copies too: never tried) by a later survey.
            error = "the batch index cannot be written";
            result = TransferItem::Outcome::Left;
        } else if (copy) {
            const int copied = engine.copyItemAt(trashFd, item.name.c_str(), batchFd, item.storedName, true, &error);
            outcome.volumeFull = copied == KOR_CopyFile::kNoSpace;
            result = copied == KOR_CopyFile::kSuccess ? TransferItem::Outcome::Stored
                     : outcome.volumeFull             ? TransferItem::Outcome::Left
                                                      : TransferItem::Outcome::Failed;
        } else {
            const int moved = moveItem(trashFd, infoFd, batchFd, item);
            if (moved < 0) {
                error = std::strerror(-moved);
                outcome.volumeFull = moved == -ENOSPC;
            }
            // A move that failed is tried again by a later survey.
            result = moved == 0 ? TransferItem::Outcome::Stored : TransferItem::Outcome::Left;
        }
        item.outcome = result;
        if (result != TransferItem::Outcome::Stored) {
            bw::logLine(LOG_ERR,
                        copy ? "%s: Error reported: %s Trying to copy %s in %s"
                             : "%s: Error reported: %s Trying to move %s in %s",
                        operationName(copy), error.c_str(),
                        (withoutTrailingSlashes(m_setup.trashPath) + "/" + item.name).c_str(),
                        (folder + "/" + item.storedName).c_str());
            if (result == TransferItem::Outcome::Left)
                outcome.itemsLeft = true;
            outcome.success = false;
            continue;
        }
        item.date = timeIntervalSinceReferenceDate();
        if (copy)
            outcome.success = true;
    }
}

bool BatchTransfer::writeFinishedBatch(int batchFd, const std::string& folder, std::span<const TransferItem> part) {
    BatchFolderLock lock(batchFd, m_lockWait);
    if (!lock.isLocked())
        return false;
    const double now = timeIntervalSinceReferenceDate();
    // Read again only when the file is no longer the one written ahead (the application changed it).
    std::optional<BWCacheIndex> index = indexForUpdate(batchFd, folder, now);
    if (!index)
        return false;
    BWIndexTable table = index->takeIndexTable().value_or(BWIndexTable{});
    for (const TransferItem& item : part) {
        if (item.outcome == TransferItem::Outcome::Stored)
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
    return writeIndex(batchFd, folder, std::move(*index));
}

void BatchTransfer::finishBatch(int batchFd, const std::string& folder, std::span<const TransferItem> part) {
    if (writeFinishedBatch(batchFd, folder, part))
        return;
    // The write-ahead index already lists every stored item; what is left to say (which failed, the
    // times and the size) waits in memory for the lock. The lock or the writer said why.
    std::lock_guard<std::mutex> guard(m_pendingMutex);
    m_pendingFinishes.push_back(PendingFinish{folder, std::vector<TransferItem>(part.begin(), part.end())});
}

void BatchTransfer::retryPendingFinishes() {
    std::vector<PendingFinish> pending;
    {
        std::lock_guard<std::mutex> guard(m_pendingMutex);
        pending.swap(m_pendingFinishes);
    }
    std::vector<PendingFinish> left;
    for (PendingFinish& finish : pending) {
        UniqueFd batch = openBatchFolder(finish.folder);
        if (!batch)
            continue; // gone (pruned or deleted): nothing left to list
        if (!writeFinishedBatch(batch.get(), finish.folder, finish.items))
            left.push_back(std::move(finish));
    }
    std::lock_guard<std::mutex> guard(m_pendingMutex);
    for (PendingFinish& finish : left)
        m_pendingFinishes.push_back(std::move(finish));
}

} // namespace bw
