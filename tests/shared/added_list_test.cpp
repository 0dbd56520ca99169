#include "store/added_list.h"
#include "store/cache_index.h"
#include "store/compression.h"
#include "plist/keyed_archive.h"
#include "log_capture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using bw::test::TempDir;

TEST(AddedList, SaveLoadRoundTripAndLayout) {
    TempDir dir;
    const bw::AddedList list{{"1234_a.txt_4", 786000000.5}, {"0_Folder_12", 12.0}, {"9_caf\xc3\xa9_1", -3.25}};
    ASSERT_TRUE(bw::saveAddedList(list, dir.path()));
    EXPECT_EQ(bw::loadAddedList(dir.path()), list);

    // The file is the zlib stream of an archive whose root is a mutable dictionary of doubles.
    const std::string onDisk = bw::test::readFile(dir / bw::kAddedListFileName);
    auto archive = bw::decompressedData(bw::Bytes(onDisk.begin(), onDisk.end()));
    ASSERT_TRUE(archive.has_value());
    auto root = bw::unarchiveRootObject(*archive);
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->kind, bw::ArchiveValue::Kind::Dictionary);
    EXPECT_EQ(root->className(), "NSMutableDictionary");
    ASSERT_EQ(root->entries.size(), 3u);
    for (const auto& [key, value] : root->entries)
        EXPECT_EQ(value.kind, bw::ArchiveValue::Kind::Real) << key;

    // An empty list is a valid file too.
    ASSERT_TRUE(bw::saveAddedList({}, dir.path()));
    EXPECT_TRUE(bw::loadAddedList(dir.path()).empty());
}

TEST(AddedList, UnreadableListsAreEmpty) {
    TempDir dir;
    EXPECT_TRUE(bw::loadAddedList(dir.path()).empty()); // missing
    bw::test::writeFile(dir / bw::kAddedListFileName, "garbage");
    EXPECT_TRUE(bw::loadAddedList(dir.path()).empty());
    EXPECT_TRUE(bw::loadAddedList(dir / "no-such-folder").empty());
    // A link planted at the list's name is not followed.
    TempDir other;
    ASSERT_TRUE(bw::saveAddedList({{"k", 1.0}}, other.path()));
    unlink((dir / bw::kAddedListFileName).c_str());
    ASSERT_EQ(symlink((other / bw::kAddedListFileName).c_str(), (dir / bw::kAddedListFileName).c_str()), 0);
    EXPECT_TRUE(bw::loadAddedList(dir.path()).empty());
}

// Each way a list can be unreadable is logged in one line, by the layer that found out.
TEST(AddedList, AnUnreadableListIsLoggedOnce) {
    const auto zipped = [](const std::string& text) {
        auto packed = bw::compressedData(bw::Bytes(text.begin(), text.end()));
        return packed ? std::string(packed->begin(), packed->end()) : std::string();
    };
    const auto notADictionary = bw::BWCacheIndex().archivedData();
    ASSERT_TRUE(notADictionary.has_value());
    TempDir saved;
    ASSERT_TRUE(bw::saveAddedList({{"k", 1.0}}, saved.path()));
    const struct {
        const char* what;
        std::string content;
        const char* says; // what the one line names; nullptr: nothing logged
    } cases[] = {
        {"a valid list", bw::test::readFile(saved / bw::kAddedListFileName), nullptr},
        {"not compressed", "garbage", "decompressedData"},
        {"compressed, not an archive", zipped("garbage"), "not a binary property list"},
        {"an archive whose root is no dictionary", zipped(std::string(notADictionary->begin(), notADictionary->end())),
         "holds no dictionary"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        bw::test::writeFile(dir / bw::kAddedListFileName, c.content);
        bw::AddedList loaded;
        const auto lines = bw::test::linesLoggedBy([&] { loaded = bw::loadAddedList(dir.path()); });
        EXPECT_EQ(loaded.empty(), c.says != nullptr);
        ASSERT_EQ(lines.size(), c.says ? 1u : 0u) << (lines.empty() ? "" : lines.front());
        if (c.says) {
            EXPECT_NE(lines.front().find(c.says), std::string::npos) << lines.front();
        }
    }
}

TEST(AddedList, SavingKeepsTheOwnerUnlessAsked) {
    TempDir dir;
    ASSERT_TRUE(bw::saveAddedList({{"k", 1.0}}, dir.path()));
    struct stat st {};
    ASSERT_EQ(stat((dir / bw::kAddedListFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
    if (geteuid() == 0) {
        ASSERT_TRUE(bw::saveAddedList({{"k", 1.0}}, dir.path(), 4321, 5432));
        ASSERT_EQ(stat((dir / bw::kAddedListFileName).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 5432u);
    }
}

TEST(AddedList, ExpiryDropsEntriesOlderThanTheCacheLife) {
    const double now = 1000.0 * 86400.0;
    bw::AddedList list{{"fresh", now - 86400.0},
                       {"edge", now - 3 * 86400.0},      // exactly 3 days: kept (strictly more is old)
                       {"old", now - 3 * 86400.0 - 1.0}, // just past
                       {"ancient", 0.0},
                       {"future", now + 100.0}};
    bw::AddedList kept = list;
    bw::expireAddedList(kept, now, 0);
    EXPECT_EQ(kept, list);
    bw::expireAddedList(kept, now, 3);
    EXPECT_EQ(kept, (bw::AddedList{{"fresh", now - 86400.0}, {"edge", now - 3 * 86400.0}, {"future", now + 100.0}}));
}

} // namespace
