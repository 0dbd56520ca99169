// Deleting every cache: what goes, what stays, the order of the requests, and a folder that will not go.

#include "delete_all_caches.h"
#include "pinned_file.h"
#include "protection_plan.h"
#include "recording_services.h"
#include "temp_dir.h"
#include "throwaway_user.h"
#include "version1_migration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using bw::test::makeDirs;
using bw::test::pathExists;
using bw::test::putFile;
using bw::test::RecordingServices;
using bw::test::TempDir;

TEST(DeleteAllCaches, WithOnlyTheStartupVolumeRemovesExactlyTheHomeCacheAfterTheStopRequest) {
    TempDir home;
    std::string cache = home / ".Binwarden2Cache";
    putFile(cache + "/2026-12-06 09_05 +0100/0F6A0E58-1C1B-4F5E-9D7B-2A8B0D1F0001", "kept");
    putFile(cache + "/.Binwarden2.bw2added", "x");
    putFile(home / "Documents/keep.txt", "mine");
    putFile(home / ".local/share/Trash/files/thrown.txt", "thrown");

    auto caches = bw::getCachesPaths({"/"}, home.path());
    ASSERT_EQ(caches, std::vector<std::string>{cache});

    RecordingServices recorder;
    recorder.watched = cache;
    std::vector<std::pair<std::size_t, std::size_t>> progress;
    auto report = bw::deleteAllCaches(caches, 1234, recorder.services(), {}, [&](std::size_t done, std::size_t total) {
        progress.push_back({done, total});
    });

    ASSERT_EQ(recorder.postNames(),
              (std::vector<std::string>{"BWNotificationStopProtection", "BWNotificationInfosNeedRefresh",
                                        "BWNotificationCacheManagementDone"}));
    EXPECT_EQ(recorder.posts[0].object, std::optional<std::string>("1234"));
    EXPECT_TRUE(recorder.posts[0].watchedExisted) << "the stop request must come before any removal";
    EXPECT_FALSE(recorder.posts[1].object.has_value());
    EXPECT_FALSE(pathExists(cache));
    EXPECT_TRUE(pathExists(home / "Documents/keep.txt"));
    EXPECT_TRUE(pathExists(home / ".local/share/Trash/files/thrown.txt"));
    EXPECT_EQ(report.removed, std::vector<std::string>{cache});
    EXPECT_TRUE(report.leftBehind.empty());
    EXPECT_EQ(progress, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 1}, {1, 1}}));
}

TEST(DeleteAllCaches, OnAnotherVolumeOnlyTheUsersOwnFolderGoesAndTheSharedOneOnlyWhenEmpty) {
    struct Case {
        const char* what;
        bool otherUserThere;
    };
    for (const auto& c : {Case{"alone on the volume", false}, Case{"beside another user", true}}) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string home = dir / "home", volume = dir / "media/disk";
        putFile(home + "/.Binwarden2Cache/b/item", "x");
        putFile(volume + "/.Binwarden2Cache/1000/b/item", "mine");
        if (c.otherUserThere)
            putFile(volume + "/.Binwarden2Cache/1001/b/item", "theirs");
        auto caches = bw::usersOwnCacheFolders(bw::getCachesPaths({"/", volume}, home), home, 1000);
        ASSERT_EQ(caches, (std::vector<std::string>{home + "/.Binwarden2Cache", volume + "/.Binwarden2Cache/1000"}));
        RecordingServices recorder;
        auto report = bw::deleteAllCaches(caches, 1000, recorder.services());
        EXPECT_EQ(report.removed, caches);
        EXPECT_FALSE(pathExists(volume + "/.Binwarden2Cache/1000"));
        EXPECT_EQ(pathExists(volume + "/.Binwarden2Cache"), c.otherUserThere);
        EXPECT_EQ(pathExists(volume + "/.Binwarden2Cache/1001/b/item"), c.otherUserThere);
    }
}

