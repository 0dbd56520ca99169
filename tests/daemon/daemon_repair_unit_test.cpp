// Permission repair as root for a throw-away user: the cache is handed over, and nothing planted in it
// (symbolic or hard links to system files) reaches anything outside.

#include "store/cache_index.h"
#include "daemon.h"
#include "daemon_runner.h"
#include "plist/reference_time.h"
#include "temp_dir.h"
#include "throwaway_user.h"

#include <acl/libacl.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <filesystem>

namespace fs = std::filesystem;
using namespace bw;
using bw::test::TempDir;
using bw::test::ThrowawayUser;
using bw::test::writeFile;

namespace {

struct Owner {
    uid_t uid;
    gid_t gid;
    mode_t mode;
};

Owner ownerOf(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return {static_cast<uid_t>(-1), static_cast<gid_t>(-1), 0};
    return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

void writeIndex(const std::string& batch, double lastAddition, bool repaired) {
    BWCacheIndex index;
    index.setIndexTable(BWIndexTable{});
    index.setCacheLastAdditionTime(lastAddition);
    index.setPermissionsRepaired(repaired);
    ASSERT_TRUE(writeCacheIndex(index, batch, 0, 0));
}

// Sets or clears the immutable flag; false when the file system has no flags.
bool setImmutable(const std::string& path, bool on) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return ok;
}

bool isImmutable(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int flags = 0;
    bool on = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL);
    if (fd >= 0)
        close(fd);
    return on;
}

} // namespace

TEST(DaemonRepair, ForeignHardLinksAndDeviceNodesAreLeftExactlyAsTheyAre) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to plant another owner's file and a device node";
    TempDir tmp("bw2repairforeign");
    const std::string system = tmp / "system";
    fs::create_directories(system);
    ASSERT_EQ(0, chmod(system.c_str(), 0700));
    // Someone else's file shared with one user through its access list; the group is kept out by the list,
    // while the group bits of the mode show the list's mask.
    const std::string shared = system + "/shared";
    writeFile(shared, "s");
    acl_t acl = acl_from_text("u::rw-,u:nobody:rw-,g::---,m::rw-,o::---");
    ASSERT_TRUE(acl);
    const bool acls = acl_set_file(shared.c_str(), ACL_TYPE_ACCESS, acl) == 0;
    acl_free(acl);

    const std::string batch = tmp / "batch";
    fs::create_directories(batch);
    ASSERT_EQ(0, link(shared.c_str(), (batch + "/HARD").c_str()));
    // Made immutable after the link was planted (a link to an immutable file cannot be made).
    const bool flags = setImmutable(shared, true);
    ASSERT_EQ(0, mknod((batch + "/DEVICE").c_str(), S_IFCHR | 0600, makedev(1, 3)));
    const Owner sharedBefore = ownerOf(shared);

    Daemon daemon;
    daemon.setDaemonUID(4000123);
    daemon.setRepairItemDelay(0);
    daemon.repairPermissions(batch);

    if (flags) {
        EXPECT_TRUE(isImmutable(shared)) << "the other owner's file keeps its immutable flag";
        setImmutable(shared, false);
    }
    const Owner sharedAfter = ownerOf(shared);
    EXPECT_EQ(sharedBefore.uid, sharedAfter.uid);
    EXPECT_EQ(sharedBefore.mode, sharedAfter.mode);
    if (acls) {
        EXPECT_EQ(1, acl_extended_file(shared.c_str())) << "the other owner's access list stays";
        acl_t now = acl_get_file(shared.c_str(), ACL_TYPE_ACCESS);
        char* text = now ? acl_to_any_text(now, nullptr, ',', TEXT_ABBREVIATE) : nullptr;
        EXPECT_NE(nullptr, text ? std::strstr(text, "g::---") : nullptr)
            << "the owning group must not gain the mask's rights: " << (text ? text : "");
        if (text)
            acl_free(text);
        if (now)
            acl_free(now);
    }
    // A device node made the user's would open that device to the user.
    EXPECT_EQ(0u, ownerOf(batch + "/DEVICE").uid);
    EXPECT_EQ(0600u, ownerOf(batch + "/DEVICE").mode);
}

