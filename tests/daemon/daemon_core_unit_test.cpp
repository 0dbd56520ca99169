// The Daemon's pieces called directly: cache folder rule, the transfer against a concurrent
// index writer, and the start-up recovery.

#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "daemon.h"
#include "files/copy_file.h"
#include "bus/notification_bus.h"
#include "plist/reference_time.h"
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
using bw::test::readFile;
using bw::test::TempDir;
using bw::test::writeFile;

TEST(DaemonCacheFolder, HomeAndVolumeLayouts) {
    Daemon daemon;
    daemon.setHomeFolder("/home/u");
    daemon.setDaemonUID(1000);
    daemon.setTrashPath("/home/u/.local/share/Trash/files/");
    daemon.setTrashCachePath("/home/u/");
    EXPECT_EQ("/home/u/.Binwarden2Cache", daemon.cacheFolder());
    daemon.setTrashPath("/media/disk/.Trash-1000/files/");
    daemon.setTrashCachePath("/media/disk/");
    EXPECT_EQ("/media/disk/.Binwarden2Cache/1000", daemon.cacheFolder());
}

TEST(DaemonCacheFolder, MadeTheUsersAloneInBothLayoutsWithoutPrivileges) {
    TempDir tmp("bw2layout");
    struct Case {
        std::string trash, root, cache;
    };
    const std::string home = tmp / "home", mount = tmp / "vol";
    const std::string uid = std::to_string(getuid());
    for (const Case& c : {Case{home + "/.local/share/Trash/files/", home + "/", home + "/.Binwarden2Cache"},
                          Case{mount + "/.Trash-" + uid + "/files/", mount + "/",
                               mount + "/.Binwarden2Cache/" + uid}}) {
        SCOPED_TRACE(c.cache);
        fs::create_directories(c.trash);
        Daemon daemon;
        daemon.setHomeFolder(home);
        daemon.setTrashPath(c.trash);
        daemon.setTrashCachePath(c.root);
        daemon.setDaemonUID(static_cast<std::int32_t>(getuid()));
        daemon.setRepairItemDelay(0);
        EXPECT_TRUE(daemon.launchDaemon());
        daemon.joinRepairs(true);
        struct stat st;
        ASSERT_EQ(0, stat(c.cache.c_str(), &st));
        EXPECT_EQ(0700u, st.st_mode & 07777);
        EXPECT_EQ(getuid(), st.st_uid);
    }
}

namespace {

class DaemonTransferTest : public ::testing::Test {
protected:
    TempDir tmp{"bw2transfer"};
    std::string home = tmp.path();
    std::string trash = home + "/.local/share/Trash/files/";
    std::string info = home + "/.local/share/Trash/info/";
    std::string cache = home + "/.Binwarden2Cache";
    std::string batch = cache + "/2026-12-06 09_05 +0100";
    Daemon daemon;

    void SetUp() override {
        fs::create_directories(trash);
        fs::create_directories(info);
        fs::create_directories(batch);
        daemon.setHomeFolder(home);
        daemon.setTrashPath(trash);
        daemon.setTrashCachePath(home + "/");
        daemon.setDaemonUID(static_cast<std::int32_t>(getuid()));
        daemon.setRunningMode(1);
        daemon.setRepairItemDelay(0);
        daemon.setTerminationDelayScale(0);
    }
    void TearDown() override { daemon.joinRepairs(true); }
};

} // namespace

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

TEST_F(DaemonTransferTest, CopyModeSkipsKnownItemsAndLeavesTheIndexAsItWas) {
    writeFile(trash + "a", "aaa");
    daemon.setRunningMode(2);
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.copyDataFromTrashToCache({batch, {"a"}});
    ASSERT_EQ(1u, readCacheIndex(batch)->indexTable()->size());
    EXPECT_EQ(1u, daemon._alreadyAdded().size());
    EXPECT_EQ(daemon.keyForItem(trash + "a"), daemon._alreadyAdded().begin()->first);

    // The same item again: nothing new was copied, so the index is not written again (readers see the
    // same content); a new item then rewrites it with a fresh size and addition time.
    writeFile(batch + "/extra", "12");
    const double firstAddition = readCacheIndex(batch)->cacheLastAdditionTime();
    // The repair started by the first copy may change the file's status (owner, mode), not the file.
    struct stat written {};
    ASSERT_EQ(0, ::stat((batch + "/" + kCacheIndexFileName).c_str(), &written));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    daemon.copyDataFromTrashToCache({batch, {"a"}});
    std::optional<BWCacheIndex> index = readCacheIndex(batch);
    EXPECT_EQ(1u, index->indexTable()->size());
    EXPECT_EQ(3u, index->cacheSize());
    EXPECT_EQ(index->cacheLastAdditionTime(), firstAddition);
    struct stat now {};
    ASSERT_EQ(0, ::stat((batch + "/" + kCacheIndexFileName).c_str(), &now));
    EXPECT_EQ(written.st_ino, now.st_ino) << "the index was written again";
    EXPECT_EQ(written.st_mtim.tv_nsec, now.st_mtim.tv_nsec);
    EXPECT_TRUE(fs::exists(trash + "a"));

    writeFile(trash + "b", "bbbb");
    daemon.copyDataFromTrashToCache({batch, {"a", "b"}});
    index = readCacheIndex(batch);
    EXPECT_EQ(2u, index->indexTable()->size());
    EXPECT_EQ(3u + 2u + 4u, index->cacheSize());
    EXPECT_GT(index->cacheLastAdditionTime(), firstAddition);
}

