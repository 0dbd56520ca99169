// The agent's arithmetic and texts: room to free, volume of a cache, day values, menu sizes, notes,
// alerts, note placement and update timing.

#include "agent_strings.h"
#include "cache_pruning.h"
#include "menu_texts.h"
#include "update_timing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace bw;

TEST(RoomToFree, TheDocumentedExampleRaisesTheAlertWithItsDetails) {
    const std::uint64_t total = 1000000000000ULL, freeBytes = 40000000000ULL, cache = 50000000000ULL;
    SpaceCheck check = checkFreeSpace(freeBytes, total, cache, 15);
    EXPECT_EQ(check.freePercent, 4u);
    EXPECT_EQ(check.roomToFree, 110000000001ULL);
    EXPECT_EQ(check.verdict, SpaceVerdict::DiskFullAlert);
    DiskFullDetails details = diskFullDetails(freeBytes, total, check.freePercent, cache);
    EXPECT_EQ(details.totalGB, 1000u);
    EXPECT_EQ(details.freeGB, 40u);
    EXPECT_EQ(details.freePercent, 4u);
    EXPECT_EQ(details.cacheMB, 50000u);

    PruneReport report;
    report.freeBytes = freeBytes;
    report.totalBytes = total;
    report.cacheSize = cache;
    report.space = check;
    AlertTexts alert = pruningDiskFullAlert("Data", report);
    EXPECT_NE(alert.title.find("Data"), std::string::npos);
    EXPECT_NE(alert.message.find("\n\n"), std::string::npos);
    for (const char* number : {"1000", "40", "4", "50000"})
        EXPECT_NE(alert.message.find(number), std::string::npos) << number;
}

TEST(RoomToFree, VerdictsAroundTheRoom) {
    const std::uint64_t total = 1000000000000ULL, freeBytes = 40000000000ULL;
    EXPECT_EQ(checkFreeSpace(freeBytes, total, 110000000001ULL, 15).verdict, SpaceVerdict::NothingToDo);
    EXPECT_EQ(checkFreeSpace(freeBytes, total, 110000000002ULL, 15).verdict, SpaceVerdict::MustDeleteData);
    EXPECT_EQ(checkFreeSpace(freeBytes, total, 0, 4).verdict, SpaceVerdict::Enough);
    EXPECT_EQ(checkFreeSpace(freeBytes, total, 0, 0).verdict, SpaceVerdict::Enough);
    EXPECT_EQ(checkFreeSpace(freeBytes, total, 0, -5).verdict, SpaceVerdict::Enough);
    // Sizes near the 64-bit limit must not wrap.
    SpaceCheck huge = checkFreeSpace(0, UINT64_MAX / 2, 0, 100);
    EXPECT_EQ(huge.freePercent, 0u);
    EXPECT_EQ(huge.roomToFree, UINT64_MAX / 2 + 1);
    EXPECT_EQ(huge.verdict, SpaceVerdict::DiskFullAlert);
}

TEST(VolumeOfCache, PerUserFolderOfAMountIsUndoneHomeMeasuresRoot) {
    auto isMount = [](const std::string& path) { return path == "/media/me/Data"; };
    EXPECT_EQ(volumePathForCache("/media/me/Data/.Binwarden2Cache/501", 501, isMount), "/media/me/Data/");
    EXPECT_EQ(volumePathForCache("/home/me/.Binwarden2Cache", 501, isMount), "/");
    EXPECT_EQ(volumePathForCache("/media/me/Other/.Binwarden2Cache/501", 501, isMount), "/");
    EXPECT_EQ(volumePathForCache("/media/me/Data/.Binwarden2Cache/502", 501, isMount), "/");
    EXPECT_EQ(volumePathForCache("", 501, isMount), "/");
}

TEST(DayValue, LocalCalendarDate) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(dayValueForTime(0.0), 20010101);
    // 5 March 2026 12:00 UTC
    EXPECT_EQ(dayValueForTime(1772712000.0 - 978307200.0), 20260305);
    setenv("TZ", "Pacific/Auckland", 1);
    tzset();
    EXPECT_EQ(dayValueForTime(1772712000.0 - 978307200.0), 20260306);
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST(MenuSizeText, DocumentedThresholds) {
    EXPECT_EQ(cacheSizeText(1000), "1000 bytes");
    EXPECT_EQ(cacheSizeText(0), "0 bytes");
    EXPECT_EQ(cacheSizeText(1001), "1.1 KB");
    EXPECT_EQ(cacheSizeText(1000000), "1000.1 KB");
    EXPECT_EQ(cacheSizeText(1000001), "1 MB");
    EXPECT_EQ(cacheSizeText(1500000, ','), "1,5 MB");
    EXPECT_EQ(cacheSizeText(2000000000ULL), "2 GB");
    EXPECT_EQ(oneDecimalNumberText(2.0), "2");
    EXPECT_EQ(infoBodyText(1001, 2), "Cache size: 1.1 KB\nProtected disks: 2");
}

TEST(NoteText, CountsChooseTheKey) {
    EXPECT_EQ(noteTextForItems(std::nullopt), localizedString("200_Cache Updated"));
    EXPECT_EQ(noteTextForItems(1), localizedString("200_Cache Updated_1"));
    EXPECT_EQ(noteTextForItems(7), "7 items saved in the cache");
}

TEST(Strings, MissingKeyShowsItselfAndFormatsAreSafe) {
    EXPECT_EQ(localizedString("200_No such key"), "200_No such key");
    for (const auto& key : localizedStringKeys()) {
        // 200_ and 201_ as designed; 202_ for the texts this edition adds (why protection could not start).
        EXPECT_TRUE(key.rfind("200_", 0) == 0 || key.rfind("201_", 0) == 0 || key.rfind("202_", 0) == 0) << key;
        EXPECT_NE(localizedString(key), key);
    }
    EXPECT_EQ(formatText("%@ and %@ (%d%%)", {"a", "%s"}), "a and %s (%d%)");
    EXPECT_EQ(formatText("%@%@", {"x"}), "x");
    AlertTexts alert = diskFullAlert("Data");
    EXPECT_EQ(alert.title, "The disk \"Data\" is full");
    EXPECT_EQ(alert.message.find("\"Data\""), alert.message.find("Data") - 1);
    EXPECT_NE(alert.message.rfind("\"Data\""), alert.message.find("\"Data\""));
}

TEST(DockPosition, FromFrameAndAvailableArea) {
    Rect frame{0, 0, 1920, 1080};
    EXPECT_EQ(dockPosition(frame, {64, 0, 1856, 1080}), 1); // left
    EXPECT_EQ(dockPosition(frame, {0, 48, 1920, 1032}), 2); // bottom
    EXPECT_EQ(dockPosition(frame, {0, 0, 1856, 1080}), 3);  // right
    EXPECT_EQ(dockPosition(frame, {0, 0, 1920, 1080}), 0);  // none
    EXPECT_EQ(dockPosition(frame, {-10, 5, 1920, 1080}), 2);
    EXPECT_EQ(dockPosition(frame, {-10, 0, 1920, 1080}), 0);
}

TEST(UpdateTiming, ChecksOncePerDayWithSlack) {
    EXPECT_TRUE(updateCheckIsDue(1000000.0, 0.0));
    EXPECT_FALSE(updateCheckIsDue(1000000.0, 1000000.0 - 86099.0));
    EXPECT_TRUE(updateCheckIsDue(1000000.0, 1000000.0 - 86100.0));
    EXPECT_EQ(kFirstUpdateCheckDelaySeconds, 30);
    EXPECT_EQ(kUpdateCheckPeriodSeconds, 86400);
}
