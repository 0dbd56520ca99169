// bw2ctl index and bw2ctl added, run as a user would run them.

#include "store/added_list.h"
#include "store/cache_index.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace {

using bw::test::TempDir;

struct Result {
    int status = -1;
    std::string out;
};

Result run(const std::string& arguments) {
    const std::string line = "'" + bw::test::buildDir() + "/bin/bw2ctl' " + arguments + " 2>/dev/null";
    Result result;
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(Bw2ctlIndex, ShowsALibraryWrittenIndex) {
    TempDir dir;
    bw::BWCacheIndex index;
    index.setIndexTable(bw::BWIndexTable{
        {"0F0E0D0C-0B0A-4908-8706-050403020100", {"report \"final\".txt", 786000000.25}},
        {"A1B2C3D4-E5F6-4789-8ABC-DEF012345678", {"tab\there \xe9", 786000001.0}},
    });
    index.setPermissionsRepaired(true);
    index.setCacheSize(4096);
    index.setCacheCreationTime(786000000.9);
    index.setCacheLastAdditionTime(786000100.0);
    ASSERT_TRUE(bw::writeCacheIndex(index, dir.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    const Result result = run("index show '" + dir.path() + "'");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "{\"permissionsRepaired\":true,\"cacheSize\":4096,\"cacheCreationTime\":786000000,"
                          "\"cacheLastAdditionTime\":786000100,\"entries\":{"
                          "\"0F0E0D0C-0B0A-4908-8706-050403020100\":{\"name\":\"report \\\"final\\\".txt\","
                          "\"added\":786000000.25},"
                          "\"A1B2C3D4-E5F6-4789-8ABC-DEF012345678\":{\"name\":\"tab\\there \\ufffd\","
                          "\"added\":786000001}}}\n");
}

TEST(Bw2ctlIndex, CorruptOrMissingIndexExitsOne) {
    TempDir dir;
    EXPECT_EQ(run("index show '" + dir.path() + "'").status, 1);
    bw::test::writeFile(dir / bw::kCacheIndexFileName, "\x78\x9c garbage");
    const Result corrupt = run("index show '" + dir.path() + "'");
    EXPECT_EQ(corrupt.status, 1);
    EXPECT_TRUE(corrupt.out.empty());
    EXPECT_EQ(run("index show").status, 2);
    EXPECT_EQ(run("index --help").status, 0);
}

TEST(Bw2ctlAdded, ShowsTheAddedList) {
    TempDir dir;
    ASSERT_TRUE(bw::saveAddedList({{"1234_a.txt_4", 786000000.5}, {"0_F_1", 1.0}}, dir.path()));
    const Result result = run("added show '" + dir.path() + "'");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "{\"0_F_1\":1,\"1234_a.txt_4\":786000000.5}\n");
    EXPECT_EQ(run("added show '" + (dir / "missing") + "'").status, 1);
    EXPECT_EQ(run("added --help").status, 0);
    EXPECT_EQ(run("added show").status, 2);
    EXPECT_EQ(run("added list '" + dir.path() + "'").status, 2);
}

TEST(Bw2ctlStore, AFolderNamedThroughASymbolicLinkIsShownAsItIs) {
    // The path typed on the command line is followed like any command's argument; an added list behind
    // a link must not show as empty.
    TempDir dir;
    bw::test::makeDirs(dir / "cache");
    ASSERT_TRUE(bw::saveAddedList({{"0_F_1", 1.0}}, dir / "cache"));
    bw::BWCacheIndex index;
    index.setIndexTable(bw::BWIndexTable{});
    ASSERT_TRUE(bw::writeCacheIndex(index, dir / "cache", static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    ASSERT_EQ(::symlink((dir / "cache").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(run("added show '" + (dir / "link") + "'").out, "{\"0_F_1\":1}\n");
    const Result shown = run("index show '" + (dir / "link") + "'");
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("\"entries\":{}"), std::string::npos) << shown.out;
}

TEST(Bw2ctlIndex, RebuildListsEveryStoredItemAgain) {
    struct Case {
        const char* what;
        std::string index; // what stands at the index's name before; empty: a readable index naming A
        std::size_t aside; // indexes kept aside afterwards
        std::string nameOfA;
    };
    const Case cases[] = {
        {"a readable index keeps its names", "", 0, "report.txt"},
        {"an unreadable index is kept aside", "\x78\x9c garbled", 1, "A1B2C3D4-E5F6-4789-8ABC-DEF012345678"},
    };
    const std::string a = "A1B2C3D4-E5F6-4789-8ABC-DEF012345678";
    const std::string b = "0F0E0D0C-0B0A-4908-8706-050403020100";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        bw::test::writeFile(dir / a, "aaaa");
        bw::test::makeDirs(dir / b + "/inner");
        bw::test::writeFile(dir / b + "/inner/f", "bb");
        if (c.index.empty()) {
            bw::BWCacheIndex index;
            index.setIndexTable(bw::BWIndexTable{{a, {"report.txt", 5.0}}, {"GONE", {"gone.txt", 6.0}}});
            ASSERT_TRUE(bw::writeCacheIndex(index, dir.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
        } else {
            bw::test::writeFile(dir / bw::kCacheIndexFileName, c.index);
        }
        const Result result = run("index rebuild '" + dir.path() + "'");
        EXPECT_EQ(result.status, 0);
        auto index = bw::readCacheIndex(dir.path());
        ASSERT_TRUE(index && index->indexTable());
        const bw::BWIndexTable& table = *index->indexTable();
        ASSERT_EQ(table.size(), 2u) << "the stored items, and nothing that is gone";
        EXPECT_EQ(table.at(a).realName, c.nameOfA);
        EXPECT_EQ(table.at(b).realName, b) << "an item no index named is listed under its stored name";
        EXPECT_GT(table.at(b).addDate, 0.0);
        EXPECT_EQ(index->cacheSize(), 6u);
        std::size_t aside = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().filename().string().rfind(bw::kUnreadableIndexPrefix, 0) == 0)
                ++aside;
        EXPECT_EQ(aside, c.aside);
    }
    EXPECT_EQ(run("index rebuild '/nonexistent/batch'").status, 1);
}

} // namespace
