#pragma once
// Keeping caches in bounds: activity days, removal of the oldest days' batches, the room-to-free
// arithmetic and the volume that holds a cache.

#include "files/remove_tree.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bw {

// The local calendar date of a time (seconds since 2001) as yyyymmdd (5 March 2026 → 20260305).
std::int64_t dayValueForTime(double referenceTime);

struct BatchFacts {
    std::string name;                // the batch folder's name in the cache folder
    std::optional<std::int64_t> day; // none when the index is missing, empty or cannot be opened
    std::uint64_t cacheSize = 0;     // the index's cacheSize; 0 when unreadable
};

// The batch folders of a cache folder in listing order (sorted by name, which for batch names is
// chronological). A missing or unreadable cache folder has none.
std::vector<BatchFacts> listBatches(const std::string& cacheFolder);

// Number of activity days: day values counted each time one differs from the one before it.
std::int64_t cacheActivityDays(const std::string& cacheFolder);
// Removes the batches of all but the `days` most recent activity days; answers the removed names.
std::vector<std::string> removeCacheOlderThan(const std::string& cacheFolder, std::int64_t days);

enum class SpaceVerdict {
    Enough,         // free space at or above the minimum
    MustDeleteData, // below the minimum, and emptying the cache would be enough: only logged
    NothingToDo,    // below the minimum, and the cache is exactly the room to free
    DiskFullAlert,  // below the minimum, and even an empty cache would not be enough
};

struct SpaceCheck {
    std::uint64_t freePercent = 0; // F × 100 / T, rounded down
    std::uint64_t roomToFree = 0;  // R; 0 when free space is enough
    SpaceVerdict verdict = SpaceVerdict::Enough;
};

// Free F and total T bytes of the volume, cache size S, minimum free percentage m. T must not be 0.
SpaceCheck checkFreeSpace(std::uint64_t freeBytes, std::uint64_t totalBytes, std::uint64_t cacheSize,
                          std::int64_t minimumPercent);

struct DiskFullDetails {
    std::uint32_t totalGB, freeGB, freePercent, cacheMB;
};
DiskFullDetails diskFullDetails(std::uint64_t freeBytes, std::uint64_t totalBytes, std::uint64_t freePercent,
                                std::uint64_t cacheSize);

// The volume of a cache folder: for "<mount>/.Binwarden2Cache/<uid>" of a volume mount point other
// than "/", "<mount>/" (with its trailing slash); otherwise "/".
std::string volumePathForCache(const std::string& cacheFolder, uid_t uid,
                               const std::function<bool(const std::string&)>& isVolumeMountPoint);

using VolumeSizesFunction =
    std::function<bool(const std::string& path, std::uint64_t& freeBytes, std::uint64_t& totalBytes)>;

struct PruneReport {
    bool measured = false; // false: the volume's total size could not be read, the pass ended early
    std::vector<std::string> removed;
    std::uint64_t cacheSize = 0;
    std::uint64_t freeBytes = 0;
    std::uint64_t totalBytes = 0;
    std::string volumePath;
    SpaceCheck space;
};

// One pruning pass over a cache folder: age pruning when `cacheLifeInDays` is not 0 and the cache was
// active on more days than that, the cache size from the remaining indexes, then the free-space check.
// Sizes come from the cache folder itself (the volume that really holds it), else from its volume path.
PruneReport pruneCache(const std::string& cacheFolder, std::int64_t cacheLifeInDays, std::int64_t minimumPercent,
                       uid_t uid, const VolumeSizesFunction& volumeSizes,
                       const std::function<bool(const std::string&)>& isVolumeMountPoint);

} // namespace bw
