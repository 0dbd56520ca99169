// Pruning passes over real cache folders: activity days, removal by age, sizes, and the folder walk.

#include "store/cache_index.h"
#include "cache_pruning.h"
#include "files/folder_size.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>

using namespace bw;
using bw::test::TempDir;

namespace {

// Seconds since 2001 of noon UTC on a day of March 2026.
double march(int day) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = day;
    tm.tm_hour = 12;
    return static_cast<double>(timegm(&tm)) - 978307200.0;
}

class PruningTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        cache = dir / ".Binwarden2Cache";
        bw::test::makeDirs(cache);
    }

    void addBatch(const std::string& name, double lastAddition, std::uint64_t size = 1000) {
        std::string batch = cache + "/" + name;
        bw::test::makeDirs(batch);
        bw::test::writeFile(batch + "/ITEM-" + name, "data");
        BWCacheIndex index;
        index.setIndexTable(BWIndexTable{{"ITEM-" + name, {"file.txt", lastAddition}}});
        index.setCacheCreationTime(lastAddition);
        index.setCacheLastAdditionTime(lastAddition);
        index.setCacheSize(size);
        ASSERT_TRUE(writeCacheIndex(index, batch, static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    }

    std::vector<std::string> remaining() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(cache))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    PruneReport pass(std::int64_t life) {
        return pruneCache(
            cache, life, 15, 501,
            [](const std::string&, std::uint64_t& f, std::uint64_t& t) {
                f = 500;
                t = 1000;
                return true;
            },
            [](const std::string&) { return false; });
    }

    TempDir dir;
    std::string cache;
};

} // namespace

TEST_F(PruningTest, OldestOfFourActivityDaysGoesWithLifeThree) {
    addBatch("2026-03-01 10_00 +0000", march(1));
    addBatch("2026-03-02 10_00 +0000", march(2));
    addBatch("2026-03-02 11_00 +0000", march(2));
    addBatch("2026-03-05 10_00 +0000", march(5));
    addBatch("2026-03-09 10_00 +0000", march(9));
    EXPECT_EQ(cacheActivityDays(cache), 4);
    PruneReport report = pass(3);
    EXPECT_EQ(report.removed, (std::vector<std::string>{"2026-03-01 10_00 +0000"}));
    EXPECT_EQ(remaining(), (std::vector<std::string>{"2026-03-02 10_00 +0000", "2026-03-02 11_00 +0000",
                                                     "2026-03-05 10_00 +0000", "2026-03-09 10_00 +0000"}));
    EXPECT_EQ(report.cacheSize, 4000u);
    EXPECT_TRUE(report.measured);
    EXPECT_EQ(report.space.freePercent, 50u);
}

TEST_F(PruningTest, ExactlyLifeDaysAndLifeZeroRemoveNothing) {
    addBatch("2026-03-01 10_00 +0000", march(1));
    addBatch("2026-03-05 10_00 +0000", march(5));
    addBatch("2026-03-09 10_00 +0000", march(9));
    EXPECT_TRUE(pass(3).removed.empty());
    addBatch("2026-03-10 10_00 +0000", march(10));
    EXPECT_TRUE(pass(0).removed.empty());
    EXPECT_EQ(remaining().size(), 4u);
}

TEST_F(PruningTest, BatchesOfOneDayGoTogether) {
    addBatch("2026-03-01 10_00 +0000", march(1));
    addBatch("2026-03-01 23_00 +0000", march(1));
    addBatch("2026-03-05 10_00 +0000", march(5));
    addBatch("2026-03-09 10_00 +0000", march(9));
    PruneReport report = pass(2);
    EXPECT_EQ(report.removed.size(), 2u);
    EXPECT_EQ(remaining(), (std::vector<std::string>{"2026-03-05 10_00 +0000", "2026-03-09 10_00 +0000"}));
}

TEST_F(PruningTest, TheLaterFoldersOfAMinuteCountAsThatMinutesBatch) {
    // A batch that outgrew its index goes on in "<minute> 002", "<minute> 003": they are counted and
    // removed with their minute, and never cost a day of their own.
    addBatch("2026-03-01 10_00 +0000", march(1));
    addBatch("2026-03-01 10_00 +0000 002", march(1));
    addBatch("2026-03-01 10_00 +0000 003", march(1));
    addBatch("2026-03-05 10_00 +0000", march(5));
    addBatch("2026-03-05 10_00 +0000 002", march(5));
    addBatch("2026-03-09 10_00 +0000", march(9));
    EXPECT_EQ(cacheActivityDays(cache), 3);
    PruneReport report = pass(2);
    EXPECT_EQ(report.removed.size(), 3u);
    EXPECT_EQ(remaining(), (std::vector<std::string>{"2026-03-05 10_00 +0000", "2026-03-05 10_00 +0000 002",
                                                     "2026-03-09 10_00 +0000"}));
    EXPECT_EQ(report.cacheSize, 3000u);
}

TEST_F(PruningTest, UnreadableIndexIsTheOldestEmptyOrMissingIndexIsNeverRemoved) {
    bw::test::makeDirs(cache + "/garbled");
    bw::test::writeFile(cache + "/garbled/CacheIndex.bw2idx", "not an index at all");
    bw::test::makeDirs(cache + "/empty index");
    bw::test::writeFile(cache + "/empty index/CacheIndex.bw2idx", "");
    bw::test::makeDirs(cache + "/no index");
    bw::test::writeFile(cache + "/loose file", "x");
    addBatch("2026-03-05 10_00 +0000", march(5));
    addBatch("2026-03-09 10_00 +0000", march(9));
    addBatch("2026-03-10 10_00 +0000", march(10));
    EXPECT_EQ(cacheActivityDays(cache), 4);
    auto batches = listBatches(cache);
    auto garbled = std::find_if(batches.begin(), batches.end(), [](const auto& b) { return b.name == "garbled"; });
    ASSERT_NE(garbled, batches.end());
    EXPECT_EQ(garbled->day.value_or(0), 20010101);
    EXPECT_EQ(garbled->cacheSize, 0u);

    PruneReport report = pass(3);
    EXPECT_EQ(report.removed, (std::vector<std::string>{"garbled"}));
    EXPECT_EQ(remaining(),
              (std::vector<std::string>{"2026-03-05 10_00 +0000", "2026-03-09 10_00 +0000", "2026-03-10 10_00 +0000",
                                        "empty index", "loose file", "no index"}));
}

