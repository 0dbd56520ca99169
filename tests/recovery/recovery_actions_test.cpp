// Recovering, restoring and deleting cached items through the library.

#include "store/cache_index.h"
#include "cache_item_removal.h"
#include "recovery_copy.h"
#include "recovery_fixture.h"
#include "recovery_list.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using bw::test::FakeItem;
using bw::test::makeBatch;
using bw::test::readFile;
using bw::test::TempDir;
using bw::test::writeFile;

constexpr double kNow = 800000000.0;

bw::RecoveryItem listedNamed(const std::string& cache, const std::string& name) {
    for (const bw::RecoveryItem& item : bw::getCacheContent(cache, 0.0, kNow))
        if (item.displayName == name)
            return item;
    ADD_FAILURE() << name << " is not listed";
    return {};
}

TEST(RecoveryNames, FreeNameRuleBuildsFromTheDisplayNameEachTime) {
    struct Case {
        std::vector<std::string> existing;
        std::string name;
        std::string expected;
    };
    const Case cases[] = {
        {{}, "Report.pdf", "Report.pdf"},        {{"Report.pdf", "Report - 1.pdf"}, "Report.pdf", "Report - 2.pdf"},
        {{"Notes/"}, "Notes", "Notes - 1"},      {{"archive.tar.gz"}, "archive.tar.gz", "archive.tar - 1.gz"},
        {{".bashrc"}, ".bashrc", ".bashrc - 1"}, {{"a - 1.txt"}, "a.txt", "a.txt"},
    };
    for (const Case& c : cases) {
        TempDir folder;
        for (const std::string& e : c.existing) {
            if (e.back() == '/')
                bw::test::makeDirs(folder / e);
            else
                writeFile(folder / e, "");
        }
        EXPECT_EQ(bw::freeNameIn(folder.path(), c.name), c.expected) << c.name;
    }
}

TEST(RecoveryNames, DropNamesAvoidEachOtherAndTheFolder) {
    struct Case {
        std::vector<std::string> existing;
        std::vector<std::string> dropped;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{}, {"a.txt", "a.txt"}, {"a.txt", "a - 1.txt"}},
        {{"a.txt"}, {"a.txt", "a.txt"}, {"a - 1.txt", "a - 2.txt"}},
        {{}, {"../../etc/passwd", "..", ""}, {".._.._etc_passwd", "Recovered item", "Recovered item - 1"}},
    };
    for (const Case& c : cases) {
        TempDir folder;
        for (const std::string& e : c.existing)
            writeFile(folder / e, "");
        EXPECT_EQ(bw::dropNames(folder.path(), c.dropped), c.expected);
    }
}

