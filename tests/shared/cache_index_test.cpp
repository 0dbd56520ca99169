#include "files/atomic_file.h"
#include "store/cache_index.h"
#include "plist/keyed_archive.h"
#include "temp_dir.h"
#include "store/compression.h"

#include <chrono>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/file.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <thread>

namespace {

using bw::test::TempDir;

bw::BWCacheIndex sampleIndex() {
    bw::BWCacheIndex index;
    index.setIndexTable(bw::BWIndexTable{
        {"0F0E0D0C-0B0A-4908-8706-050403020100", {"report.txt", 786000000.25}},
        {"A1B2C3D4-E5F6-4789-8ABC-DEF012345678", {"Ordner mit Ümlaut", 786000001.5}},
    });
    index.setPermissionsRepaired(true);
    index.setCacheSize(123456789012ull);
    index.setCacheCreationTime(786000000.0);
    index.setCacheLastAdditionTime(786000100.0);
    return index;
}

// A parsed plist owned for the length of a test.
struct Plist {
    plist_t node = nullptr;
    explicit Plist(const bw::Bytes& bytes) {
        plist_from_bin(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &node);
    }
    ~Plist() {
        if (node)
            plist_free(node);
    }
};

std::string stringOf(plist_t node) {
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string s = text ? text : "";
    free(text);
    return s;
}

uint64_t uidOf(plist_t node) {
    uint64_t uid = 0;
    EXPECT_EQ(plist_get_node_type(node), PLIST_UID);
    plist_get_uid_val(node, &uid);
    return uid;
}

TEST(CacheIndexArchive, RoundTripKeepsEverythingButFractionsOfTimes) {
    bw::BWCacheIndex index = sampleIndex();
    index.setCacheCreationTime(12.9);
    index.setCacheLastAdditionTime(0.4);
    auto data = index.archivedData();
    ASSERT_TRUE(data.has_value());
    auto back = bw::BWCacheIndex::unarchive(*data);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->indexTable(), index.indexTable());
    EXPECT_TRUE(back->permissionsRepaired());
    EXPECT_EQ(back->cacheSize(), 123456789012ull);
    EXPECT_EQ(back->cacheCreationTime(), 12.0);
    EXPECT_EQ(back->cacheLastAdditionTime(), 0.0);

    // No table stays no table; an empty table stays empty.
    bw::BWCacheIndex bare;
    auto bareBack = bw::BWCacheIndex::unarchive(*bare.archivedData());
    ASSERT_TRUE(bareBack.has_value());
    EXPECT_FALSE(bareBack->indexTable().has_value());
    bare.setIndexTable(bw::BWIndexTable{});
    bareBack = bw::BWCacheIndex::unarchive(*bare.archivedData());
    ASSERT_TRUE(bareBack.has_value() && bareBack->indexTable().has_value());
    EXPECT_TRUE(bareBack->indexTable()->empty());

    // Extremes of the unsigned fields, and times before the reference date.
    bw::BWCacheIndex extreme;
    extreme.setCacheSize(UINT64_MAX);
    extreme.setCacheCreationTime(-5.5);
    extreme.setCacheLastAdditionTime(9.3e18 + 0.0);
    auto extremeBack = bw::BWCacheIndex::unarchive(*extreme.archivedData());
    ASSERT_TRUE(extremeBack.has_value());
    EXPECT_EQ(extremeBack->cacheSize(), UINT64_MAX);
    EXPECT_EQ(extremeBack->cacheCreationTime(), 0.0);
    EXPECT_EQ(extremeBack->cacheLastAdditionTime(), 9.3e18);
}