TEST_F(PruningTest, AnIndexThatCannotBeOpenedDoesNotDateItsBatch) {
    addBatch("2026-03-01 10_00 +0000", march(1));
    addBatch("2026-03-05 10_00 +0000", march(5));
    addBatch("2026-03-09 10_00 +0000", march(9));
    addBatch("2026-03-10 10_00 +0000", march(10));
    // The newest batch's index is intact but this pass cannot open it (as a failing disk, a lack of file
    // descriptors or wrong permissions would have it): that says nothing about its age.
    std::string newest = cache + "/2026-03-10 10_00 +0000/CacheIndex.bw2idx";
    std::size_t removed = 0;
    if (getuid() == 0) {
        // Root reads everything: the pass runs as nobody, who owns the cache but not that index.
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(cache))
            ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown(cache.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown(newest.c_str(), 0, 0), 0);
        ASSERT_EQ(chmod(newest.c_str(), 0600), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(100);
            _exit(static_cast<int>(pass(3).removed.size()));
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 100);
        removed = static_cast<std::size_t>(WEXITSTATUS(status));
    } else {
        ASSERT_EQ(chmod(newest.c_str(), 0), 0);
        removed = pass(3).removed.size();
    }
    EXPECT_EQ(removed, 0u);
    EXPECT_EQ(remaining(), (std::vector<std::string>{"2026-03-01 10_00 +0000", "2026-03-05 10_00 +0000",
                                                     "2026-03-09 10_00 +0000", "2026-03-10 10_00 +0000"}));
    EXPECT_TRUE(std::filesystem::exists(cache + "/2026-03-10 10_00 +0000/ITEM-2026-03-10 10_00 +0000"));
}

TEST_F(PruningTest, RemovalNeverFollowsLinksAndMissingCacheStillMeasures) {
    TempDir outside;
    bw::test::writeFile(outside / "precious", "keep me");
    addBatch("2026-03-01 10_00 +0000", march(1));
    std::string batch = cache + "/2026-03-01 10_00 +0000";
    ASSERT_EQ(symlink(outside.path().c_str(), (batch + "/link to outside").c_str()), 0);
    bw::test::makeDirs(batch + "/a/b/c");
    bw::test::writeFile(batch + "/a/b/c/deep", "x");
    chmod((batch + "/a/b").c_str(), 0500); // removable by its owner after all
    addBatch("2026-03-02 10_00 +0000", march(2));
    EXPECT_EQ(removeCacheOlderThan(cache, 1), (std::vector<std::string>{"2026-03-01 10_00 +0000"}));
    EXPECT_EQ(bw::test::readFile(outside / "precious"), "keep me");
    EXPECT_FALSE(std::filesystem::exists(batch));

    std::string measured;
    PruneReport report = pruneCache(
        dir / "nowhere/.Binwarden2Cache", 3, 15, 501,
        [&](const std::string& path, std::uint64_t& f, std::uint64_t& t) {
            measured = path;
            bool ok = path == dir / "nowhere";
            f = t = ok ? 10 : 0;
            return ok;
        },
        [](const std::string&) { return false; });
    EXPECT_TRUE(report.measured);
    EXPECT_EQ(measured, dir / "nowhere");
    EXPECT_EQ(report.cacheSize, 0u);
}

TEST(FolderSize, CountsFilesBelowWithoutFollowingLinks) {
    TempDir dir;
    bw::test::makeDirs(dir / "top/sub/subsub");
    bw::test::writeFile(dir / "top/a", std::string(100, 'a'));
    bw::test::writeFile(dir / "top/sub/b", std::string(20, 'b'));
    bw::test::writeFile(dir / "top/sub/subsub/c", std::string(3, 'c'));
    TempDir outside;
    bw::test::writeFile(outside / "big", std::string(100000, 'x'));
    ASSERT_EQ(symlink(outside.path().c_str(), (dir / "top/sub/link").c_str()), 0);
    std::uint64_t linkSize = outside.path().size();

    FolderSizer sizer;
    EXPECT_EQ(sizer.getFolderSize(dir / "top"), 123u + linkSize);
    EXPECT_EQ(sizer.getFolderSize(dir / "top/a"), 0u);
    EXPECT_EQ(sizer.getFolderSize(dir / "missing"), 0u);
    EXPECT_EQ(sizer.getFolderSize(dir / "top/sub/link"), 0u);

    // A deep tree needs no recursion; the stack grows and is kept for the next walk.
    std::string deep = dir / "deep";
    std::string path = deep;
    for (int i = 0; i < 200; ++i)
        path += "/d";
    std::filesystem::create_directories(path);
    bw::test::writeFile(path + "/leaf", "12345");
    EXPECT_EQ(sizer.getFolderSize(deep), 5u);
    std::size_t capacity = sizer.stackCapacity();
    EXPECT_GE(capacity, 200u);
    EXPECT_EQ(sizer.getFolderSize(deep), 5u);
    EXPECT_EQ(sizer.stackCapacity(), capacity);
}
