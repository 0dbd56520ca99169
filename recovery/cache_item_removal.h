#pragma once
// Deleting cached items for good: the item goes, and its entry leaves the batch index, which is rewritten
// under the batch lock every writer takes (so that a transfer filling the same batch loses nothing), or
// the whole batch folder goes with its last item.

#include "recovery_item.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bw {

struct RemovalOutcome {
    bool removed = false; // the entry left its index (the item itself may have resisted)
    bool batchRemoved = false;
    std::string error;
};

// For each item in order: read the index (no index: the item stays), drop entries whose items are gone,
// measure the item, drop its entry, unlock it, remove it (a failure is logged; the entry goes anyway),
// then write the index with cacheSize lowered by the item's size, or remove the batch folder when no
// entry is left. `progress` (when given) hears of each item once it is done: its position. The caller
// then posts "BWNotificationCacheUpdateSilent" so that the agent's cache figures follow.
std::vector<RemovalOutcome> removeItems(const std::vector<RecoveryItem>& items,
                                        const std::function<void(std::size_t)>& progress = {});

// The lock bit (the immutable flag): 0 on success or when there is nothing to do, -35 when nothing is at
// the path, else the system's error.
std::int32_t setLock(bool locked, const std::string& path);

// The total size of the files anywhere below a folder, walked with an explicit stack, links not
// followed (they count their own size); 0 when it cannot be opened.
std::uint64_t getFolderSize(const std::string& path);

} // namespace bw