TEST(CacheIndexArchive, LayoutIsTheKeyedArchiverOne) {
    auto data = sampleIndex().archivedData();
    ASSERT_TRUE(data.has_value());
    ASSERT_EQ(std::string(data->begin(), data->begin() + 8), "bplist00");
    Plist top(*data);
    ASSERT_TRUE(top.node);
    EXPECT_EQ(stringOf(plist_dict_get_item(top.node, "$archiver")), "NSKeyedArchiver");
    uint64_t version = 0;
    plist_get_uint_val(plist_dict_get_item(top.node, "$version"), &version);
    EXPECT_EQ(version, 100000u);
    EXPECT_EQ(uidOf(plist_dict_get_item(plist_dict_get_item(top.node, "$top"), "root")), 1u);
    plist_t objects = plist_dict_get_item(top.node, "$objects");
    EXPECT_EQ(stringOf(plist_array_get_item(objects, 0)), "$null");
    plist_t root = plist_array_get_item(objects, 1);
    plist_t rootClass =
        plist_array_get_item(objects, static_cast<uint32_t>(uidOf(plist_dict_get_item(root, "$class"))));
    EXPECT_EQ(stringOf(plist_dict_get_item(rootClass, "$classname")), "BWCacheIndex");
    plist_t chain = plist_dict_get_item(rootClass, "$classes");
    ASSERT_EQ(plist_array_get_size(chain), 2u);
    EXPECT_EQ(stringOf(plist_array_get_item(chain, 1)), "NSObject");

    // Numbers are inline plist values referenced by UID.
    auto member = [&](const char* key) {
        return plist_array_get_item(objects, static_cast<uint32_t>(uidOf(plist_dict_get_item(root, key))));
    };
    EXPECT_EQ(plist_get_node_type(member("permissionsRepairedKey")), PLIST_BOOLEAN);
    uint64_t size = 0;
    plist_get_uint_val(member("cacheSizeKey"), &size);
    EXPECT_EQ(size, 123456789012ull);
    EXPECT_EQ(plist_get_node_type(member("cacheCreationKey")), PLIST_UINT);

    // The table: an NSDictionary of NSDictionary, sharing one class description.
    plist_t table = member("indexTableKey");
    plist_t keys = plist_dict_get_item(table, "NS.keys");
    plist_t values = plist_dict_get_item(table, "NS.objects");
    ASSERT_EQ(plist_array_get_size(keys), 2u);
    ASSERT_EQ(plist_array_get_size(values), 2u);
    EXPECT_EQ(stringOf(plist_array_get_item(objects, static_cast<uint32_t>(uidOf(plist_array_get_item(keys, 0))))),
              "0F0E0D0C-0B0A-4908-8706-050403020100");
    plist_t entry = plist_array_get_item(objects, static_cast<uint32_t>(uidOf(plist_array_get_item(values, 1))));
    EXPECT_EQ(uidOf(plist_dict_get_item(entry, "$class")), uidOf(plist_dict_get_item(table, "$class")));
    plist_t entryKeys = plist_dict_get_item(entry, "NS.keys");
    plist_t entryValues = plist_dict_get_item(entry, "NS.objects");
    EXPECT_EQ(stringOf(plist_array_get_item(objects, static_cast<uint32_t>(uidOf(plist_array_get_item(entryKeys, 0))))),
              "BWCacheRealNameKey");
    EXPECT_EQ(
        stringOf(plist_array_get_item(objects, static_cast<uint32_t>(uidOf(plist_array_get_item(entryValues, 0))))),
        "Ordner mit Ümlaut");
    double added = 0;
    plist_get_real_val(
        plist_array_get_item(objects, static_cast<uint32_t>(uidOf(plist_array_get_item(entryValues, 1)))), &added);
    EXPECT_EQ(added, 786000001.5);
}

TEST(CacheIndexArchive, MissingKeysDecodeAsDefaults) {
    bw::ArchiveValue root = bw::ArchiveValue::object({"BWCacheIndex"});
    root.entries.emplace_back("cacheSizeKey", bw::ArchiveValue::fromUInt(42));
    auto data = bw::archivedDataWithRootObject(root);
    ASSERT_TRUE(data.has_value());
    auto index = bw::BWCacheIndex::unarchive(*data);
    ASSERT_TRUE(index.has_value());
    EXPECT_FALSE(index->indexTable().has_value());
    EXPECT_FALSE(index->permissionsRepaired());
    EXPECT_EQ(index->cacheSize(), 42u);
    EXPECT_EQ(index->cacheCreationTime(), 0.0);
}