TEST_F(DaemonTransferTest, StartUpRecoveryDropsMissingItemsAndLeftoversOfUnrepairedBatchesOnly) {
    writeFile(batch + "/PRESENT", "p");
    fs::create_directories(batch + "/" + KOR_CopyFile::getKOREVTemporaryFile() + "/part");
    BWCacheIndex open;
    open.setIndexTable(BWIndexTable{{"PRESENT", {"p.txt", 1.0}}, {"PLANNED", {"never arrived.txt", 1.0}}});
    ASSERT_TRUE(writeCacheIndex(open, batch, static_cast<uid_t>(-1), static_cast<gid_t>(-1)));

    const std::string repaired = cache + "/2026-12-05 08_00 +0100";
    fs::create_directories(repaired);
    BWCacheIndex done;
    done.setPermissionsRepaired(true);
    done.setIndexTable(BWIndexTable{{"GONE", {"deleted by hand.txt", 1.0}}});
    ASSERT_TRUE(writeCacheIndex(done, repaired, static_cast<uid_t>(-1), static_cast<gid_t>(-1)));

    daemon.recoverInterruptedBatches();
    std::optional<BWCacheIndex> index = readCacheIndex(batch);
    ASSERT_TRUE(index && index->indexTable());
    EXPECT_EQ(1u, index->indexTable()->size());
    EXPECT_TRUE(index->indexTable()->count("PRESENT"));
    EXPECT_FALSE(fs::exists(batch + "/" + KOR_CopyFile::getKOREVTemporaryFile()));
    EXPECT_EQ(1u, readCacheIndex(repaired)->indexTable()->size()) << "repaired batches are left alone";
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

TEST_F(DaemonTransferTest, ABatchAddedToWhileItsRepairWalksIsNotMarkedRepaired) {
    BWIndexTable table;
    for (const char* name : {"A", "B", "C"}) {
        writeFile(batch + "/" + name, name);
        table[name] = {std::string(name) + ".txt", 1.0};
    }
    BWCacheIndex old;
    old.setIndexTable(table);
    old.setCacheLastAdditionTime(timeIntervalSinceReferenceDate() - 60);
    ASSERT_TRUE(writeCacheIndex(old, batch, static_cast<uid_t>(-1), static_cast<gid_t>(-1)));
    writeFile(trash + "late.txt", "late");

    // The walk takes 0.2 s per item: the batch itself, then its three items.
    daemon.setRepairItemDelay(0.2);
    std::thread repair([&] { daemon.repairPermissions(cache); });
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, {"late.txt"}});
    repair.join();

    std::optional<BWCacheIndex> index = readCacheIndex(batch);
    ASSERT_TRUE(index && index->indexTable());
    EXPECT_EQ(4u, index->indexTable()->size());
    EXPECT_FALSE(index->permissionsRepaired()) << "its last addition is less than 10 seconds old";
}

TEST_F(DaemonTransferTest, AStopRequestForgetsOnlyEntriesOlderThanTheCacheLife) {
    const double now = timeIntervalSinceReferenceDate();
    daemon.set_alreadyAdded({{"recent", now - 2 * 86400.0}, {"old", now - 40 * 86400.0}});
    Notification request;
    request.object = std::to_string(getuid());
    request.senderUid = getuid();
    // A cache life beyond the range of a 32-bit count is still a long one, not one day.
    daemon.setNbDaysInCache((std::int64_t{1} << 32) + 1);
    daemon.mustStopNotification(request);
    EXPECT_EQ(2u, daemon._alreadyAdded().size());
    daemon.set_alreadyAdded({{"recent", now - 2 * 86400.0}, {"old", now - 40 * 86400.0}});
    daemon.setNbDaysInCache(30);
    daemon.mustStopNotification(request);
    EXPECT_EQ(1u, daemon._alreadyAdded().count("recent"));
    EXPECT_EQ(0u, daemon._alreadyAdded().count("old"));
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
