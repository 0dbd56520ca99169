// The recovery list: which caches are read, which batches a time window keeps, what each row holds.

#include "recovery_fixture.h"
#include "recovery_list.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using bw::test::FakeItem;
using bw::test::makeBatch;
using bw::test::namesOf;
using bw::test::TempDir;

constexpr double kNow = 800000000.0;

TEST(RecoveryList, TimeWindowSelectsBatchesByLastAdditionWithFiveMinutesGrace) {
    struct Case {
        const char* what;
        double lastAdditionAge; // seconds before now
        double windowHours;
        bool listed;
    };
    const Case cases[] = {
        {"4 minutes before a one-hour window", 3600 + 240, 1, true},
        {"6 minutes before a one-hour window", 3600 + 360, 1, false},
        {"inside the window", 60, 1, true},
        {"a week old, 24-hour window", 7 * 86400, 24, false},
        {"a week old, no window", 7 * 86400, 0, true},
    };
    for (const Case& c : cases) {
        TempDir cache;
        makeBatch(cache.path(), "2026-12-06 09_05 +0100", kNow - c.lastAdditionAge, {{"a.txt", kNow - 10}});
        const auto items = bw::getCacheContent(cache.path(), c.windowHours * 3600.0, kNow);
        EXPECT_EQ(items.size(), c.listed ? 1u : 0u) << c.what;
        // The same rule applied to a full list gives the same answer.
        const auto all = bw::getCacheContent(cache.path(), 0.0, kNow);
        EXPECT_EQ(bw::itemsWithinWindow(all, static_cast<int>(c.windowHours), kNow).size(), c.listed ? 1u : 0u)
            << c.what;
    }
}

TEST(RecoveryList, RecentBatchListsItsOldItemsAndRowsHoldWhatTheIndexSays) {
    TempDir cache;
    makeBatch(cache.path(), "2026-12-01 10_00 +0100", kNow - 30,
              {{"old.txt", kNow - 5 * 86400, "12345"},
               {"Photos", kNow - 20, "abc", true},
               {"", kNow - 10},              // no name: skipped
               {"empty.txt", kNow - 15, ""}, // no size shown for 0 bytes
               {"from.txt", kNow - 40, "z", false, "/home/u/Documents/from.txt"}});
    makeBatch(cache.path(), "2026-12-01 10_01 +0100", kNow - 5, {{"newest.txt", kNow - 5}});
    bw::test::makeDirs(cache / "2026-12-01 10_02 +0100"); // a batch without an index: skipped
    bw::test::writeFile(cache / "2026-12-01 10_03 +0100", "not a folder");
    bw::test::makeDirs(cache / "garbled");
    bw::test::writeFile(cache / "garbled/CacheIndex.bw2idx", "not zlib");

    const auto items = bw::getCacheContent(cache.path(), 3600.0, kNow);
    EXPECT_EQ(namesOf(items), (std::vector<std::string>{"newest.txt", "empty.txt", "Photos", "from.txt", "old.txt"}));
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[4].itemSize, std::optional<std::uint64_t>(5));
    EXPECT_FALSE(items[1].itemSize);
    EXPECT_TRUE(items[2].isFolder);
    EXPECT_FALSE(items[2].itemSize); // folders are not measured for the list
    EXPECT_EQ(items[3].originalPath, std::optional<std::string>("/home/u/Documents/from.txt"));
    EXPECT_FALSE(items[4].originalPath);
    EXPECT_EQ(items[0].rawItemPath, items[0].batchFolder + "/" + items[0].storedName);

    EXPECT_TRUE(bw::getCacheContent(cache / "missing", 0.0, kNow).empty());
}

TEST(RecoveryList, AutomaticWindowIsTheFirstThatShowsSomething) {
    struct Case {
        double newestAge; // seconds; negative: no batch at all
        int hours;
    };
    const Case cases[] = {{600, 1},        {2 * 3600, 3},    {5 * 3600, 6},  {11 * 3600, 12},
                          {23 * 3600, 24}, {30 * 3600, 168}, {8 * 86400, 0}, {-1, 0}};
    for (const Case& c : cases) {
        TempDir cache;
        makeBatch(cache.path(), "old", kNow - 30 * 86400, {{"ancient.txt", kNow - 30 * 86400}});
        if (c.newestAge >= 0)
            makeBatch(cache.path(), "new", kNow - c.newestAge, {{"recent.txt", kNow - c.newestAge}});
        const auto all = bw::getCacheContent(cache.path(), 0.0, kNow);
        EXPECT_EQ(bw::automaticWindowHours(all, kNow), c.hours) << c.newestAge;
    }
}

TEST(RecoveryList, AllDisksReadsHomeAndOnlyTheCallersFolderOfOtherLocalVolumes) {
    TempDir tmp;
    const uid_t uid = 4321;
    const std::string home = tmp / "home";
    const std::string usb = tmp / "usb", nfs = tmp / "nfs", bare = tmp / "bare";
    makeBatch(home + "/.Binwarden2Cache", "b", kNow, {{"home.txt", kNow - 1}});
    makeBatch(usb + "/.Binwarden2Cache/4321", "b", kNow, {{"usb-mine.txt", kNow - 2}});
    makeBatch(usb + "/.Binwarden2Cache/999", "b", kNow, {{"usb-other-user.txt", kNow - 3}});
    makeBatch(nfs + "/.Binwarden2Cache/4321", "b", kNow, {{"on-the-network.txt", kNow - 4}});
    bw::test::makeDirs(bare);

    bw::CacheLocations locations;
    locations.homeFolder = home;
    locations.uid = uid;
    locations.localVolumes = {"/", usb, nfs, bare, "/Network"};
    locations.mounts = {{"/", "ext4", "/dev/sda1"}, {usb, "vfat", "/dev/sdb1"}, {nfs, "nfs4", "server:/export"}};

    EXPECT_TRUE(bw::isVolumeServer(nfs + "/.Binwarden2Cache", locations.mounts));
    EXPECT_FALSE(bw::isVolumeServer(usb, locations.mounts));
    EXPECT_EQ(bw::cacheFoldersOfUser(locations),
              (std::vector<std::string>{home + "/.Binwarden2Cache", usb + "/.Binwarden2Cache/4321"}));
    const auto items = bw::getAllCacheContentWithTimeLimitation(locations, 3600.0, kNow);
    EXPECT_EQ(namesOf(items), (std::vector<std::string>{"home.txt", "usb-mine.txt"}));
}

} // namespace