TEST(RemoveFoldersBounded, RemovesWhatIsListedAndNothingElse) {
    struct Case {
        const char* what;
        std::vector<std::string> given; // relative to the temporary folder; "/" kept as is
        std::vector<std::string> removed;
        std::vector<std::string> stays;
    };
    const std::vector<Case> cases = {
        {"a missing folder is passed over", {"missing"}, {}, {"other/file"}},
        {"a folder listed twice is removed once", {"cache", "cache"}, {"cache"}, {"other/file"}},
        {"a trailing slash names the same folder", {"cache/"}, {"cache"}, {"other/file"}},
        {"a link to a folder goes, never what it points at", {"link"}, {"link"}, {"other/file"}},
        {"the root and relative paths are refused", {"/", "relative"}, {}, {"cache/batch/item", "other/file"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        putFile(dir / "cache/batch/item", "x");
        putFile(dir / "other/file", "y");
        ASSERT_EQ(symlink((dir / "other").c_str(), (dir / "link").c_str()), 0);
        std::vector<std::string> given;
        for (const auto& g : c.given)
            given.push_back(g == "/" || g == "relative" ? g : dir / g);
        RecordingServices recorder;
        auto report = bw::removeFoldersBounded(given, recorder.services(), {}, {});
        std::vector<std::string> expected;
        for (const auto& r : c.removed)
            expected.push_back(dir / r);
        EXPECT_EQ(report.removed, expected);
        EXPECT_TRUE(report.leftBehind.empty());
        for (const auto& r : c.removed)
            EXPECT_FALSE(pathExists(dir / r)) << r;
        for (const auto& s : c.stays)
            EXPECT_TRUE(pathExists(dir / s)) << s;
    }
}

TEST(RemoveFoldersBounded, AFolderThatWillNotGoIsReportedAfterABoundedWaitAndTheNextOneStillGoes) {
    TempDir dir;
    putFile(dir / "stuck/batch/item", "x");
    putFile(dir / "free/batch/item", "y");
    auto undo = bw::test::pinDown(dir / "stuck/batch/item");
    if (!undo)
        GTEST_SKIP() << "this file system has no immutable flag";

    RecordingServices recorder;
    auto report = bw::removeFoldersBounded({dir / "stuck", dir / "free"}, recorder.services(), {}, {});
    undo();

    ASSERT_EQ(report.leftBehind.size(), 1u);
    EXPECT_EQ(report.leftBehind[0].path, dir / "stuck");
    EXPECT_FALSE(report.leftBehind[0].reason.empty());
    EXPECT_EQ(report.removed, std::vector<std::string>{dir / "free"});
    EXPECT_TRUE(pathExists(dir / "stuck/batch/item"));
    // It tried again for a while, and never for longer than the bound of one folder.
    EXPECT_GT(recorder.slept, std::chrono::milliseconds(0));
    EXPECT_LE(recorder.slept, std::chrono::milliseconds(10000));
}

TEST(ProcessSelection, OnlyTheUsersOwnProcessesOfExactlyTheNamesAreSignalled) {
    const std::vector<bw::ProcessEntry> table = {
        {11, 1000, "binwarden2-menu"}, {12, 1001, "binwarden2-menu"},
        {13, 1000, "binwarden2"},      {14, 1000, "binwarden2-men"},
        {15, 1000, "bw2daemon"},       {21, 1000, "BinwardenMenuEx"},
        {22, 1000, "Binwarden"},       {23, 1001, "BinwardenMenuEx"},
        {31, 1000, "binwardend"},      {32, 1000, "binwardenCacheM"},
        {33, 1000, "binwardenMountD"}, {34, 1000, "bin"},
        {35, 1001, "binwardend"},      {36, 1000, "binwardenMountDiskd2"},
    };
    struct Case {
        const char* what;
        std::function<int(const bw::MaintenanceServices&)> run;
        std::vector<pid_t> expected;
    };
    const std::vector<Case> cases = {
        {"the agent", [](const auto& s) { return bw::killExtraMenu(1000, s); }, {11}},
        {"the first version's menu", [](const auto& s) { return bw::killExtraMenuVersion1(1000, s); }, {21}},
        {"the first version's daemons",
         [](const auto& s) { return bw::killAllVersion1Daemons(1000, s); },
         {31, 32, 33}},
        {"nothing of a user without processes", [](const auto& s) { return bw::killExtraMenu(4242, s); }, {}},
        {"what runs from inside a first-version application",
         [](const auto& s) { return bw::signalProcessesInside({"/opt/Binwarden.app"}, 1000, SIGKILL, s); },
         {13}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingServices recorder;
        recorder.table = table;
        recorder.programs = {{13, "/opt/Binwarden.app/Contents/MacOS/Binwarden"},
                             {12, "/opt/Binwarden.app/Contents/MacOS/Binwarden"},
                             {14, "/opt/Binwarden.application/x"}};
        EXPECT_EQ(c.run(recorder.services()), static_cast<int>(c.expected.size()));
        EXPECT_EQ(recorder.signalled, c.expected);
    }
}

} // namespace
