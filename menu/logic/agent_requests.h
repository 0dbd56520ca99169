#pragma once
// Which bus reports and requests the agent acts on, and what they carry. Reports, settings and update
// requests count only from this user's own programs or from root, so that another local user can
// neither rewrite our settings, switch our protection off, nor make us prune, warn or check for updates.

#include "bus/notification_bus.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace bw {

bool fromOurselvesOrRoot(const Notification& notification, uid_t uid);

// A daemon stored items in a cache ("new data", or the silent kind that shows no note).
struct CacheUpdate {
    bool silent = false;
    std::optional<std::string> cachePath;   // the cache folder written to, when named
    std::optional<std::int64_t> itemsMoved; // how many items, when given as a number
};
// Nothing when the report is not ours to act on: from another user, or about another user's cache.
std::optional<CacheUpdate> cacheUpdateFor(const Notification& notification, uid_t uid, const std::string& homeFolder);

// A daemon found its volume full: the cache folder it names (empty when none), or nothing when the report
// is not ours to act on.
std::optional<std::string> diskFullCacheFor(const Notification& notification, uid_t uid, const std::string& homeFolder);

} // namespace bw
