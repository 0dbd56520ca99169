// The batch transfer: the items' outcomes, the write-ahead index under the batch's lock, the minute going
// on in a new part, and final index writes that wait for the lock. Directly, and through the daemon.

#include "batch_transfer.h"
#include "daemon_transfer_fixture.h"
#include "files/copy_file.h"
#include "plist/reference_time.h"
#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using namespace bw;
using bw::test::DaemonTransferTest;
using bw::test::readFile;
using bw::test::TempDir;
using bw::test::writeFile;

namespace {

using Outcome = TransferItem::Outcome;

struct BatchCase {
    const char* what;
    bool copy;
    bool volumeFull;    // the space check refuses every write
    bool trashUnopened; // the trash folder could not be opened
    bool foreignBatch;  // privileged, and the batch folder is not the owner's
    std::vector<std::string> names; // "missing" is not in the trash
    std::vector<Outcome> expected;
    bool success;
    bool itemsLeft;
};

std::vector<TransferItem> itemsNamed(const std::vector<std::string>& names) {
    std::vector<TransferItem> items;
    const double now = timeIntervalSinceReferenceDate();
    for (const std::string& name : names) {
        TransferItem& item = items.emplace_back();
        item.storedName = newStoredItemName();
        item.name = name;
        item.date = now;
        item.originalPath = "/home/ann/" + name;
    }
    return items;
}

} // namespace