TEST(CacheIndexArchive, RefusesOtherRootsAndWrongTypes) {
    // A dictionary root, another class, and a string where the size belongs.
    EXPECT_FALSE(bw::BWCacheIndex::unarchive(*bw::archivedDataWithRootObject(bw::ArchiveValue::dictionary())));
    EXPECT_FALSE(
        bw::BWCacheIndex::unarchive(*bw::archivedDataWithRootObject(bw::ArchiveValue::object({"BWOtherThing"}))));
    bw::ArchiveValue wrong = bw::ArchiveValue::object({"BWCacheIndex"});
    wrong.entries.emplace_back("cacheSizeKey", bw::ArchiveValue::fromString("big"));
    EXPECT_FALSE(bw::BWCacheIndex::unarchive(*bw::archivedDataWithRootObject(wrong)));
    bw::ArchiveValue wrongTable = bw::ArchiveValue::object({"BWCacheIndex"});
    bw::ArchiveValue table = bw::ArchiveValue::dictionary();
    table.entries.emplace_back("X", bw::ArchiveValue::fromString("not an entry"));
    wrongTable.entries.emplace_back("indexTableKey", table);
    // An entry of the wrong form is dropped alone: the index still reads, without it.
    auto withoutEntry = bw::BWCacheIndex::unarchive(*bw::archivedDataWithRootObject(wrongTable));
    ASSERT_TRUE(withoutEntry.has_value() && withoutEntry->indexTable().has_value());
    EXPECT_TRUE(withoutEntry->indexTable()->empty());
}

TEST(CacheIndexArchive, CorruptInputsGiveNoIndexWithoutCrashing) {
    const bw::Bytes good = *bw::compressedData(*sampleIndex().archivedData());
    const bw::Bytes archive = *sampleIndex().archivedData();
    std::mt19937 random(20261207);
    auto tryFile = [](const bw::Bytes& bytes) {
        auto inflated = bw::decompressedData(bytes);
        if (inflated)
            (void)bw::BWCacheIndex::unarchive(*inflated);
    };
    for (std::size_t length = 0; length < good.size(); ++length)
        tryFile(bw::Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length)));
    // Bit flips in the archive itself (below the compression, where the parser meets them).
    for (int round = 0; round < 3000; ++round) {
        bw::Bytes flipped = archive;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int k = 0; k < flips; ++k)
            flipped[random() % flipped.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        (void)bw::BWCacheIndex::unarchive(flipped);
    }
    for (int round = 0; round < 1000; ++round) {
        bw::Bytes noise(random() % 400);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(random());
        tryFile(noise);
        if (noise.size() >= 8)
            std::copy_n("bplist00", 8, noise.begin());
        (void)bw::BWCacheIndex::unarchive(noise);
    }
    // Truncations of the archive never read as an index.
    for (std::size_t length = 0; length + 1 < archive.size(); ++length)
        EXPECT_FALSE(bw::BWCacheIndex::unarchive(bw::Bytes(archive.begin(), archive.begin() + length))) << length;
}

TEST(CacheIndex, DescriptionHasTheDebuggingForm) {
    bw::BWCacheIndex index;
    index.setCacheCreationTime(1.5);
    index.setCacheLastAdditionTime(2.25);
    index.setCacheSize(77);
    const std::string text = index.description();
    EXPECT_EQ(text.rfind("<BWCacheIndex: 0x", 0), 0u) << text;
    EXPECT_NE(text.find("> [1]\nCache created on 1.500000, modified on 2.250000, size: 77 Bytes"), std::string::npos)
        << text;
}

