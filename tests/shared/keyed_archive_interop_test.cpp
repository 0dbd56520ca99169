// Our archives against Python's independent property-list implementation, both ways.

#include "store/added_list.h"
#include "store/cache_index.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

namespace {

using bw::test::TempDir;

// Keep in step with keyed_archive_interop.py.
const bw::BWIndexTable kTable{
    {"0F0E0D0C-0B0A-4908-8706-050403020100", {"report.txt", 786000000.25}},
    {"A1B2C3D4-E5F6-4789-8ABC-DEF012345678", {"Ordner mit \xc3\x9cmlaut", 786000001.5}},
};
constexpr std::uint64_t kSize = 9223372036854775813ull; // 2^63 + 5
const bw::AddedList kAdded{{"0_Folder_12", 12.0}, {"1234_a.txt_4", 786000000.5}, {"9_caf\xc3\xa9_1", -3.25}};

bool havePython() {
    return std::system("python3 -c 'import plistlib' >/dev/null 2>&1") == 0;
}

int runScript(const std::string& command, const std::string& file) {
    // The script lies beside this file; __FILE__ is absolute in our builds, sourceDir() is the fallback.
    std::filesystem::path script = std::filesystem::path(__FILE__).parent_path() / "keyed_archive_interop.py";
    if (!std::filesystem::exists(script))
        script = bw::test::sourceDir() + "/tests/shared/keyed_archive_interop.py";
    const std::string line = "python3 '" + script.string() + "' " + command + " '" + file + "'";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(KeyedArchiveInterop, OurIndexHasApplesExactLayout) {
    if (!havePython())
        GTEST_SKIP() << "python3 with plistlib is not installed";
    TempDir dir;
    bw::BWCacheIndex index;
    index.setIndexTable(kTable);
    index.setPermissionsRepaired(true);
    index.setCacheSize(kSize);
    index.setCacheCreationTime(786000000.7); // truncated on the way
    index.setCacheLastAdditionTime(786000100.2);
    ASSERT_TRUE(bw::writeCacheIndex(index, dir.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    EXPECT_EQ(runScript("check-index", dir / bw::kCacheIndexFileName), 0);
}

TEST(KeyedArchiveInterop, OurAddedListHasApplesExactLayout) {
    if (!havePython())
        GTEST_SKIP() << "python3 with plistlib is not installed";
    TempDir dir;
    ASSERT_TRUE(bw::saveAddedList(kAdded, dir.path()));
    EXPECT_EQ(runScript("check-added", dir / bw::kAddedListFileName), 0);
}

TEST(KeyedArchiveInterop, WeReadArchivesInApplesLayout) {
    if (!havePython())
        GTEST_SKIP() << "python3 with plistlib is not installed";
    TempDir dir;
    ASSERT_EQ(runScript("make-index", dir / bw::kCacheIndexFileName), 0);
    auto index = bw::readCacheIndex(dir.path());
    ASSERT_TRUE(index.has_value());
    EXPECT_EQ(index->indexTable(), kTable);
    EXPECT_TRUE(index->permissionsRepaired());
    EXPECT_EQ(index->cacheSize(), kSize);
    EXPECT_EQ(index->cacheCreationTime(), 786000000.0);
    EXPECT_EQ(index->cacheLastAdditionTime(), 786000100.0);

    ASSERT_EQ(runScript("make-added", dir / bw::kAddedListFileName), 0);
    EXPECT_EQ(bw::loadAddedList(dir.path()), kAdded);
}

} // namespace
