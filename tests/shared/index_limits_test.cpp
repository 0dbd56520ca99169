// What indexes and added lists of the largest size read back, what hostile archives cost, and what a
// bad entry or an unreadable index does to the rest of a batch.

#include "store/added_list.h"
#include "files/atomic_file.h"
#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "plist/keyed_archive.h"
#include "temp_dir.h"
#include "store/compression.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>

namespace {

using bw::BWCacheIndex;
using bw::BWCacheIndexEntry;
using bw::BWIndexTable;
using bw::PlistValue;
using bw::test::TempDir;

std::size_t archiveSizeOf(const BWIndexTable& table) {
    BWCacheIndex index;
    index.setIndexTable(table);
    auto archive = index.archivedData();
    return archive ? archive->size() : 0;
}

BWIndexTable tableOf(std::size_t count, const std::function<BWCacheIndexEntry(std::size_t)>& entry) {
    BWIndexTable table;
    for (std::size_t i = 0; i < count; ++i) {
        char stored[64];
        std::snprintf(stored, sizeof stored, "%08zX-0000-4000-8000-%012zX", i, i * 7919);
        table.emplace(stored, entry(i));
    }
    return table;
}

struct LargestIndexCase {
    const char* what;
    std::function<BWCacheIndexEntry(std::size_t)> entry;
    bool checkRefusal; // also check that a few entries more are refused
};

class LargestIndex : public ::testing::TestWithParam<LargestIndexCase> {};

TEST_P(LargestIndex, TheLargestIndexTheWriterAcceptsReadsBack) {
    const LargestIndexCase& c = GetParam();
    // Find the count of entries that fills the archive to within 64 KiB of the limit. Past 65,535
    // objects every reference and offset has its final width and the size grows in proportion, so
    // the first secant step from two samples there usually lands.
    const double target = static_cast<double>(bw::kMaxArchiveSize) - 32 * 1024;
    double c0 = 10000, s0 = static_cast<double>(archiveSizeOf(tableOf(10000, c.entry)));
    double c1 = 20000, s1 = static_cast<double>(archiveSizeOf(tableOf(20000, c.entry)));
    const std::size_t perEntry = static_cast<std::size_t>((s1 - s0) / (c1 - c0));
    std::size_t count = 20000, size = 0;
    BWIndexTable table;
    for (int step = 0; step < 8; ++step) {
        const double next = c1 + (target - s1) * (c1 - c0) / (s1 - s0);
        count = static_cast<std::size_t>(next);
        table = tableOf(count, c.entry);
        size = archiveSizeOf(table);
        if (size <= bw::kMaxArchiveSize && size > bw::kMaxArchiveSize - 64 * 1024)
            break;
        c0 = c1, s0 = s1, c1 = static_cast<double>(count), s1 = static_cast<double>(size);
    }
    ASSERT_LE(size, bw::kMaxArchiveSize);
    ASSERT_GT(size, bw::kMaxArchiveSize - 64 * 1024) << "the index is not at the limit";

    TempDir dir;
    BWCacheIndex index;
    index.setIndexTable(table);
    ASSERT_TRUE(bw::writeCacheIndex(index, dir.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    auto back = bw::readCacheIndex(dir.path());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->indexTable()->size(), count);
    EXPECT_TRUE(*back->indexTable() == table);
    // What a writer plans with never underestimates an entry.
    EXPECT_GE(BWCacheIndex::archivedEntryBound(table.begin()->first, table.begin()->second.realName), perEntry);

    if (c.checkRefusal) {
        // A few more entries pass the limit: the writer refuses, and the file stays as it was.
        BWCacheIndex tooLarge;
        tooLarge.setIndexTable(tableOf(count + 64 * 1024 / perEntry + 2, c.entry));
        EXPECT_FALSE(bw::writeCacheIndex(tooLarge, dir.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
        EXPECT_EQ(bw::readCacheIndex(dir.path())->indexTable()->size(), count);
    }
}

INSTANTIATE_TEST_SUITE_P(
    IndexLimits, LargestIndex,
    ::testing::Values(
        LargestIndexCase{"short names of their own",
                         [](std::size_t i) { return BWCacheIndexEntry{"file " + std::to_string(i), 786e6 + i}; }, true},
        // Equal strings and numbers are stored once, so each entry costs the archive little and the reader much.
        LargestIndexCase{"one long name and one time shared by every entry",
                         [](std::size_t) { return BWCacheIndexEntry{std::string(255, 'N'), 786e6}; }, false},
        LargestIndexCase{"names that are not UTF-8",
                         [](std::size_t i) {
                             return BWCacheIndexEntry{"\xe9t\xe9 " + std::to_string(i) + std::string(40, '\xff'),
                                                      786e6 + i * 0.5};
                         },
                         false}));

TEST(IndexLimits, AnAddedListPastTheLimitKeepsItsNewestKeys) {
    bw::AddedList list;
    const std::string padding(200, 'k');
    for (int i = 0; i < 180000; ++i)
        list.emplace(std::to_string(i) + "_" + padding + "_" + std::to_string(i), 1000.0 + i);
    TempDir dir;
    ASSERT_TRUE(bw::saveAddedList(list, dir.path()));
    const bw::AddedList back = bw::loadAddedList(dir.path());
    ASSERT_FALSE(back.empty());
    EXPECT_LT(back.size(), list.size());
    EXPECT_TRUE(back.count("179999_" + padding + "_179999")) << "the newest key stays";
    EXPECT_FALSE(back.count("0_" + padding + "_0")) << "the oldest key goes";
}

// Hand-made archives: an object table and the UID of the root.
struct Table {
    std::vector<PlistValue> objects{str("$null")};
    static PlistValue str(std::string s) {
        PlistValue v;
        v.kind = PlistValue::Kind::String;
        v.stringValue = std::move(s);
        return v;
    }
    static PlistValue uid(std::uint64_t n) {
        PlistValue v;
        v.kind = PlistValue::Kind::Uid;
        v.uintValue = n;
        return v;
    }
    static PlistValue real(double d) {
        PlistValue v;
        v.kind = PlistValue::Kind::Real;
        v.realValue = d;
        return v;
    }
    static PlistValue arr(std::vector<PlistValue> items) {
        PlistValue v;
        v.kind = PlistValue::Kind::Array;
        v.items = std::move(items);
        return v;
    }
    static PlistValue dict(std::vector<PlistValue::Entry> entries) {
        PlistValue v;
        v.kind = PlistValue::Kind::Dictionary;
        v.entries = std::move(entries);
        return v;
    }
    std::uint64_t add(PlistValue value) {
        objects.push_back(std::move(value));
        return objects.size() - 1;
    }
    std::uint64_t classOf(const std::string& name) {
        return add(dict({{"$classname", str(name)}, {"$classes", arr({str(name), str("NSObject")})}}));
    }
    bw::Bytes archive() {
        PlistValue top = dict({{"$version", PlistValue{PlistValue::Kind::UInt, false, 0, 100000, 0.0, {}, {}, {}}},
                               {"$archiver", str("NSKeyedArchiver")},
                               {"$top", dict({{"root", uid(1)}})},
                               {"$objects", arr(objects)}});
        return *bw::binaryPlistData(top);
    }
};

// A BWCacheIndex whose table maps keys to entry objects; `entries` fills the table's two arrays.
struct IndexTable : Table {
    std::uint64_t dictionaryClass = 0;
    std::vector<PlistValue> keys, values;
    IndexTable() {
        add(PlistValue{}); // the root, at UID 1, filled by finish()
        dictionaryClass = classOf("NSDictionary");
    }
    std::uint64_t entry(PlistValue name, PlistValue date) {
        const std::uint64_t nameKey = add(str(bw::kCacheRealNameKey));
        const std::uint64_t dateKey = add(str(bw::kCacheAddDateKey));
        return add(dict({{"NS.keys", arr({uid(nameKey), uid(dateKey)})},
                         {"NS.objects", arr({std::move(name), std::move(date)})},
                         {"$class", uid(dictionaryClass)}}));
    }
    bw::Bytes finish() {
        const std::uint64_t table =
            add(dict({{"NS.keys", arr(keys)}, {"NS.objects", arr(values)}, {"$class", uid(dictionaryClass)}}));
        const std::uint64_t rootClass = classOf("BWCacheIndex");
        objects[1] = dict({{"indexTableKey", uid(table)}, {"$class", uid(rootClass)}});
        return archive();
    }
};

TEST(IndexLimits, AnEntryOfAnotherFormIsDroppedAlone) {
    struct Case {
        const char* what;
        std::function<void(IndexTable&)> addBadEntry;
    };
    const Case cases[] = {
        {"a string where the entry belongs",
         [](IndexTable& t) {
             t.keys.push_back(Table::uid(t.add(Table::str("BAD"))));
             t.values.push_back(Table::uid(t.add(Table::str("not an entry"))));
         }},
        {"a name that is a number",
         [](IndexTable& t) {
             t.keys.push_back(Table::uid(t.add(Table::str("BAD"))));
             t.values.push_back(Table::uid(t.entry(Table::real(5), Table::real(1))));
         }},
        {"a date that is text",
         [](IndexTable& t) {
             t.keys.push_back(Table::uid(t.add(Table::str("BAD"))));
             t.values.push_back(Table::uid(t.entry(Table::str("a.txt"), Table::str("yesterday"))));
         }},
        {"an entry naming an object past the table",
         [](IndexTable& t) {
             t.keys.push_back(Table::uid(t.add(Table::str("BAD"))));
             t.values.push_back(Table::uid(99999));
         }},
        {"a stored name that is a number",
         [](IndexTable& t) {
             t.keys.push_back(Table::uid(t.add(Table::real(7))));
             t.values.push_back(Table::uid(t.entry(Table::str("b.txt"), Table::real(2))));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IndexTable t;
        t.keys.push_back(Table::uid(t.add(Table::str("GOOD-1"))));
        t.values.push_back(Table::uid(t.entry(Table::str("one.txt"), Table::real(10.5))));
        c.addBadEntry(t);
        t.keys.push_back(Table::uid(t.add(Table::str("GOOD-2"))));
        t.values.push_back(Table::uid(t.entry(Table::str("two.txt"), Table::real(11.5))));
        auto index = BWCacheIndex::unarchive(t.finish());
        ASSERT_TRUE(index.has_value());
        const BWIndexTable expected{{"GOOD-1", {"one.txt", 10.5}}, {"GOOD-2", {"two.txt", 11.5}}};
        EXPECT_EQ(*index->indexTable(), expected);
    }
}

TEST(IndexLimits, ALongStringReferencedByEveryEntryEndsTheReadingEarly) {
    // The planted index: one string of 256 KiB named by 100,000 entries. Copied at every reference it
    // would be 25 GiB; the reader stops after a few dozen copies.
    IndexTable t;
    const std::uint64_t longName = t.add(Table::str(std::string(256 * 1024, 'x')));
    const std::uint64_t shared = t.entry(Table::uid(longName), Table::real(1));
    for (int i = 0; i < 100000; ++i) {
        t.keys.push_back(Table::uid(t.add(Table::str("K" + std::to_string(i)))));
        t.values.push_back(Table::uid(shared));
    }
    const bw::Bytes archive = t.finish();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(BWCacheIndex::unarchive(archive).has_value());
    EXPECT_FALSE(bw::unarchiveRootObject(archive).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // The same bytes as an added list are no list at all.
    TempDir dir;
    ASSERT_TRUE(bw::writeFileAtomicallyAt(bw::openFolderNoFollow(dir.path()).get(), bw::kAddedListFileName,
                                          *bw::compressedData(archive), static_cast<uid_t>(-1),
                                          static_cast<gid_t>(-1), "test"));
    EXPECT_TRUE(bw::loadAddedList(dir.path()).empty());
}

TEST(IndexLimits, AnUnreadableIndexIsKeptAsideAndNeverWrittenOver) {
    struct Case {
        const char* what;
        std::string content;
    };
    const Case cases[] = {
        {"not zlib", "garbage that is no index"},
        {"zlib of something else", [] {
             auto bytes = *bw::compressedData(bw::Bytes{'h', 'e', 'l', 'l', 'o'});
             return std::string(bytes.begin(), bytes.end());
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        bw::test::writeFile(dir / bw::kCacheIndexFileName, c.content);
        bw::UniqueFd folder = bw::openFolderNoFollow(dir.path());
        bool fresh = false;
        auto index = bw::loadCacheIndexForUpdateAt(folder.get(), fresh);
        ASSERT_TRUE(index.has_value());
        EXPECT_TRUE(fresh);
        EXPECT_FALSE(index->indexTable().has_value());
        index->setIndexTable(BWIndexTable{{"NEW", {"new.txt", 3.0}}});
        ASSERT_TRUE(bw::writeCacheIndexAt(*index, folder.get(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));

        std::vector<std::string> aside;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().filename() != bw::kCacheIndexFileName)
                aside.push_back(entry.path().filename().string());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_TRUE(bw::isCacheIndexFileName(aside[0]));
        EXPECT_EQ(bw::test::readFile(dir / aside[0]), c.content);
        EXPECT_EQ(bw::readCacheIndex(dir.path())->indexTable()->size(), 1u);

        // A writer that never read it does not write over it either.
        bw::test::writeFile(dir / bw::kCacheIndexFileName, c.content);
        ASSERT_TRUE(bw::writeCacheIndex(*index, dir.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
        int kept = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().filename() != bw::kCacheIndexFileName && bw::test::readFile(entry.path().string()) == c.content)
                ++kept;
        EXPECT_EQ(kept, 2);
    }
}

TEST(IndexLimits, ContinuedBatchNamesBelongToTheirMinute) {
    struct Case {
        std::string folder;
        std::string minute;
    };
    const std::string base = "2026-12-06 09_05 +0100";
    const Case cases[] = {
        {base, base},
        {bw::continuedBatchFolderName(base, 2), base},
        {bw::continuedBatchFolderName(base, 17), base},
        {bw::continuedBatchFolderName("2026-12-06 04_35 -0330", 3), "2026-12-06 04_35 -0330"},
        {"Photos 2024", "Photos 2024"},
        {"2026-12-06 09_05 +0100 x12", "2026-12-06 09_05 +0100 x12"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bw::batchNameOfFolder(c.folder), c.minute) << c.folder;
    EXPECT_EQ(bw::continuedBatchFolderName(base, 1), base);
    EXPECT_EQ(bw::continuedBatchFolderName(base, 2), base + " 002");
    // Listed by name, the parts follow their minute's first folder and come before the next minute's.
    EXPECT_LT(base, bw::continuedBatchFolderName(base, 2));
    EXPECT_LT(bw::continuedBatchFolderName(base, 9), bw::continuedBatchFolderName(base, 10));
    EXPECT_LT(bw::continuedBatchFolderName(base, 999), "2026-12-06 09_06 +0100");
}

} // namespace
