// bw2daemon started the way the helper starts it: effective uid 0, real uid a throw-away user.

#include "store/added_list.h"
#include "daemon_e2e_fixture.h"
#include "launch_validation.h"
#include "plist/reference_time.h"
#include "throwaway_user.h"

#include <sys/stat.h>

namespace bw::test {

namespace {

void giveTree(const std::string& path, uid_t uid, gid_t gid) {
    std::string failed;
    ASSERT_TRUE(bw::test::chownTree(path, uid, gid, &failed)) << failed;
}

uid_t ownerOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

} // namespace

class DaemonPrivileged : public ::testing::Test {
protected:
    PrivateBus bus;
    BusRecorder recorder;
    TempDir tmp{"bw2priv"};

    void SetUp() override {
        ASSERT_TRUE(bus.ok());
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to start the daemon with a real uid of another user";
    }
};

TEST_F(DaemonPrivileged, ARefusedLaunchExitsWithoutTouchingAnything) {
    ThrowawayUser user(tmp / "home");
    ASSERT_TRUE(user.valid());
    const std::string userHome = tmp / "home";
    const std::string trash = tmp / "Trash/files/";
    makeDirs(trash);
    writeFile(trash + "root-owned", "r");
    const std::string uidText = std::to_string(user.uid());
    // Not the user's trash; then the user's uid argument replaced by root's.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"1", trash, tmp.path() + "/", "0", "0", "1", uidText, "3"},
          std::vector<std::string>{"1", userHome + "/.local/share/Trash/files/", userHome + "/", "0", "0", "1", "0",
                                   "3"}}) {
        DaemonProcess daemon = DaemonProcess::start(args, {}, tmp / "log", user.uid());
        EXPECT_EQ(std::optional<int>(0), daemon.waitExit(10));
    }
    EXPECT_FALSE(fs::exists(tmp / ".Binwarden2Cache"));
    EXPECT_FALSE(fs::exists(userHome + "/.Binwarden2Cache"));
    EXPECT_TRUE(fs::exists(trash + "root-owned"));
    EXPECT_TRUE(recorder.named(notif::kCacheUpdateSilent).empty());
}

TEST_F(DaemonPrivileged, LinksPlantedInTheCacheNeverReachSystemFiles) {
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    const std::string home = tmp / "home";
    ThrowawayUser user(home);
    ASSERT_TRUE(user.valid());
    const std::string trash = home + "/.local/share/Trash/files/";
    const std::string cache = home + "/.Binwarden2Cache";
    makeDirs(trash);
    makeDirs(home + "/.local/share/Trash/info");
    writeFile(trash + "mine.txt", "mine");

    // The user plants links to root's files in an old batch and at the top of the cache.
    const std::string system = tmp / "system";
    makeDirs(system, 0700);
    writeFile(system + "/shadow", "root only");
    ASSERT_EQ(0, chmod((system + "/shadow").c_str(), 0600));
    const std::string old = cache + "/2026-01-01 10_00 +0000";
    makeDirs(old, 0750);
    BWCacheIndex index;
    index.setIndexTable(BWIndexTable{{"LINK", {"link", 1.0}}});
    index.setCacheLastAdditionTime(timeIntervalSinceReferenceDate() - 3600);
    ASSERT_TRUE(writeCacheIndex(index, old, user.uid(), user.gid()));
    fs::create_symlink(system + "/shadow", old + "/LINK");
    fs::create_directory_symlink(system, cache + "/planted");
    giveTree(home, user.uid(), user.gid());
    ASSERT_EQ(0, chmod(home.c_str(), 0755));

    const std::vector<std::string> args{"1", trash, home + "/", "0", "0", "1", std::to_string(user.uid()), "3"};
    std::string reason;
    if (!validateDaemonArguments(args, user.uid(), &reason))
        GTEST_SKIP() << "the launch check refuses this setup (" << reason << ")";

    DaemonProcess daemon = DaemonProcess::start(args, {}, tmp / "log", user.uid());
    ASSERT_TRUE(recorder.waitFor(notif::kNewDataInCache, 10));
    EXPECT_EQ(cache, recorder.named(notif::kNewDataInCache)[0].stringInfo["cachePathKey"]);
    ASSERT_TRUE(eventually([&] { return readCacheIndex(old) && readCacheIndex(old)->permissionsRepaired(); }, 10));
    daemon.signal(SIGTERM);
    EXPECT_EQ(std::optional<int>(0), daemon.waitExit(10));

    struct stat st;
    ASSERT_EQ(0, stat((system + "/shadow").c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0600u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(system.c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_EQ("root only", readFile(system + "/shadow"));

    EXPECT_TRUE(fs::exists(cache + "/" + kAddedListFileName)) << "quitting writes the added list";

    // What the daemon made belongs to the user.
    EXPECT_FALSE(fs::exists(trash + "mine.txt"));
    for (auto& e : fs::directory_iterator(cache)) {
        if (e.is_symlink() || !e.is_directory() || e.path() == old)
            continue;
        EXPECT_EQ(user.uid(), ownerOf(e.path())) << e.path();
        EXPECT_EQ(user.uid(), ownerOf(e.path().string() + "/" + kCacheIndexFileName));
    }
}

TEST_F(DaemonPrivileged, AfterGivingUpRootItWatchesTheUsersTrashWithTheUsersRights) {
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    const std::string home = tmp / "home";
    ThrowawayUser user(home);
    ASSERT_TRUE(user.valid());
    const std::string trash = home + "/.local/share/Trash/files/";
    makeDirs(trash);
    makeDirs(home + "/.local/share/Trash/info");
    giveTree(home, user.uid(), user.gid());
    ASSERT_EQ(0, chmod(home.c_str(), 0755));
    const std::vector<std::string> args{"1", trash, home + "/", "0", "0", "1", std::to_string(user.uid()), "3"};
    std::string reason;
    if (!validateDaemonArguments(args, user.uid(), &reason))
        GTEST_SKIP() << "the launch check refuses this setup (" << reason << ")";

    DaemonProcess daemon = DaemonProcess::start(args, {}, tmp / "log", user.uid());
    ASSERT_TRUE(recorder.waitFor(notif::kCacheUpdateSilent, 10));
    recorder.pump(1.5); // past the first survey: only news brings the next
    EXPECT_TRUE(watchesInode(daemon.pid(), trash)) << "no watch: the daemon fell back to polling";
    writeFile(trash + "later.txt", "l");
    giveTree(trash + "later.txt", user.uid(), user.gid());
    ASSERT_TRUE(recorder.waitFor(notif::kNewDataInCache, 5));
    EXPECT_FALSE(fs::exists(trash + "later.txt"));
    daemon.signal(SIGTERM);
    EXPECT_EQ(std::optional<int>(0), daemon.waitExit(10));
}

} // namespace bw::test
