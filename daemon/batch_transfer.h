#pragma once
// Stores trash items into the batch folders of one minute: the index names every item before it moves
// (write-ahead), a batch never grows past the index its readers accept (the minute goes on in a next
// part), and the final index write waits in memory when another program holds the batch's lock.

#include "store/cache_index.h"
#include "files/unique_fd.h"

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace bw {

// Cache, batch and repaired folders: reachable by their user alone.
inline constexpr mode_t kPrivateFolderMode = 0700;

// One trash item of a transfer and what became of it.
struct TransferItem {
    enum class Outcome {
        Untried,
        Stored, // in the batch and listed by its index
        Failed, // tried and failed; a copy is not tried again
        Left,   // stays in the trash for a later survey (never tried, or a move that failed)
    };
    std::string storedName;
    std::string name;                          // directly inside the trash folder
    double date = 0.0;                         // when planned; when stored once stored
    std::string key{};                         // copy mode: the item key recorded in the added list
    std::optional<std::string> originalPath{}; // from the item's trash record
    Outcome outcome = Outcome::Untried;
};

// What a transfer did, for the daemon to act on.
struct TransferOutcome {
    // Move: nothing failed. Copy: the last item tried was stored. No batch folder: false.
    bool success = false;
    bool itemsLeft = false;  // some item stays in the trash for a later survey
    bool volumeFull = false; // a write stopped under the free-space limit; the rest was not tried
    std::vector<std::string> storedBatches; // batch folders that received items
};

class BatchTransfer {
public:
    struct Setup {
        uid_t owner = static_cast<uid_t>(-1); // the protected user: owns batch folders and indexes
        gid_t group = static_cast<gid_t>(-1);
        bool privileged = false;                   // batch folders not the owner's receive nothing
        std::string trashPath;                     // for the log lines
        std::function<bool(int)> spaceCheck;       // false once a write on the descriptor must stop
    };
    BatchTransfer() = default;
    BatchTransfer(const BatchTransfer&) = delete;
    BatchTransfer& operator=(const BatchTransfer&) = delete;

    // Who the batches are for; set before the first store (the daemon's command line sets it late).
    void configure(Setup setup) { m_setup = std::move(setup); }

    // Stores the items into the minute's batch `batchFolder` (a full path inside the cache folder
    // `cacheFd`; later parts are made there), moving them out of the trash or copying them, and sets
    // each item's outcome. A minute filled before goes on in the part used last. trashError: 0 or the
    // negative errno of the trash folder's open when trashFd is -1.
    TransferOutcome store(int cacheFd, int trashFd, int trashError, int infoFd, const std::string& batchFolder,
                          std::vector<TransferItem>& items, bool copy);

    // Final index writes that found their batch locked; tried again by retryPendingFinishes.
    std::size_t pendingIndexWrites();
    void retryPendingFinishes();
    // Whether a minute's batch is being filled (so that an idle survey builds no name to compare).
    bool fillsAMinute() const { return !m_batchName.empty(); }
    // Drops what is kept of a batch of another minute than `batchFolder` (its index is no longer needed).
    void leaveEarlierMinutes(const std::string& batchFolder);
    // Drops the index kept of the batch filled last (read again when more comes).
    void forgetIndex();
    // The batch folder at `path` (made first inside the cache when cacheFd is given); a privileged
    // daemon refuses one that is not its user's (errno EPERM).
    UniqueFd openBatchFolder(const std::string& path, int cacheFd = -1) const;
    // Whether the folder is the batch a transfer is filling now (repair must not mark it repaired).
    bool isActiveBatch(int folderFd) const;

    // Largest index archive a batch may reach (never more than readers accept).
    void setIndexSizeLimit(std::size_t bytes) { m_indexSizeLimit = std::min(bytes, kMaxArchiveSize); }
    // Longest wait for a batch folder's lock before a write is put off.
    void setBatchLockWait(std::chrono::milliseconds wait) { m_lockWait = wait; }
    std::chrono::milliseconds batchLockWait() const { return m_lockWait; }
    // Called after a batch's items are stored and before its final index write.
    void setBeforeFinishHook(std::function<void()> hook) { m_beforeFinish = std::move(hook); }

private:
    // The index this object last wrote into the batch it is filling, and which file that became.
    struct BatchState {
        bool valid = false;
        std::string folder;
        dev_t device = 0;
        ino_t inode = 0;
        CacheIndexFileState file;
        BWCacheIndex index;
    };
    // A finished batch whose index could not take the lock: the items are listed (write-ahead), their
    // outcome is written once the lock is free.
    struct PendingFinish {
        std::string folder;
        std::vector<TransferItem> items;
    };
    // Marks the batch folder being filled while it lives.
    class ActiveBatch {
    public:
        ActiveBatch(BatchTransfer& owner, int batchFd);
        ~ActiveBatch();
        ActiveBatch(const ActiveBatch&) = delete;
        ActiveBatch& operator=(const ActiveBatch&) = delete;

    private:
        BatchTransfer& m_owner;
    };

    // Lists the items from `next` on that fit this part in its index, and moves `next` past them (`full`
    // when some did not fit). False when no index can be written now (no lock, or an index neither
    // readable nor to be put aside); `next` is then past every item.
    bool writeAhead(int batchFd, const std::string& folder, std::vector<TransferItem>& items, std::size_t& next,
                    double planTime, bool& full);
    void storeItems(int trashFd, int trashError, int infoFd, int batchFd, const std::string& folder,
                    std::span<TransferItem> part, bool listed, bool copy, TransferOutcome& outcome);
    // 0, or a negative errno.
    int moveItem(int trashFd, int infoFd, int batchFd, const TransferItem& item) const;
    void finishBatch(int batchFd, const std::string& folder, std::span<const TransferItem> part);
    bool writeFinishedBatch(int batchFd, const std::string& folder, std::span<const TransferItem> part);
    std::optional<BWCacheIndex> indexForUpdate(int batchFd, const std::string& folder, double now);
    // Writes the index and keeps it as the one last written; false (nothing kept) when it cannot.
    bool writeIndex(int batchFd, const std::string& folder, BWCacheIndex&& index);
    void rememberIndex(int batchFd, const std::string& folder, BWCacheIndex&& index, const CacheIndexFileState& written);

    Setup m_setup;
    // The minute being filled (full path of its first part), the part in use, and its last index.
    std::string m_batchName;
    unsigned m_batchPart = 1;
    BatchState m_batch;
    // A quarter of what readers accept: each survey rewrites the index of the batch it fills, so a
    // smaller index keeps every survey short however many items a minute brings (about 45,000 entries).
    std::size_t m_indexSizeLimit = kMaxArchiveSize / 4;
    std::chrono::milliseconds m_lockWait = BatchFolderLock::kDefaultWait;
    std::function<void()> m_beforeFinish;
    std::mutex m_pendingMutex;
    std::vector<PendingFinish> m_pendingFinishes;

    mutable std::mutex m_activeMutex;
    dev_t m_activeDev = 0;
    ino_t m_activeIno = 0;
    bool m_activeSet = false;
};

} // namespace bw