TEST(DaemonRepair, HandsTheCacheToTheUserWithoutFollowingPlantedLinks) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another user";
    TempDir tmp("bw2repair");
    ThrowawayUser user(tmp / "userhome");
    ASSERT_TRUE(user.valid()) << "useradd failed";

    // The "system": root's files in a folder only root can enter.
    const std::string system = tmp / "system";
    fs::create_directories(system);
    ASSERT_EQ(0, chmod(system.c_str(), 0700));
    writeFile(system + "/secret", "s");
    ASSERT_EQ(0, chmod((system + "/secret").c_str(), 0600));
    writeFile(system + "/other", "o");
    ASSERT_EQ(0, chmod((system + "/other").c_str(), 0644));
    acl_t acl = acl_from_text("u::rw-,u:nobody:r--,g::---,m::r--,o::---");
    const bool acls = acl && acl_set_file((system + "/secret").c_str(), ACL_TYPE_ACCESS, acl) == 0;
    if (acl)
        acl_free(acl);
    const mode_t secretMode = ownerOf(system + "/secret").mode; // the list's mask shows in the group bits

    const std::string cache = tmp / "home/.Binwarden2Cache";
    const std::string old = cache + "/2026-01-01 10_00 +0000";
    const std::string recent = cache + "/2026-12-06 09_05 +0100";
    fs::create_directories(old + "/Folder/inner");
    fs::create_directories(recent);
    writeFile(old + "/FILE", "f");
    ASSERT_EQ(0, chmod((old + "/FILE").c_str(), 0600));
    writeFile(old + "/Folder/inner/deep", "d");
    fs::create_symlink(system + "/secret", old + "/LINK");
    fs::create_directory_symlink(system, old + "/DIRLINK");
    fs::create_directory_symlink(system, cache + "/planted");
    ASSERT_EQ(0, link((system + "/other").c_str(), (old + "/HARD").c_str()));
    writeFile(recent + "/NEW", "n");
    ASSERT_EQ(0, chmod((recent + "/NEW").c_str(), 0600));
    const double now = timeIntervalSinceReferenceDate();
    writeIndex(old, now - 60, false);
    writeIndex(recent, now, false);
    // The cache and what the user stored are the user's; one file of root's got in by a rename.
    for (const std::string& path : {cache, old, recent, old + "/FILE", old + "/Folder", old + "/Folder/inner",
                                    old + "/Folder/inner/deep", recent + "/NEW"})
        ASSERT_EQ(0, lchown(path.c_str(), user.uid(), user.gid())) << path;
    ASSERT_EQ(0, chmod((old + "/FILE").c_str(), 0640));
    writeFile(old + "/ROOTS", "root's");
    ASSERT_EQ(0, chmod((old + "/ROOTS").c_str(), 0600));

    Daemon daemon;
    daemon.setHomeFolder(tmp / "home");
    daemon.setDaemonUID(static_cast<std::int32_t>(user.uid()));
    daemon.setRepairItemDelay(0);
    daemon.repairPermissions(cache);

    // Outside the cache nothing changed.
    for (const char* name : {"secret", "other"}) {
        Owner o = ownerOf(system + "/" + name);
        EXPECT_EQ(0u, o.uid) << name;
        EXPECT_EQ(0u, o.gid) << name;
    }
    EXPECT_EQ(secretMode, ownerOf(system + "/secret").mode);
    EXPECT_EQ(0644u, ownerOf(system + "/other").mode);
    EXPECT_EQ(0700u, ownerOf(system).mode);
    EXPECT_EQ(0u, ownerOf(system).uid);
    if (acls) {
        EXPECT_EQ(1, acl_extended_file((system + "/secret").c_str())) << "the target's access list stays";
    }

    // Inside, the user's own items become the user's alone (0700); nothing changes hands: the links, the
    // file of root's and the second name of root's file keep their owner and mode.
    for (const std::string& path : {old + "/FILE", old + "/Folder", old + "/Folder/inner/deep", old}) {
        EXPECT_EQ(user.uid(), ownerOf(path).uid) << path;
        EXPECT_EQ(0700u, ownerOf(path).mode) << path;
    }
    EXPECT_EQ(user.gid(), ownerOf(old + "/FILE").gid);
    EXPECT_EQ(0u, ownerOf(old + "/LINK").uid);
    EXPECT_EQ(0u, ownerOf(cache + "/planted").uid);
    EXPECT_EQ(0u, ownerOf(old + "/ROOTS").uid) << "root's file is not given to the user";
    EXPECT_EQ(0600u, ownerOf(old + "/ROOTS").mode);
    EXPECT_EQ(0u, ownerOf(old + "/HARD").uid) << "a hard link to someone else's file is not given away";
    EXPECT_EQ(0644u, ownerOf(old + "/HARD").mode);
    EXPECT_TRUE(readCacheIndex(old)->permissionsRepaired());

    // The batch added to just now is not entered yet.
    EXPECT_EQ(user.uid(), ownerOf(recent).uid);
    EXPECT_EQ(0600u, ownerOf(recent + "/NEW").mode);
    EXPECT_FALSE(readCacheIndex(recent)->permissionsRepaired());
}