TEST(CacheIndex, SanityCheckDropsExactlyTheMissingEntries) {
    TempDir dir;
    bw::test::writeFile(dir / "AAAA", "a");
    ASSERT_EQ(mkdir((dir / "BBBB").c_str(), 0750), 0);
    ASSERT_EQ(symlink("/nonexistent/target", (dir / "CCCC").c_str()), 0); // dangling, still stored
    bw::BWCacheIndex index;
    const bw::BWIndexTable all{{"AAAA", {"a", 1}}, {"BBBB", {"b", 2}}, {"CCCC", {"c", 3}}};
    index.setIndexTable(all);
    index.sanityCheckAtPath(dir.path());
    EXPECT_EQ(index.indexTable(), all);

    bw::BWIndexTable withMissing = all;
    withMissing["DDDD"] = {"d", 4};
    withMissing["../" + std::string(dir.path().substr(dir.path().rfind('/') + 1)) + "/AAAA"] = {"escape", 5};
    index.setIndexTable(withMissing);
    index.sanityCheckAtPath(dir.path());
    EXPECT_EQ(index.indexTable(), all);

    // No table and an empty table are left alone.
    index.setIndexTable(std::nullopt);
    index.sanityCheckAtPath(dir.path());
    EXPECT_FALSE(index.indexTable().has_value());
    index.setIndexTable(bw::BWIndexTable{});
    index.sanityCheckAtPath(dir / "missing-folder");
    EXPECT_TRUE(index.indexTable().has_value());
}