TEST(RecoveryCopy, RecoversFilesAndTreesUnderFreeNamesLeavingTheCacheAlone) {
    TempDir tmp;
    const std::string cache = tmp / "cache", out = tmp / "out";
    bw::test::makeDirs(out);
    makeBatch(cache, "b", kNow,
              {{"Report.pdf", kNow - 1, "pdf bytes"}, {"Folder", kNow - 2, "inside", true}, {"gone.txt", kNow - 3}});
    const bw::RecoveryItem report = listedNamed(cache, "Report.pdf");
    const bw::RecoveryItem folder = listedNamed(cache, "Folder");
    bw::RecoveryItem gone = listedNamed(cache, "gone.txt");
    ::unlink(gone.rawItemPath.c_str());
    ::chmod((folder.rawItemPath + "/inside.txt").c_str(), 0640);
    ASSERT_EQ(::symlink("inside.txt", (folder.rawItemPath + "/link").c_str()), 0);
    const std::string indexBefore = readFile(report.batchFolder + "/CacheIndex.bw2idx");

    std::vector<std::string> progress;
    const auto outcomes = bw::recoverInFolder({report, gone, folder, report}, out,
                                              [&](std::size_t, const std::string& name) { progress.push_back(name); });
    ASSERT_EQ(outcomes.size(), 4u);
    EXPECT_EQ(progress, (std::vector<std::string>{"Report.pdf", "gone.txt", "Folder", "Report.pdf"}));
    EXPECT_TRUE(outcomes[0].ok);
    EXPECT_FALSE(outcomes[1].ok); // a missing stored item fails and the next one goes on
    EXPECT_TRUE(outcomes[2].ok);
    EXPECT_TRUE(outcomes[3].ok);
    EXPECT_EQ(outcomes[3].destination, out + "/Report - 1.pdf");
    EXPECT_EQ(readFile(out + "/Report.pdf"), "pdf bytes");
    EXPECT_EQ(readFile(out + "/Report - 1.pdf"), "pdf bytes");
    EXPECT_EQ(readFile(out + "/Folder/inside.txt"), "inside");
    EXPECT_TRUE(fs::is_symlink(out + "/Folder/link"));
    struct stat st {};
    ASSERT_EQ(::stat((out + "/Folder/inside.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Nothing else is left in the destination, and the cache is as it was.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(out))
        left.push_back(e.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"Folder", "Report - 1.pdf", "Report.pdf"}));
    EXPECT_EQ(readFile(report.batchFolder + "/CacheIndex.bw2idx"), indexBefore);
    EXPECT_TRUE(fs::exists(report.rawItemPath));

    EXPECT_FALSE(bw::recoverItemTo(report, tmp / "no-such-folder").ok);
}

TEST(RecoveryRestore, CopiesBackToTheOriginalPlace) {
    struct Case {
        const char* what;
        std::optional<std::string> original; // relative to the temporary folder; nullopt: not recorded
        std::vector<std::string> existing;   // files already there
        std::string expectedFile;            // relative; empty: the restore fails
    };
    const Case cases[] = {
        {"folder since removed", "gone/deeper/notes.txt", {}, "gone/deeper/notes.txt"},
        {"name taken", "docs/notes.txt", {"docs/notes.txt"}, "docs/notes - 1.txt"},
        {"not recorded", std::nullopt, {}, ""},
        {"dot-dot in the record", "docs/../../etc/notes.txt", {}, ""},
    };
    for (const Case& c : cases) {
        TempDir tmp;
        for (const std::string& e : c.existing) {
            bw::test::makeDirs(tmp / fs::path(e).parent_path().string());
            writeFile(tmp / e, "older");
        }
        std::optional<std::string> original;
        if (c.original)
            original = tmp / *c.original;
        makeBatch(tmp / "cache", "b", kNow, {{"notes.txt", kNow, "cached", false, original}});
        const bw::CopyOutcome outcome = bw::restoreToOriginalPlace(listedNamed(tmp / "cache", "notes.txt"));
        EXPECT_EQ(outcome.ok, !c.expectedFile.empty()) << c.what << ": " << outcome.error;
        if (!c.expectedFile.empty()) {
            EXPECT_EQ(outcome.destination, tmp / c.expectedFile) << c.what;
            EXPECT_EQ(readFile(tmp / c.expectedFile), "cached") << c.what;
        }
        for (const std::string& e : c.existing)
            EXPECT_EQ(readFile(tmp / e), "older") << c.what;
    }
}

TEST(RecoveryDelete, RewritesTheIndexOrRemovesTheBatch) {
    TempDir tmp;
    const std::string cache = tmp / "cache";
    makeBatch(cache, "two", kNow, {{"keep.txt", kNow, "1234567"}, {"drop.txt", kNow, "12345"}});
    makeBatch(cache, "one", kNow, {{"last.txt", kNow, "abc"}});
    makeBatch(cache, "tree", kNow, {{"Dir", kNow, "0123456789", true}, {"other.txt", kNow, "x"}});
    const auto before = *bw::readCacheIndex(cache + "/two");
    const auto treeBefore = *bw::readCacheIndex(cache + "/tree");

    const auto items = std::vector<bw::RecoveryItem>{listedNamed(cache, "drop.txt"), listedNamed(cache, "last.txt"),
                                                     listedNamed(cache, "Dir")};
    std::size_t done = 0;
    const auto outcomes = bw::removeItems(items, [&](std::size_t) { ++done; });
    EXPECT_EQ(done, 3u);
    for (const auto& outcome : outcomes)
        EXPECT_TRUE(outcome.removed) << outcome.error;

    const auto after = bw::readCacheIndex(cache + "/two");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->cacheSize(), before.cacheSize() - 5);
    ASSERT_EQ(after->indexTable()->size(), 1u);
    EXPECT_EQ(after->indexTable()->begin()->second.realName, "keep.txt");
    EXPECT_FALSE(fs::exists(items[0].rawItemPath));
    EXPECT_FALSE(fs::exists(cache + "/one")); // the last item took its batch with it
    EXPECT_TRUE(outcomes[1].batchRemoved);
    EXPECT_EQ(bw::readCacheIndex(cache + "/tree")->cacheSize(), treeBefore.cacheSize() - 10);

    // Without a readable index the item stays; a size already too small stops at 0.
    makeBatch(cache, "broken", kNow, {{"stays.txt", kNow}});
    const bw::RecoveryItem stays = listedNamed(cache, "stays.txt");
    writeFile(cache + "/broken/CacheIndex.bw2idx", "garbage");
    EXPECT_FALSE(bw::removeItems({stays})[0].removed);
    EXPECT_TRUE(fs::exists(stays.rawItemPath));
    makeBatch(cache, "small", kNow, {{"five.txt", kNow, "12345"}, {"rest.txt", kNow}});
    auto small = *bw::readCacheIndex(cache + "/small");
    small.setCacheSize(1);
    ASSERT_TRUE(bw::writeCacheIndex(small, cache + "/small", static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    EXPECT_TRUE(bw::removeItems({listedNamed(cache, "five.txt")})[0].removed);
    EXPECT_EQ(bw::readCacheIndex(cache + "/small")->cacheSize(), 0u);
}

TEST(RecoveryDelete, FolderSizeWalksWithoutFollowingLinks) {
    TempDir tmp;
    bw::test::makeDirs(tmp / "f/a/b/c");
    writeFile(tmp / "f/one", "1");
    writeFile(tmp / "f/a/b/c/three", "333");
    writeFile(tmp / "big", std::string(1000, 'x'));
    ASSERT_EQ(::symlink((tmp / "big").c_str(), (tmp / "f/a/link").c_str()), 0);
    const std::uint64_t linkSize = (tmp / "big").size();
    EXPECT_EQ(bw::getFolderSize(tmp / "f"), 1 + 3 + linkSize);
    EXPECT_EQ(bw::getFolderSize(tmp / "missing"), 0u);
    EXPECT_EQ(bw::setLock(false, tmp / "missing"), -35);
    EXPECT_EQ(bw::setLock(false, tmp / "f/one"), 0);
}

} // namespace
