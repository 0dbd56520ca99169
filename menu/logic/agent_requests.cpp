#include "agent_requests.h"

#include "bus/notification_names.h"
#include "protection_plan.h"

#include <plist/plist.h>

#include <cstdlib>

namespace bw {

namespace {

std::optional<std::int64_t> integerValue(plist_t node) {
    if (!node)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return static_cast<std::int64_t>(value);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return static_cast<std::int64_t>(value);
    }
    default:
        return std::nullopt;
    }
}

std::optional<std::string> stringValue(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string text = value ? value : "";
    free(value);
    return text;
}

} // namespace

bool fromOurselvesOrRoot(const Notification& notification, uid_t uid) {
    return notification.senderUid && (*notification.senderUid == 0 || *notification.senderUid == uid);
}

std::optional<CacheUpdate> cacheUpdateFor(const Notification& notification, uid_t uid, const std::string& homeFolder) {
    if (!fromOurselvesOrRoot(notification, uid))
        return std::nullopt;
    CacheUpdate update;
    update.silent = notification.name == notif::kCacheUpdateSilent;
    plist_t info = notification.userInfo.get();
    if (info && plist_get_node_type(info) == PLIST_DICT) {
        update.cachePath = stringValue(info, notif::kCachePathKey);
        update.itemsMoved = integerValue(plist_dict_get_item(info, notif::kItemsMovedToCache));
    }
    if (update.cachePath && !isCacheFolderOfUser(*update.cachePath, homeFolder, uid))
        return std::nullopt; // another user's daemon
    return update;
}

std::optional<std::string> diskFullCacheFor(const Notification& notification, uid_t uid,
                                            const std::string& homeFolder) {
    if (!fromOurselvesOrRoot(notification, uid))
        return std::nullopt;
    std::string cache = notification.object.value_or("");
    if (!cache.empty() && !isCacheFolderOfUser(cache, homeFolder, uid))
        return std::nullopt;
    return cache;
}

} // namespace bw