TEST(BatchTransfer, EachItemEndsStoredFailedOrLeftForALaterSurvey) {
    const std::vector<BatchCase> cases = {
        {"moves, one item gone meanwhile", false, false, false, false, {"a", "missing", "b"},
         {Outcome::Stored, Outcome::Left, Outcome::Stored}, false, true},
        {"copies, one item gone meanwhile", true, false, false, false, {"a", "missing"},
         {Outcome::Stored, Outcome::Failed}, false, false},
        {"copies on a full volume: kept for when there is room", true, true, false, false, {"a", "b"},
         {Outcome::Left, Outcome::Left}, false, true},
        {"the trash cannot be opened", false, false, true, false, {"a"}, {Outcome::Left}, false, true},
        {"someone else's folder in the batch's place", false, false, false, true, {"a", "b"},
         {Outcome::Left, Outcome::Left}, false, true},
    };
    for (const BatchCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp("bw2batch");
        const std::string trash = tmp / "Trash/files";
        const std::string cache = tmp / "cache";
        const std::string batch = cache + "/2026-12-06 09_05 +0100";
        fs::create_directories(trash);
        fs::create_directories(batch);
        for (const std::string& name : c.names)
            if (name != "missing")
                writeFile(trash + "/" + name, "content of " + name);

        BatchTransfer transfer;
        BatchTransfer::Setup setup;
        setup.owner = c.foreignBatch ? ::getuid() + 1 : ::getuid();
        setup.privileged = c.foreignBatch;
        setup.trashPath = trash;
        setup.spaceCheck = [full = c.volumeFull](int) { return !full; };
        transfer.configure(setup);
        UniqueFd cacheFd(::open(cache.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        UniqueFd trashFd(c.trashUnopened ? -1 : ::open(trash.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        std::vector<TransferItem> items = itemsNamed(c.names);
        const TransferOutcome outcome =
            transfer.store(cacheFd.get(), trashFd.get(), c.trashUnopened ? -EACCES : 0, -1, batch, items, c.copy);

        std::vector<Outcome> got;
        for (const TransferItem& item : items)
            got.push_back(item.outcome);
        EXPECT_EQ(c.expected, got);
        EXPECT_EQ(c.success, outcome.success);
        EXPECT_EQ(c.itemsLeft, outcome.itemsLeft);
        EXPECT_EQ(c.volumeFull, outcome.volumeFull);

        // Stored items are in the batch and listed with where they came from; no other item is either.
        const std::optional<BWCacheIndex> index = readCacheIndex(batch);
        const std::size_t stored = std::count(got.begin(), got.end(), Outcome::Stored);
        EXPECT_EQ(stored ? std::vector<std::string>{batch} : std::vector<std::string>{}, outcome.storedBatches);
        EXPECT_EQ(stored, index && index->indexTable() ? index->indexTable()->size() : 0u);
        for (const TransferItem& item : items) {
            const bool listed = index && index->indexTable() && index->indexTable()->count(item.storedName);
            EXPECT_EQ(item.outcome == Outcome::Stored, listed) << item.name;
            EXPECT_EQ(item.outcome == Outcome::Stored, fs::exists(batch + "/" + item.storedName)) << item.name;
            if (listed) {
                EXPECT_EQ("/home/ann/" + item.name, index->indexTable()->at(item.storedName).originalPath.value_or(""));
            }
            if (item.name != "missing") {
                EXPECT_EQ(c.copy || item.outcome != Outcome::Stored, fs::exists(trash + "/" + item.name)) << item.name;
            }
        }
    }
}

TEST(BatchTransfer, OnlyTheBatchBeingFilledCountsAsActive) {
    TempDir tmp("bw2batch");
    const std::string trash = tmp / "Trash/files";
    const std::string batch = tmp / "cache/2026-12-06 09_05 +0100";
    const std::string other = tmp / "cache/2026-12-06 09_04 +0100";
    fs::create_directories(trash);
    fs::create_directories(batch);
    fs::create_directories(other);
    writeFile(trash + "/a", "a");
    UniqueFd batchFd(::open(batch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd otherFd(::open(other.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd trashFd(::open(trash.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

    BatchTransfer transfer;
    BatchTransfer::Setup setup;
    setup.owner = ::getuid();
    setup.spaceCheck = [](int) { return true; };
    transfer.configure(setup);
    bool activeWhileFilled = false, otherActive = true;
    transfer.setBeforeFinishHook([&] {
        activeWhileFilled = transfer.isActiveBatch(batchFd.get());
        otherActive = transfer.isActiveBatch(otherFd.get());
    });
    std::vector<TransferItem> items = itemsNamed({"a"});
    transfer.store(-1, trashFd.get(), 0, -1, batch, items, false);
    EXPECT_TRUE(activeWhileFilled);
    EXPECT_FALSE(otherActive);
    EXPECT_FALSE(transfer.isActiveBatch(batchFd.get())) << "a finished transfer fills nothing";
}

TEST_F(DaemonTransferTest, TheIndexIsWrittenUnderTheBatchLockAndKeepsOtherWritersEntries) {
    writeFile(batch + "/APP-ITEM", "app");
    BWCacheIndex start;
    start.setCacheCreationTime(100);
    start.setIndexTable(BWIndexTable{{"APP-ITEM", {"kept.txt", 5.0}}});
    ASSERT_TRUE(writeCacheIndex(start, batch, static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    writeFile(trash + "new.txt", "fresh");
    writeFile(info + "new.txt.trashinfo", "[Trash Info]\n");

    std::thread transfer;
    {
        // The application holds the lock: the transfer waits, then sees what the application wrote.
        BatchFolderLock appLock(batch);
        ASSERT_TRUE(appLock.isLocked());
        daemon.setRunningStatus(Daemon::kTransferring);
        transfer = std::thread([&] { daemon.moveDataFromTrashToCache({batch, {"new.txt"}}); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(fs::exists(trash + "new.txt")) << "nothing moves before the write-ahead entry is in the index";
        std::optional<BWCacheIndex> current = readCacheIndex(batch);
        ASSERT_TRUE(current);
        BWIndexTable table = *current->indexTable();
        writeFile(batch + "/APP-ITEM-2", "app2");
        table["APP-ITEM-2"] = {"added by the application.txt", 6.0};
        current->setIndexTable(table);
        ASSERT_TRUE(writeCacheIndex(*current, batch, static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    }
    transfer.join();
    EXPECT_EQ(Daemon::kWaiting, daemon.runningStatus());

    std::optional<BWCacheIndex> index = readCacheIndex(batch);
    ASSERT_TRUE(index && index->indexTable());
    const BWIndexTable& table = *index->indexTable();
    EXPECT_EQ(3u, table.size());
    EXPECT_TRUE(table.count("APP-ITEM"));
    EXPECT_TRUE(table.count("APP-ITEM-2"));
    std::string stored;
    for (auto& [name, entry] : table)
        if (entry.realName == "new.txt")
            stored = name;
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ("fresh", readFile(batch + "/" + stored));
    EXPECT_FALSE(fs::exists(info + "new.txt.trashinfo"));
    EXPECT_EQ(100.0, index->cacheCreationTime()) << "the creation time of the first index stays";
    EXPECT_EQ(3u + 4u + 5u, index->cacheSize());
}


TEST_F(DaemonTransferTest, AnUnreadableIndexIsReplacedByANewOne) {
    writeFile(batch + "/" + kCacheIndexFileName, "not an index");
    writeFile(trash + "x", "12345");
    daemon.setRunningStatus(Daemon::kTransferring);
    const double before = timeIntervalSinceReferenceDate();
    daemon.moveDataFromTrashToCache({batch, {"x", "missing"}});
    std::optional<BWCacheIndex> index = readCacheIndex(batch);
    ASSERT_TRUE(index && index->indexTable());
    EXPECT_EQ(1u, index->indexTable()->size()) << "a failed move leaves no entry";
    EXPECT_GE(index->cacheCreationTime(), std::floor(before));
    EXPECT_EQ(5u, index->cacheSize());
    // The unreadable one is not written over: it stays beside the new index, for recovery tools.
    int aside = 0;
    for (const auto& entry : fs::directory_iterator(batch)) {
        if (entry.path().filename().string().rfind(kUnreadableIndexPrefix, 0) == 0) {
            ++aside;
            EXPECT_EQ("not an index", readFile(entry.path().string()));
        }
    }
    EXPECT_EQ(1, aside);
}


TEST_F(DaemonTransferTest, AMoveAcrossFileSystemsCopiesThenRemovesTheOriginal) {
    struct stat shm, here;
    if (stat("/dev/shm", &shm) != 0 || stat(home.c_str(), &here) != 0 || shm.st_dev == here.st_dev)
        GTEST_SKIP() << "needs /dev/shm on another file system";
    TempDir otherVolume("bw2shm");
    const std::string other = "/dev/shm/" + fs::path(otherVolume.path()).filename().string();
    fs::create_directories(other + "/Trash/files/tree/sub");
    fs::create_directories(other + "/Trash/info");
    writeFile(other + "/Trash/files/tree/sub/f", "far away");
    fs::create_symlink("sub/f", other + "/Trash/files/tree/link");
    writeFile(other + "/Trash/info/tree.trashinfo", "[Trash Info]\n");
    daemon.setTrashPath(other + "/Trash/files/");
    // A trash outside the home folder keeps its cache in a per-user folder of the cache root.
    daemon.setTrashCachePath(home + "/volume/");
    fs::create_directories(daemon.cacheFolder());
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, {"tree"}});
    EXPECT_FALSE(fs::exists(other + "/Trash/files/tree"));
    EXPECT_FALSE(fs::exists(other + "/Trash/info/tree.trashinfo"));
    fs::remove_all(other);

    std::optional<BWCacheIndex> index = readCacheIndex(batch);
    ASSERT_TRUE(index && index->indexTable());
    ASSERT_EQ(1u, index->indexTable()->size());
    const std::string stored = batch + "/" + index->indexTable()->begin()->first;
    EXPECT_EQ("far away", readFile(stored + "/sub/f"));
    EXPECT_TRUE(fs::is_symlink(stored + "/link"));
}


TEST_F(DaemonTransferTest, AMoveAcrossFileSystemsWhoseOriginalCannotBeRemovedWholeKeepsItsCopy) {
    struct stat shm, here;
    if (stat("/dev/shm", &shm) != 0 || stat(home.c_str(), &here) != 0 || shm.st_dev == here.st_dev)
        GTEST_SKIP() << "needs /dev/shm on another file system";
    TempDir otherVolume("bw2shm");
    const std::string other = "/dev/shm/" + fs::path(otherVolume.path()).filename().string();
    fs::create_directories(other + "/Trash/files/tree");
    fs::create_directories(other + "/Trash/info");
    writeFile(other + "/Trash/files/tree/removable", "only copy left");
    const std::string stuck = other + "/Trash/files/tree/stuck";
    writeFile(stuck, "stays");
    // An immutable file cannot be removed, even by root: the original goes only in part.
    int fd = open(stuck.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool immutable = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                           (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0)
        close(fd);
    if (!immutable) {
        fs::remove_all(other);
        GTEST_SKIP() << "needs root and a file system with the immutable flag";
    }
    daemon.setTrashPath(other + "/Trash/files/");
    daemon.setTrashCachePath(home + "/volume/");
    fs::create_directories(daemon.cacheFolder());
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, {"tree"}});

    const bool removableLeft = fs::exists(other + "/Trash/files/tree/removable");
    Daemon::setLock(false, stuck);
    fs::remove_all(other);

    // Whatever left the trash is in the cache, listed under its trash name.
    std::optional<BWCacheIndex> index = readCacheIndex(batch);
    std::string stored;
    if (index && index->indexTable())
        for (const auto& [name, entry] : *index->indexTable())
            if (entry.realName == "tree")
                stored = batch + "/" + name;
    if (!removableLeft) {
        ASSERT_FALSE(stored.empty()) << "the file removed from the trash is in no index";
        EXPECT_EQ("only copy left", readFile(stored + "/removable"));
        EXPECT_EQ("stays", readFile(stored + "/stuck"));
    }
}


TEST_F(DaemonTransferTest, NothingLeavesTheTrashWhenTheIndexCannotBeWritten) {
    // A folder in the index's place: no index can be written in this batch.
    fs::create_directories(batch + "/" + kCacheIndexFileName);
    writeFile(trash + "kept.txt", "keep me");
    writeFile(info + "kept.txt.trashinfo", "[Trash Info]\n");
    writeFile(trash + "copied.txt", "copy me");

    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, {"kept.txt"}});
    EXPECT_EQ("keep me", readFile(trash + "kept.txt")) << "a moved item that no index lists is lost to the user";
    EXPECT_TRUE(fs::exists(info + "kept.txt.trashinfo"));

    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.copyDataFromTrashToCache({batch, {"copied.txt"}});
    std::size_t stored = 0;
    for (const auto& entry : fs::directory_iterator(batch))
        if (entry.path().filename() != kCacheIndexFileName)
            ++stored;
    EXPECT_EQ(0u, stored) << "no unlisted copy is left in the batch";
}


namespace {

// Every stored item of the cache's batch folders, and every entry of their indexes (stored name -> name).
struct CacheContent {
    std::map<std::string, std::string> listed;
    std::set<std::string> stored;
    std::vector<std::string> folders;
};

CacheContent contentOf(const std::string& cache) {
    CacheContent content;
    for (const auto& folder : fs::directory_iterator(cache)) {
        if (!folder.is_directory())
            continue;
        content.folders.push_back(folder.path().filename().string());
        if (auto index = readCacheIndex(folder.path().string()); index && index->indexTable())
            for (const auto& [storedName, entry] : *index->indexTable())
                content.listed.emplace(storedName, entry.realName);
        for (const auto& item : fs::directory_iterator(folder.path()))
            if (!isCacheIndexFileName(item.path().filename().string()))
                content.stored.insert(item.path().filename().string());
    }
    std::sort(content.folders.begin(), content.folders.end());
    return content;
}

} // namespace

TEST_F(DaemonTransferTest, ABatchPastTheIndexLimitGoesOnInANewFolderOfItsMinute) {
    // Room for a handful of entries per folder: 30 items need several parts, over two transfers.
    daemon.setIndexSizeLimit(4096 + 4 * BWCacheIndex::archivedEntryBound(newStoredItemName(), "item 00"));
    std::vector<std::string> first, second;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "item " + std::string(i < 10 ? "0" : "") + std::to_string(i);
        writeFile(trash + name, "x");
        (i < 18 ? first : second).push_back(name);
    }
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, first});
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, second});

    const CacheContent content = contentOf(cache);
    EXPECT_EQ(30u, content.stored.size());
    ASSERT_EQ(30u, content.listed.size()) << "every stored item is listed";
    std::set<std::string> names;
    for (const auto& [storedName, name] : content.listed) {
        EXPECT_TRUE(content.stored.count(storedName));
        names.insert(name);
    }
    EXPECT_EQ(30u, names.size());
    ASSERT_GE(content.folders.size(), 4u);
    for (const std::string& folder : content.folders)
        EXPECT_EQ("2026-12-06 09_05 +0100", batchNameOfFolder(folder)) << folder;
    EXPECT_EQ("2026-12-06 09_05 +0100 002", content.folders[1]);
    for (const auto& entry : fs::directory_iterator(trash))
        ADD_FAILURE() << "left in the trash: " << entry.path();
}


TEST_F(DaemonTransferTest, AnIndexMadeUnreadableMidBatchIsKeptAsideAndNewEntriesGoToAFreshOne) {
    writeFile(trash + "before.txt", "1");
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, {"before.txt"}});
    ASSERT_EQ(1u, readCacheIndex(batch)->indexTable()->size());
    const std::string garbled = "\x78\x9c garbled by a disk or by someone";
    writeFile(batch + "/" + kCacheIndexFileName, garbled);

    writeFile(trash + "after.txt", "2");
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, {"after.txt"}});
    std::optional<BWCacheIndex> index = readCacheIndex(batch);
    ASSERT_TRUE(index && index->indexTable());
    ASSERT_EQ(1u, index->indexTable()->size());
    EXPECT_EQ("after.txt", index->indexTable()->begin()->second.realName);
    int aside = 0;
    for (const auto& entry : fs::directory_iterator(batch))
        if (entry.path().filename().string().rfind(kUnreadableIndexPrefix, 0) == 0 &&
            readFile(entry.path().string()) == garbled)
            ++aside;
    EXPECT_EQ(1, aside);
    EXPECT_EQ(2u, contentOf(cache).stored.size()) << "the item the garbled index named stays in the batch";
}


TEST_F(DaemonTransferTest, NoIndexIsWrittenWithoutTheBatchLock) {
    daemon.setBatchLockWait(std::chrono::milliseconds(50));
    writeFile(trash + "waits.txt", "w");
    {
        // Another program holds the lock past the daemon's wait: nothing moves and nothing is written.
        BatchFolderLock holder(batch);
        ASSERT_TRUE(holder.isLocked());
        daemon.setRunningStatus(Daemon::kTransferring);
        daemon.moveDataFromTrashToCache({batch, {"waits.txt"}});
        EXPECT_TRUE(fs::exists(trash + "waits.txt"));
        EXPECT_FALSE(fs::exists(batch + "/" + kCacheIndexFileName));
    }
    // Once it is free, the next transfer stores and lists the item.
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, {"waits.txt"}});
    EXPECT_FALSE(fs::exists(trash + "waits.txt"));
    ASSERT_EQ(1u, readCacheIndex(batch)->indexTable()->size());
    EXPECT_EQ(0u, daemon.pendingIndexWrites());
}