TEST(CacheIndexFile, WriteThenReadAndFailuresGiveNoIndex) {
    TempDir dir;
    EXPECT_FALSE(bw::readCacheIndex(dir.path()).has_value()); // missing
    bw::test::writeFile(dir / bw::kCacheIndexFileName, "");
    EXPECT_FALSE(bw::readCacheIndex(dir.path()).has_value()); // empty
    bw::test::writeFile(dir / bw::kCacheIndexFileName, "not zlib at all");
    EXPECT_FALSE(bw::readCacheIndex(dir.path()).has_value());
    const bw::Bytes text = *bw::compressedData(bw::Bytes{'h', 'i'});
    bw::test::writeFile(dir / bw::kCacheIndexFileName, std::string(text.begin(), text.end()));
    EXPECT_FALSE(bw::readCacheIndex(dir.path()).has_value()); // zlib, but not an archive

    const bw::BWCacheIndex index = sampleIndex();
    ASSERT_TRUE(bw::writeCacheIndex(index, dir.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    auto back = bw::readCacheIndex(dir.path());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->indexTable(), index.indexTable());
    // The file is exactly the zlib stream of the archive; the unreadable one it replaced was kept aside,
    // and nothing else is left in the folder.
    const std::string onDisk = bw::test::readFile(dir / bw::kCacheIndexFileName);
    EXPECT_EQ(bw::decompressedData(bw::Bytes(onDisk.begin(), onDisk.end())), index.archivedData());
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
        if (e.path().filename() != bw::kCacheIndexFileName) {
            EXPECT_EQ(bw::test::readFile(e.path().string()), std::string(text.begin(), text.end()));
        }
    }
    EXPECT_EQ(entries, 2);

    // Owner and group are handed over when asked (to our own ids here; another user needs root).
    struct stat st {};
    ASSERT_TRUE(bw::writeCacheIndex(index, dir.path(), getuid(), getgid()));
    ASSERT_EQ(stat((dir / bw::kCacheIndexFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, getuid());
    if (geteuid() == 0) {
        ASSERT_TRUE(bw::writeCacheIndex(index, dir.path(), 12345, 23456));
        ASSERT_EQ(stat((dir / bw::kCacheIndexFileName).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 12345u);
        EXPECT_EQ(st.st_gid, 23456u);
    }
    EXPECT_FALSE(bw::writeCacheIndex(index, dir / "missing", static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
}

TEST(CacheIndexFile, NeverFollowsSymbolicLinks) {
    TempDir dir;
    TempDir elsewhere;
    const std::string target = elsewhere / "victim";
    bw::test::writeFile(target, "precious");

    // A link planted at the index's name: readers refuse it, and a write replaces the link itself.
    ASSERT_EQ(symlink(target.c_str(), (dir / bw::kCacheIndexFileName).c_str()), 0);
    EXPECT_FALSE(bw::readCacheIndex(dir.path()).has_value());
    ASSERT_TRUE(bw::writeCacheIndex(sampleIndex(), dir.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    EXPECT_EQ(bw::test::readFile(target), "precious");
    struct stat st {};
    ASSERT_EQ(lstat((dir / bw::kCacheIndexFileName).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    // A batch folder that is itself a link is refused.
    ASSERT_EQ(symlink(dir.path().c_str(), (elsewhere / "batchlink").c_str()), 0);
    EXPECT_FALSE(bw::readCacheIndex(elsewhere / "batchlink").has_value());
    EXPECT_FALSE(
        bw::writeCacheIndex(sampleIndex(), elsewhere / "batchlink", static_cast<uid_t>(-1), static_cast<gid_t>(-1)));

    // A folder at the index's name makes the write fail without leaving a temporary file behind.
    TempDir other;
    ASSERT_EQ(mkdir((other / bw::kCacheIndexFileName).c_str(), 0700), 0);
    bw::test::writeFile(other / bw::kCacheIndexFileName + "/inside", "x");
    EXPECT_FALSE(bw::writeCacheIndex(sampleIndex(), other.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(other.path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(CacheIndexFile, ConcurrentWritersUnderTheLockLoseNoEntries) {
    TempDir dir;
    constexpr int kWriters = 4;
    constexpr int kEntriesEach = 25;
    auto writer = [&](int id) {
        for (int i = 0; i < kEntriesEach; ++i) {
            bw::BatchFolderLock lock(dir.path());
            ASSERT_TRUE(lock.isLocked());
            bw::BWCacheIndex index = bw::readCacheIndex(dir.path()).value_or(bw::BWCacheIndex{});
            bw::BWIndexTable table = index.indexTable().value_or(bw::BWIndexTable{});
            table["W" + std::to_string(id) + "-" + std::to_string(i)] = {"name", static_cast<double>(i)};
            index.setIndexTable(std::move(table));
            ASSERT_TRUE(bw::writeCacheIndex(index, dir.path(), static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
        }
    };
    // Separate processes, as the daemon, the agent and the application are.
    std::vector<pid_t> children;
    for (int id = 0; id < kWriters; ++id) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            writer(id);
            _exit(testing::Test::HasFailure() ? 1 : 0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto index = bw::readCacheIndex(dir.path());
    ASSERT_TRUE(index.has_value() && index->indexTable().has_value());
    EXPECT_EQ(index->indexTable()->size(), static_cast<std::size_t>(kWriters * kEntriesEach));
}

TEST(CacheIndexFile, ALockHeldForeverDoesNotHangTheNextWriter) {
    TempDir dir;
    // Another open file description of the folder, as another process would hold it.
    const int holder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    {
        bw::BatchFolderLock lock(dir.path(), std::chrono::milliseconds(200));
        EXPECT_FALSE(lock.isLocked());
    }
    // A holder that lets go during the wait hands the lock over.
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        flock(holder, LOCK_UN);
    });
    {
        bw::BatchFolderLock lock(dir.path(), std::chrono::milliseconds(5000));
        EXPECT_TRUE(lock.isLocked());
        // While it is held, the other description cannot take it.
        EXPECT_NE(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    release.join();
    EXPECT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    close(holder);
}

} // namespace

namespace {

TEST(AtomicFile, APlantedTemporaryNameIsNeverFollowed) {
    TempDir dir;
    TempDir elsewhere;
    const std::string target = elsewhere / "victim";
    bw::test::writeFile(target, "precious");
    ASSERT_EQ(symlink(target.c_str(), (dir / ".tmpname").c_str()), 0);
    bw::test::writeFile(dir / "file", "old");
    const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const bw::Bytes data{'n', 'e', 'w'};
    EXPECT_FALSE(bw::writeFileAtomicallyVia(fd, "file", ".tmpname", data, static_cast<uid_t>(-1),
                                            static_cast<gid_t>(-1), "test"));
    EXPECT_EQ(bw::test::readFile(target), "precious");
    EXPECT_EQ(bw::test::readFile(dir / "file"), "old");
    struct stat st {};
    EXPECT_EQ(lstat((dir / ".tmpname").c_str(), &st), 0); // not ours to remove
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(
        bw::writeFileAtomicallyVia(fd, "file", ".fresh", data, static_cast<uid_t>(-1), static_cast<gid_t>(-1), "test"));
    EXPECT_EQ(bw::test::readFile(dir / "file"), "new");
    EXPECT_NE(lstat((dir / ".fresh").c_str(), &st), 0);
    close(fd);
}

} // namespace
