#pragma once
// The batch index "CacheIndex.bw2idx": a zlib-compressed keyed archive whose root is one BWCacheIndex.

#include "store/compression.h"
#include "plist/keyed_archive.h"

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace bw {

inline constexpr char kCacheIndexFileName[] = "CacheIndex.bw2idx";
// An index that existed, was not empty and could not be read is kept aside under this prefix and a
// date ("CacheIndex.bw2idx.unreadable-20261207T163512"), for recovery tools; readers skip it.
inline constexpr char kUnreadableIndexPrefix[] = "CacheIndex.bw2idx.unreadable-";
inline constexpr char kCacheRealNameKey[] = "BWCacheRealNameKey";
inline constexpr char kCacheAddDateKey[] = "BWCacheAddDateKey";
// Optional: the absolute path the item was trashed from, when the trash recorded it.
inline constexpr char kCacheOriginalPathKey[] = "BWCacheOriginalPathKey";

// One stored item: the name it had in the trash, when it was stored (seconds since 2001) and, when
// known, where it was thrown from.
struct BWCacheIndexEntry {
    std::string realName;
    double addDate = 0.0;
    std::optional<std::string> originalPath{};
    bool operator==(const BWCacheIndexEntry&) const = default;
};

// Stored (UUID) name -> entry.
using BWIndexTable = std::map<std::string, BWCacheIndexEntry>;

class BWCacheIndex {
public:
    // No table at all is distinct from an empty table.
    const std::optional<BWIndexTable>& indexTable() const { return m_indexTable; }
    void setIndexTable(std::optional<BWIndexTable> table) { m_indexTable = std::move(table); }
    // Hands the table over without copying it; the record is left without one.
    std::optional<BWIndexTable> takeIndexTable() { return std::exchange(m_indexTable, std::nullopt); }
    bool permissionsRepaired() const { return m_permissionsRepaired; }
    void setPermissionsRepaired(bool repaired) { m_permissionsRepaired = repaired; }
    std::uint64_t cacheSize() const { return m_cacheSize; }
    void setCacheSize(std::uint64_t size) { m_cacheSize = size; }
    double cacheCreationTime() const { return m_cacheCreationTime; }
    void setCacheCreationTime(double time) { m_cacheCreationTime = time; }
    double cacheLastAdditionTime() const { return m_cacheLastAdditionTime; }
    void setCacheLastAdditionTime(double time) { m_cacheLastAdditionTime = time; }

    // The keyed archive (binary property list) of this record; nothing on failure.
    std::optional<Bytes> archivedData() const;
    // The record archived in these bytes; nothing when they are not an archive of a BWCacheIndex. A table
    // entry of an unexpected form is dropped (one line logged) and the others are kept.
    static std::optional<BWCacheIndex> unarchive(std::span<const std::uint8_t> archive);
    // An upper bound of what one entry adds to the archive, for writers that keep an index within
    // kMaxArchiveSize.
    static std::size_t archivedEntryBound(const std::string& storedName, const std::string& realName);

    // Drops every entry whose key names nothing in the batch folder (in memory only).
    void sanityCheckAtPath(const std::string& batchFolder);
    // Same, relative to an open batch folder descriptor.
    void sanityCheckAt(int batchDirFd);

    // "<BWCacheIndex: 0x…> [1]\nCache created on %f, modified on %f, size: %llu Bytes"
    std::string description() const;

private:
    std::optional<BWIndexTable> m_indexTable;
    bool m_permissionsRepaired = false;
    std::uint64_t m_cacheSize = 0;
    double m_cacheCreationTime = 0.0;
    double m_cacheLastAdditionTime = 0.0;
};

// Which file stood at "CacheIndex.bw2idx" when it was read or written, so that a writer holding the
// batch lock can tell whether it is still the same file (and spare itself reading it again).
struct CacheIndexFileState {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};
    std::size_t archiveSize = 0; // inflated size, when read or written by us
    bool sameFile(const CacheIndexFileState& other) const;
};
// The state of the index file of an open batch folder as it stands now (archiveSize 0).
CacheIndexFileState cacheIndexFileStateAt(int batchDirFd);

// Whether an entry name of a batch folder is its index or an index kept aside (not a stored item).
bool isCacheIndexFileName(std::string_view name);

// Reads "CacheIndex.bw2idx" of a batch folder: missing, empty, not zlib or not an archive = nothing.
std::optional<BWCacheIndex> readCacheIndex(const std::string& batchFolder);
std::optional<BWCacheIndex> readCacheIndexAt(int batchDirFd, CacheIndexFileState* state = nullptr);

// For a writer that holds the batch lock: the record to add to. A missing or empty file gives a new
// record (`fresh` set, no table). An index that exists, is not empty and cannot be read is renamed aside
// (kUnreadableIndexPrefix) so that no writer replaces it, and a new record is started; the items it
// named stay in the folder (`bw2ctl index rebuild` lists them again). Nothing when it cannot be put
// aside: the writer must not write then.
std::optional<BWCacheIndex> loadCacheIndexForUpdateAt(int batchDirFd, bool& fresh,
                                                      CacheIndexFileState* state = nullptr);

// Archives, compresses and atomically replaces the batch's index (temporary file created with
// O_EXCL|O_NOFOLLOW in the same folder, fsync, rename), then gives it owner and group.
// An owner or group of (uid_t)-1 / (gid_t)-1 leaves that id as created. Nothing is written on failure,
// nor when the archive would pass kMaxArchiveSize. An existing index that cannot be read is never
// replaced: it is renamed aside first (as loadCacheIndexForUpdateAt does), and when that fails nothing
// is written. Callers hold the batch lock.
bool writeCacheIndex(const BWCacheIndex& index, const std::string& batchFolder, uid_t owner, gid_t group);
bool writeCacheIndexAt(const BWCacheIndex& index, int batchDirFd, uid_t owner, gid_t group,
                       CacheIndexFileState* written = nullptr);

// Holds flock(LOCK_EX) on a batch folder between reading and writing its index, so that the daemon,
// the agent and the application never lose each other's entries. Anyone who can open the folder could
// hold it forever, so the wait is bounded: past it the lock is not taken (isLocked() is false, one line
// is logged), and the caller then writes nothing and tries again later. No writer goes on unlocked.
class BatchFolderLock {
public:
    static constexpr std::chrono::milliseconds kDefaultWait{10000};
    explicit BatchFolderLock(const std::string& batchFolder, std::chrono::milliseconds wait = kDefaultWait);
    // Does not take ownership of the descriptor.
    explicit BatchFolderLock(int batchDirFd, std::chrono::milliseconds wait = kDefaultWait);
    ~BatchFolderLock();
    BatchFolderLock(const BatchFolderLock&) = delete;
    BatchFolderLock& operator=(const BatchFolderLock&) = delete;
    bool isLocked() const { return m_locked; }

private:
    void lock(std::chrono::milliseconds wait, const char* what);

    int m_fd = -1;
    bool m_ownsFd = false;
    bool m_locked = false;
};

} // namespace bw
