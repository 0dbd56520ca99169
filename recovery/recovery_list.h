#pragma once
// The recovery list: the items of the user's cache folders, newest first, read straight from the batch
// indexes. Nothing here writes.

#include "files/mount_table.h"
#include "recovery_item.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace bw {

// Where the caches of one user are looked for.
struct CacheLocations {
    std::string homeFolder;                // the user's home folder
    uid_t uid = 0;                         // the caller's real user id
    std::vector<std::string> localVolumes; // mounted local volume paths, in the order the system gives them
    std::vector<MountEntry> mounts;        // the whole mount table, to tell network volumes apart

    // The running user's: $HOME (else the password database), getuid(), /proc/self/mountinfo.
    static CacheLocations current();
};

// The seconds of grace given to a time window, so that a batch filled just before it still shows.
inline constexpr double kTimeWindowGrace = 300.0;
// The automatic time windows, in hours, tried in order when the list is first shown.
inline constexpr int kAutomaticWindowHours[] = {1, 3, 6, 12, 24, 168};

// home + "/.Binwarden2Cache".
std::string homeCacheFolder(const std::string& homeFolder);

// The cache folders of every local volume: the home cache for "/" (always), "<volume>/.Binwarden2Cache"
// for other volumes when it exists, then "/<uid>" unless that path holds the home folder. Network
// volumes and "/Network" give nothing.
std::vector<std::string> cacheFoldersOfUser(const CacheLocations& locations);

// The items of one cache folder whose batch was last added to at or after now − window − 300 s (a window
// of 0: every batch). Entries without a name are skipped; a batch without a readable index is skipped.
// Sorted newest first. An empty list when the folder does not exist.
std::vector<RecoveryItem> getCacheContent(const std::string& cacheFolder, double windowSeconds, double now);
std::vector<RecoveryItem> getCacheContent(const std::string& cacheFolder, double windowSeconds = 0.0);

// The same over every folder of cacheFoldersOfUser, sorted again as a whole.
std::vector<RecoveryItem> getAllCacheContentWithTimeLimitation(const CacheLocations& locations, double windowSeconds,
                                                               double now);

// Newest first by cacheDate (equal dates keep no particular order).
void sortNewestFirst(std::vector<RecoveryItem>& items);

// The items of a full list (window 0) that a window of `hours` keeps (0: all of them).
std::vector<RecoveryItem> itemsWithinWindow(const std::vector<RecoveryItem>& all, int hours, double now);

// The window the list opens with: the first of 1, 3, 6, 12, 24 and 168 hours that keeps at least one
// item of the full list, or 0 (everything) when none does.
int automaticWindowHours(const std::vector<RecoveryItem>& all, double now);

} // namespace bw
