// Which cache and disk reports the agent acts on: only this user's own programs' or root's, and only about
// this user's caches; what a cache report carries.

#include "agent_requests.h"
#include "bus/notification_names.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

using namespace bw;

namespace {

constexpr uid_t kMe = 1000;
const std::string kHome = "/home/me";

Notification report(const char* name, std::optional<uid_t> sender, plist_t info = nullptr,
                    std::optional<std::string> object = std::nullopt) {
    Notification notification;
    notification.name = name;
    notification.senderUid = sender;
    notification.userInfo = PlistPtr(info);
    notification.object = std::move(object);
    return notification;
}

plist_t info(const char* cachePath, plist_t items) {
    plist_t dict = plist_new_dict();
    if (cachePath)
        plist_dict_set_item(dict, notif::kCachePathKey, plist_new_string(cachePath));
    if (items)
        plist_dict_set_item(dict, notif::kItemsMovedToCache, items);
    return dict;
}

} // namespace

TEST(AgentRequests, CacheReportsCountFromOurselvesOrRootAboutOurCachesOnly) {
    struct Case {
        const char* what;
        const char* name;
        std::optional<uid_t> sender;
        plist_t info;
        bool actedOn;
        bool silent;
        std::optional<std::string> cachePath;
        std::optional<std::int64_t> items;
    };
    const Case cases[] = {
        {"our home cache with a count", notif::kNewDataInCache, kMe,
         info("/home/me/.Binwarden2Cache", plist_new_uint(3)), true, false, "/home/me/.Binwarden2Cache", 3},
        {"root about a volume cache of ours, silently", notif::kCacheUpdateSilent, 0u,
         info("/media/me/USB/.Binwarden2Cache/1000", nullptr), true, true, "/media/me/USB/.Binwarden2Cache/1000",
         std::nullopt},
        {"a count stored as a real", notif::kNewDataInCache, kMe, info(nullptr, plist_new_real(2.0)), true, false,
         std::nullopt, 2},
        {"a count that is not a number", notif::kNewDataInCache, kMe, info(nullptr, plist_new_string("2")), true, false,
         std::nullopt, std::nullopt},
        {"no details at all", notif::kNewDataInCache, kMe, nullptr, true, false, std::nullopt, std::nullopt},
        {"another user's volume cache", notif::kNewDataInCache, 0u,
         info("/media/me/USB/.Binwarden2Cache/1001", nullptr), false, false, std::nullopt, std::nullopt},
        {"a path that climbs out", notif::kNewDataInCache, kMe, info("/x/../.Binwarden2Cache/1000", nullptr), false,
         false, std::nullopt, std::nullopt},
        {"another user sends it", notif::kNewDataInCache, 1001u, info("/home/me/.Binwarden2Cache", nullptr), false,
         false, std::nullopt, std::nullopt},
        {"the sender is unknown", notif::kNewDataInCache, std::nullopt, nullptr, false, false, std::nullopt,
         std::nullopt},
    };
    for (const Case& c : cases) {
        std::optional<CacheUpdate> update = cacheUpdateFor(report(c.name, c.sender, c.info), kMe, kHome);
        ASSERT_EQ(update.has_value(), c.actedOn) << c.what;
        if (!update)
            continue;
        EXPECT_EQ(update->silent, c.silent) << c.what;
        EXPECT_EQ(update->cachePath, c.cachePath) << c.what;
        EXPECT_EQ(update->itemsMoved, c.items) << c.what;
    }
}

TEST(AgentRequests, DiskFullReportsNameOurCacheOrNone) {
    struct Case {
        const char* what;
        std::optional<uid_t> sender;
        std::optional<std::string> object;
        std::optional<std::string> cache;
    };
    const Case cases[] = {
        {"our home cache", kMe, "/home/me/.Binwarden2Cache", "/home/me/.Binwarden2Cache"},
        {"no cache named", 0u, std::nullopt, ""},
        {"an empty name", 0u, "", ""},
        {"another user's cache", 0u, "/media/x/.Binwarden2Cache/1001", std::nullopt},
        {"another user sends it", 1001u, "/home/me/.Binwarden2Cache", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(diskFullCacheFor(report(notif::kDiskFull, c.sender, nullptr, c.object), kMe, kHome), c.cache)
            << c.what;
}