TEST_F(DaemonTransferTest, AFinalIndexWriteThatFindsTheLockTakenWaitsInMemoryAndIsWrittenLater) {
    daemon.setBatchLockWait(std::chrono::milliseconds(50));
    std::unique_ptr<BatchFolderLock> holder;
    // Another program takes the lock between the write-ahead and the final write.
    daemon.setBeforeFinishHook([&] { holder = std::make_unique<BatchFolderLock>(batch); });
    writeFile(trash + "sized.txt", "123456");
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, {"sized.txt"}});
    ASSERT_TRUE(holder && holder->isLocked());
    EXPECT_EQ(1u, daemon.pendingIndexWrites());
    std::optional<BWCacheIndex> ahead = readCacheIndex(batch);
    ASSERT_TRUE(ahead && ahead->indexTable());
    EXPECT_EQ(1u, ahead->indexTable()->size()) << "the stored item is listed by the write-ahead index";
    EXPECT_EQ(0u, ahead->cacheSize());

    // Still locked: the next survey tries, and keeps the write for later.
    daemon.setBeforeFinishHook({});
    daemon.setRunningStatus(Daemon::kWaiting);
    daemon.daemonIteration();
    EXPECT_EQ(1u, daemon.pendingIndexWrites());
    holder.reset();
    daemon.daemonIteration();
    EXPECT_EQ(0u, daemon.pendingIndexWrites());
    std::optional<BWCacheIndex> finished = readCacheIndex(batch);
    ASSERT_TRUE(finished && finished->indexTable());
    EXPECT_EQ(1u, finished->indexTable()->size());
    EXPECT_EQ(6u, finished->cacheSize());
}