TEST(DaemonRepair, AfterATransferTheBatchItselfIsRepairedAtOnce) {
    TempDir tmp("bw2repair2");
    const std::string batch = tmp / "batch";
    fs::create_directories(batch + "/Stored");
    writeFile(batch + "/Stored/f", "x");
    ASSERT_EQ(0, chmod((batch + "/Stored/f").c_str(), 0644));
    writeIndex(batch, timeIntervalSinceReferenceDate(), false);
    Daemon daemon;
    daemon.setDaemonUID(static_cast<std::int32_t>(getuid()));
    daemon.setRepairItemDelay(0);
    daemon.repairPermissions(batch);
    EXPECT_EQ(0700u, ownerOf(batch + "/Stored/f").mode) << "the given folder's own index is not consulted";
    EXPECT_FALSE(readCacheIndex(batch)->permissionsRepaired());
}

TEST(DaemonRepair, APrivilegedDaemonWorksOnlyInBatchFoldersOfItsUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give folders to other users";
    // On a shared volume the cache folders of all users lie side by side in one folder that one of them
    // owns; that user can rename another user's cache into this user's place.
    TempDir tmp("bw2repairowner");
    const uid_t user = 4000123, other = 4000124;
    const std::string home = tmp / "home";
    const std::string trash = home + "/.local/share/Trash/files/";
    const std::string cache = home + "/.Binwarden2Cache";
    const std::string batch = cache + "/2026-12-06 09_05 +0100";
    fs::create_directories(trash);
    fs::create_directories(batch);
    ASSERT_EQ(0, chown(cache.c_str(), user, 0));
    ASSERT_EQ(0, chown(batch.c_str(), other, 0));
    writeFile(batch + "/THEIRS", "theirs");
    ASSERT_EQ(0, chown((batch + "/THEIRS").c_str(), other, 0));
    ASSERT_EQ(0, chmod((batch + "/THEIRS").c_str(), 0600));
    writeFile(trash + "mine.txt", "mine");

    Daemon daemon;
    daemon.setHomeFolder(home);
    daemon.setTrashPath(trash);
    daemon.setTrashCachePath(home + "/");
    daemon.setDaemonUID(static_cast<std::int32_t>(user));
    daemon.setPrivileged(true);
    daemon.setRunningMode(1);
    daemon.setRepairItemDelay(0);
    daemon.setTerminationDelayScale(0);

    daemon.repairPermissions(batch);
    EXPECT_EQ(other, ownerOf(batch + "/THEIRS").uid) << "another user's item was handed over";
    EXPECT_EQ(0600u, ownerOf(batch + "/THEIRS").mode);

    daemon.setRunningStatus(Daemon::kTransferring);
    daemon.moveDataFromTrashToCache({batch, {"mine.txt"}});
    daemon.joinRepairs(false);
    EXPECT_TRUE(fs::exists(trash + "mine.txt")) << "the item went into another user's batch";
    EXPECT_EQ(other, ownerOf(batch + "/THEIRS").uid);
}

namespace {

std::size_t openDescriptors() {
    std::size_t n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++n;
        closedir(dir);
    }
    return n;
}

} // namespace

TEST(DaemonRepair, AVeryDeepFolderDoesNotUseUpTheDescriptors) {
    TempDir tmp("bw2deep");
    const std::string cache = tmp / "cache";
    fs::create_directories(cache);
    // A chain of folders far deeper than any real tree, with a file of the user's near the top.
    constexpr int kDepth = 1500;
    {
        UniqueFd level(open(cache.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int i = 0; i < kDepth && level; ++i) {
            ASSERT_EQ(0, mkdirat(level.get(), "d", 0755));
            if (i == 3) {
                UniqueFd file(openat(level.get(), "shallow", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            }
            level = UniqueFd(openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
    }

    Daemon daemon;
    daemon.setDaemonUID(static_cast<std::int32_t>(getuid()));
    daemon.setRepairItemDelay(0.0002);
    const std::size_t baseline = openDescriptors();
    std::atomic<bool> done{false};
    std::thread walk([&] {
        daemon.repairPermissions(cache);
        done = true;
    });
    // Sampled while the walk goes down the chain; the deepest point is held for a while (one pause per level).
    std::size_t peak = baseline;
    while (!done) {
        peak = std::max(peak, openDescriptors());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    walk.join();
    EXPECT_LT(peak - baseline, static_cast<std::size_t>(2 * kMaxWalkDepth + 16)) << "peak " << peak;
    EXPECT_EQ(0700u, ownerOf(cache + "/d/d/d/shallow").mode) << "the ordinary depths are still repaired";
}
