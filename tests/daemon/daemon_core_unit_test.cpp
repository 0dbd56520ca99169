// The Daemon's pieces called directly: cache folder rule, copy mode's added list, the start-up recovery
// and the stop request.

#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "daemon.h"
#include "daemon_transfer_fixture.h"
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
using bw::test::DaemonTransferTest;
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

