// Attacks on a daemon started the way the helper starts it (effective uid 0, every other id a throw-away
// user's), grouped by what the attacker does. Volumes are tmpfs mounts in a private mount namespace.

#include "daemon.h"
#include "daemon_e2e_fixture.h"
#include "launch_validation.h"
#include "throwaway_user.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

namespace bw::test {

namespace {

void giveTree(const std::string& path, uid_t uid, gid_t gid) {
    std::string failed;
    ASSERT_TRUE(bw::test::chownTree(path, uid, gid, &failed)) << failed;
}

struct Owner {
    uid_t uid = static_cast<uid_t>(-1);
    mode_t mode = 0;
};

Owner ownerOf(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return {};
    return {st.st_uid, st.st_mode & 07777};
}

bool flagsOf(const std::string& path, int& flags) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    return fd && ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0;
}

bool isImmutable(const std::string& path) {
    int flags = 0;
    return flagsOf(path, flags) && (flags & FS_IMMUTABLE_FL) != 0;
}

// A line of /proc/<pid>/status without its label, e.g. "Uid" -> "1001\t1001\t1001\t1001".
std::string statusField(pid_t pid, const std::string& label) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, label.size() + 1, label + ":") == 0) {
            std::size_t start = line.find_first_not_of(" \t", label.size() + 1);
            return start == std::string::npos ? std::string() : line.substr(start);
        }
    }
    return {};
}

// Runs `body` in a child with every id of `user` (as a program the user starts would); its exit status.
pid_t forkAs(uid_t uid, gid_t gid, const std::function<void()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(1, &gid) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(126);
        body();
        ::_exit(0);
    }
    return pid;
}

int waitChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Mounts made here stay in a private mount namespace of the test process (and the daemons it starts).
bool enterPrivateMountNamespace() {
    static const bool done =
        ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return done;
}

class TmpfsVolume {
public:
    TmpfsVolume(const std::string& path, const std::string& size) : m_path(path) {
        makeDirs(path);
        m_mounted = enterPrivateMountNamespace() &&
                    ::mount("tmpfs", path.c_str(), "tmpfs", 0, ("mode=0755,size=" + size).c_str()) == 0;
    }
    ~TmpfsVolume() {
        if (m_mounted)
            ::umount2(m_path.c_str(), MNT_DETACH);
    }
    TmpfsVolume(const TmpfsVolume&) = delete;
    TmpfsVolume& operator=(const TmpfsVolume&) = delete;
    bool mounted() const { return m_mounted; }
    double freePercent() const {
        struct statvfs vfs {};
        ::statvfs(m_path.c_str(), &vfs);
        return vfs.f_blocks ? 100.0 * static_cast<double>(vfs.f_bavail) / static_cast<double>(vfs.f_blocks) : 0.0;
    }

private:
    std::string m_path;
    bool m_mounted = false;
};

// Stored path -> name in the trash, for every batch of a cache folder.
std::map<std::string, std::string> storedItems(const std::string& cache) {
    std::map<std::string, std::string> out;
    if (!fs::is_directory(fs::symlink_status(cache)))
        return out;
    for (auto& batch : fs::directory_iterator(cache)) {
        if (!batch.is_directory() || batch.is_symlink())
            continue;
        std::optional<BWCacheIndex> index = readCacheIndex(batch.path().string());
        if (!index || !index->indexTable())
            continue;
        for (auto& [stored, entry] : *index->indexTable())
            if (fs::exists(fs::symlink_status(batch.path() / stored)))
                out[(batch.path() / stored).string()] = entry.realName;
    }
    return out;
}

std::string storedPathOf(const std::string& cache, const std::string& realName) {
    for (auto& [stored, name] : storedItems(cache))
        if (name == realName)
            return stored;
    return {};
}

} // namespace

class DaemonSecurity : public ::testing::Test {
protected:
    PrivateBus bus;
    BusRecorder recorder;
    TempDir tmp{"bw2sec"};

    struct Home {
        std::string home, trash, cache;
    };

    void SetUp() override {
        ASSERT_TRUE(bus.ok());
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to start the daemon for a throw-away user";
        ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    }

    // A home folder with an empty freedesktop trash, all of it the user's.
    Home makeHome(const ThrowawayUser& user, const std::string& home) {
        Home h{home, home + "/.local/share/Trash/files/", home + "/.Binwarden2Cache"};
        makeDirs(h.trash);
        makeDirs(home + "/.local/share/Trash/info");
        giveTree(home, user.uid(), user.gid());
        return h;
    }

    std::vector<std::string> homeArgs(const Home& h, const ThrowawayUser& user, int mode, int percent = 0) {
        return {"1", h.trash, h.home + "/", "0", std::to_string(percent), std::to_string(mode),
                std::to_string(user.uid()), "3"};
    }

    // A volume trash "<mount>/.Trash-<uid>/files/" of the user's, and the daemon's arguments for it.
    std::vector<std::string> volumeArgs(const std::string& mount, const ThrowawayUser& user, int mode, int percent) {
        const std::string trash = mount + "/.Trash-" + std::to_string(user.uid());
        makeDirs(trash + "/files");
        makeDirs(trash + "/info");
        giveTree(trash, user.uid(), user.gid());
        return {"1", trash + "/files/", mount + "/", "0", std::to_string(percent), std::to_string(mode),
                std::to_string(user.uid()), "3"};
    }

    DaemonProcess startFor(const ThrowawayUser& user, const std::vector<std::string>& args) {
        std::string why;
        EXPECT_TRUE(validateDaemonArguments(args, user.uid(), &why)) << why;
        return DaemonProcess::start(args, {}, tmp / "log", user.uid());
    }

    void quit(DaemonProcess& daemon) {
        daemon.signal(SIGTERM);
        EXPECT_EQ(std::optional<int>(0), daemon.waitExit(15));
    }
};

// ---- A user renames someone else's file into their trash (a shared group folder, a leftover of sudo) ----

TEST_F(DaemonSecurity, ItemsOfOthersRenamedIntoTheTrashAreNeverOpenedToTheUser) {
    for (int mode : {Daemon::kMoveMode, Daemon::kCopyMode}) {
        SCOPED_TRACE(mode == Daemon::kMoveMode ? "move mode" : "copy mode");
        ThrowawayUser user(tmp / ("home" + std::to_string(mode)));
        ASSERT_TRUE(user.valid());
        Home h = makeHome(user, tmp / ("home" + std::to_string(mode)));
        writeFile(h.trash + "mine.txt", "mine");
        makeDirs(h.trash + "Folder");
        writeFile(h.trash + "Folder/own", "own");
        writeFile(h.trash + "Folder/locked", "locked");
        giveTree(h.trash + "mine.txt", user.uid(), user.gid());
        giveTree(h.trash + "Folder", user.uid(), user.gid());
        ASSERT_EQ(0, chmod((h.trash + "mine.txt").c_str(), 0640));
        // The user's own item locked by the immutable flag: the one thing the daemon still needs root for.
        const bool locked = setImmutable(h.trash + "Folder/locked", true);
        // Root's files, in the trash and inside one of the user's folders.
        for (const std::string& path : {h.trash + "roots.txt", h.trash + "Folder/roots-inner"}) {
            writeFile(path, "root only");
            ASSERT_EQ(0, chmod(path.c_str(), 0600));
        }

        DaemonProcess daemon = startFor(user, homeArgs(h, user, mode));
        ASSERT_TRUE(recorder.waitFor(notif::kNewDataInCache, 15));
        // The repair of the batch just filled runs at once; the user's own file ends up the user's alone.
        EXPECT_TRUE(eventually(
            [&] {
                const std::string mine = storedPathOf(h.cache, "mine.txt");
                return !mine.empty() && ownerOf(mine).mode == 0700;
            },
            15));
        quit(daemon);

        EXPECT_EQ(user.uid(), ownerOf(h.cache).uid);
        EXPECT_EQ(0700u, ownerOf(h.cache).mode) << "the top of the cache is the user's alone";
        std::size_t rootFiles = 0;
        for (auto& e : fs::recursive_directory_iterator(h.cache)) {
            const std::string path = e.path().string();
            const Owner o = ownerOf(path);
            if (o.uid == 0) {
                // Root's file kept its owner and mode; nothing of root's is readable in a file of the user's.
                EXPECT_EQ(0600u, o.mode) << path;
                ++rootFiles;
                continue;
            }
            EXPECT_EQ(user.uid(), o.uid) << path;
            if (e.is_directory()) {
                EXPECT_EQ(0700u, o.mode) << path << ": a folder of the cache open to others";
            }
            if (e.is_regular_file() && e.path().filename() != kCacheIndexFileName) {
                EXPECT_NE("root only", readFile(path)) << path << " holds root's data as the user's";
            }
        }
        if (mode == Daemon::kMoveMode) {
            EXPECT_EQ(2u, rootFiles) << "moved as they are";
            const std::string folder = storedPathOf(h.cache, "Folder");
            ASSERT_FALSE(folder.empty());
            if (locked) {
                EXPECT_FALSE(isImmutable(folder + "/locked")) << "the user's own locked item stays locked";
            }
            setImmutable(folder + "/locked", false);
        } else {
            EXPECT_TRUE(fs::exists(h.trash + "roots.txt")) << "what the user cannot read is not copied";
        }
        setImmutable(h.trash + "Folder/locked", false); // what stayed in the trash, for the clean-up
    }
}

// ---- What the daemon is after start-up: no way back to root, and its bus connection is the user's ----

TEST_F(DaemonSecurity, AfterStartUpTheDaemonHoldsOnlyItsUsersIdsAndOneCapability) {
    ThrowawayUser user(tmp / "home");
    ASSERT_TRUE(user.valid());
    Home h = makeHome(user, tmp / "home");
    const std::vector<std::string> args = homeArgs(h, user, Daemon::kMoveMode);
    DaemonProcess daemon = startFor(user, args);
    ASSERT_TRUE(recorder.waitFor(notif::kCacheUpdateSilent, 15));

    const std::string u = std::to_string(user.uid()), g = std::to_string(user.gid());
    EXPECT_EQ(u + "\t" + u + "\t" + u + "\t" + u, statusField(daemon.pid(), "Uid"));
    EXPECT_EQ(g + "\t" + g + "\t" + g + "\t" + g, statusField(daemon.pid(), "Gid"));
    // CAP_LINUX_IMMUTABLE (bit 9) alone, and it can never grow back.
    for (const char* set : {"CapPrm", "CapEff"})
        EXPECT_EQ("0000000000000200", statusField(daemon.pid(), set)) << set;
    for (const char* set : {"CapInh", "CapBnd", "CapAmb"})
        EXPECT_EQ("0000000000000000", statusField(daemon.pid(), set)) << set;
    EXPECT_EQ("1", statusField(daemon.pid(), "NoNewPrivs"));
    // The settings were read by then, and the bus connection counts against the user, not root.
    ASSERT_FALSE(recorder.named(notif::kCacheUpdateSilent).empty());
    EXPECT_EQ(std::optional<uid_t>(user.uid()), recorder.named(notif::kCacheUpdateSilent).back().senderUid);

    // A second daemon for the same trash ends at once; the first keeps protecting it.
    DaemonProcess second = startFor(user, args);
    EXPECT_EQ(std::optional<int>(0), second.waitExit(15));
    EXPECT_TRUE(daemon.running());
    quit(daemon);
}

// ---- The user's cache folder is not the user's (planted by someone else, or a link) ----

TEST_F(DaemonSecurity, ACacheFolderThatIsNotTheUsersEndsTheDaemonWithoutAFalseDiskFull) {
    struct Case {
        const char* what;
        std::function<void(const std::string& cache, const std::string& home)> plant;
    };
    const Case cases[] = {
        {"a folder of root's", [](const std::string& cache, const std::string&) { makeDirs(cache, 0755); }},
        {"a link to a folder of the user's",
         [](const std::string& cache, const std::string& home) {
             makeDirs(home + "/elsewhere");
             fs::create_directory_symlink(home + "/elsewhere", cache);
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string home = tmp / ("home" + std::to_string(++n));
        ThrowawayUser user(home);
        ASSERT_TRUE(user.valid());
        Home h = makeHome(user, home);
        writeFile(h.trash + "kept.txt", "kept");
        giveTree(home, user.uid(), user.gid());
        c.plant(h.cache, home);
        if (fs::is_symlink(h.cache)) {
            ASSERT_EQ(0, lchown(h.cache.c_str(), user.uid(), user.gid()));
        }
        const std::size_t quitsBefore = recorder.named(notif::kDaemonQuits).size();

        DaemonProcess daemon = startFor(user, homeArgs(h, user, Daemon::kMoveMode));
        EXPECT_TRUE(recorder.waitForCount(notif::kDaemonQuits, quitsBefore + 1, 15));
        EXPECT_EQ(std::optional<int>(0), daemon.waitExit(15));
        recorder.pump(0.2);
        EXPECT_TRUE(recorder.named(notif::kDiskFull).empty()) << "nothing is full";
        EXPECT_TRUE(fs::exists(h.trash + "kept.txt"));
    }
}

// ---- Users sharing a volume: one plants folders where another user's cache goes ----

TEST_F(DaemonSecurity, OnASharedVolumeNoUserCanPlantEnterOrBlockAnothersCache) {
    struct Case {
        const char* what;
        bool plantTop;       // the first user made ".Binwarden2Cache" (as an older agent did)
        bool plantVictimDir; // and, inside it, a folder under the victim's uid
    };
    const Case cases[] = {
        {"nothing there yet", false, false},
        {"the top made by another user", true, false},
        {"the top and the victim's folder made by another user", true, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string mount = tmp / ("vol" + std::to_string(++n));
        TmpfsVolume volume(mount, "16m");
        if (!volume.mounted())
            GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here";
        ThrowawayUser attacker(tmp / "attacker");
        ThrowawayUser victim(tmp / "victim");
        ASSERT_TRUE(attacker.valid() && victim.valid());
        const std::string top = mount + "/.Binwarden2Cache";
        const std::string victimCache = top + "/" + std::to_string(victim.uid());
        if (c.plantTop) {
            makeDirs(top, 0777);
            ASSERT_EQ(0, chown(top.c_str(), attacker.uid(), attacker.gid()));
        }
        if (c.plantVictimDir) {
            makeDirs(victimCache, 0777);
            writeFile(victimCache + "/planted", "the attacker's");
            giveTree(victimCache, attacker.uid(), attacker.gid());
        }
        const std::vector<std::string> args = volumeArgs(mount, victim, Daemon::kMoveMode, 0);
        writeFile(args[1] + "victim.txt", "the victim's");
        giveTree(args[1] + "victim.txt", victim.uid(), victim.gid());
        const std::size_t before = recorder.named(notif::kNewDataInCache).size();

        DaemonProcess daemon = startFor(victim, args);
        ASSERT_TRUE(recorder.waitForCount(notif::kNewDataInCache, before + 1, 15));
        EXPECT_EQ(victimCache, recorder.named(notif::kNewDataInCache).back().stringInfo["cachePathKey"]);
        quit(daemon);

        EXPECT_EQ(0u, ownerOf(top).uid) << "only root adds folders to the shared top";
        EXPECT_EQ(0711u, ownerOf(top).mode);
        EXPECT_EQ(victim.uid(), ownerOf(victimCache).uid);
        EXPECT_EQ(0700u, ownerOf(victimCache).mode);
        const std::string stored = storedPathOf(victimCache, "victim.txt");
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ("the victim's", readFile(stored));
        EXPECT_FALSE(fs::exists(victimCache + "/planted")) << "the victim's items went into a planted folder";
        // The attacker cannot see into the top, nor into the victim's folder.
        const std::string probe = victimCache;
        const pid_t child = forkAs(attacker.uid(), attacker.gid(), [&] {
            const bool listsTop = ::opendir(top.c_str()) != nullptr;
            const bool entersCache = ::access((probe + "/.").c_str(), X_OK) == 0;
            ::_exit(listsTop || entersCache ? 1 : 0);
        });
        EXPECT_EQ(0, waitChild(child));
    }
}

// ---- Copy mode against a volume's limits: sparse files and the free-space rule during a copy ----

TEST_F(DaemonSecurity, CopiesKeepHolesBelongToTheUserAndStopAtTheFreeSpaceLimit) {
    struct Case {
        const char* what;
        const char* volumeSize;
        int percentFree;
        std::function<void(const std::string& file)> make;
        bool stored;
    };
    constexpr off_t kSparseSize = 1LL << 30;
    const Case cases[] = {
        {"a sparse file far larger than the volume", "64m", 10,
         [&](const std::string& file) {
             std::ofstream out(file, std::ios::binary);
             out << "head";
             out.seekp(kSparseSize / 2);
             out << "middle";
             out.seekp(kSparseSize - 4);
             out << "tail";
         },
         true},
        {"a file whose copy would pass the free-space limit", "100m", 50,
         [](const std::string& file) {
             std::ofstream out(file, std::ios::binary);
             const std::string block(1 << 20, 'x');
             for (int i = 0; i < 40; ++i)
                 out << block;
         },
         false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string mount = tmp / ("vol" + std::to_string(++n));
        TmpfsVolume volume(mount, c.volumeSize);
        if (!volume.mounted())
            GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here";
        ThrowawayUser user(tmp / "user");
        ASSERT_TRUE(user.valid());
        const std::vector<std::string> args = volumeArgs(mount, user, Daemon::kCopyMode, c.percentFree);
        const std::string file = args[1] + "big.bin";
        c.make(file);
        giveTree(file, user.uid(), user.gid());
        const std::size_t stored = recorder.named(notif::kNewDataInCache).size();
        const std::size_t full = recorder.named(notif::kDiskFull).size();

        DaemonProcess daemon = startFor(user, args);
        const std::string cache = mount + "/.Binwarden2Cache/" + std::to_string(user.uid());
        if (c.stored) {
            ASSERT_TRUE(recorder.waitForCount(notif::kNewDataInCache, stored + 1, 30));
            const std::string copy = storedPathOf(cache, "big.bin");
            ASSERT_FALSE(copy.empty());
            struct stat st;
            ASSERT_EQ(0, stat(copy.c_str(), &st));
            EXPECT_EQ(kSparseSize, st.st_size);
            EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the holes were filled";
            EXPECT_EQ(user.uid(), st.st_uid) << "a copy counts against its user";
            std::ifstream in(copy, std::ios::binary);
            char text[6] = {};
            in.read(text, 4);
            EXPECT_EQ("head", std::string(text, 4));
            in.seekg(kSparseSize / 2);
            in.read(text, 6);
            EXPECT_EQ("middle", std::string(text, 6));
            quit(daemon);
        } else {
            EXPECT_TRUE(recorder.waitForCount(notif::kDiskFull, full + 1, 30));
            EXPECT_EQ(std::optional<int>(0), daemon.waitExit(15));
            EXPECT_TRUE(storedPathOf(cache, "big.bin").empty()) << "the copy went past the limit";
            EXPECT_TRUE(fs::exists(file));
            EXPECT_GT(volume.freePercent(), 50.0) << "a partial copy was left behind";
        }
    }
}

// ---- Another user floods the bus with the daemon's own requests ----

TEST_F(DaemonSecurity, AFloodFromAnotherUserNeitherGrowsTheDaemonNorHidesItsUsersRequest) {
    ThrowawayUser victim(tmp / "victim");
    ThrowawayUser attacker(tmp / "attacker");
    ASSERT_TRUE(victim.valid() && attacker.valid());
    Home h = makeHome(victim, tmp / "victim");
    std::map<std::string, std::string> env;
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps freed memory aside (256 MB by default); the bound is about the daemon.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64";
#endif
    const std::vector<std::string> args = homeArgs(h, victim, Daemon::kMoveMode);
    std::string why;
    ASSERT_TRUE(validateDaemonArguments(args, victim.uid(), &why)) << why;
    DaemonProcess daemon = DaemonProcess::start(args, env, tmp / "log", victim.uid());
    ASSERT_TRUE(recorder.waitFor(notif::kCacheUpdateSilent, 15));
    const std::string victimUid = std::to_string(victim.uid());

    // Four senders, each as fast as the bus takes it for a few seconds.
    std::vector<pid_t> senders;
    for (int i = 0; i < 4; ++i) {
        senders.push_back(forkAs(attacker.uid(), attacker.gid(), [&] {
            NotificationBus flood;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
            while (std::chrono::steady_clock::now() < end) {
                flood.post(notif::kDaemonsMustStop, victimUid, nullptr, true);
                flood.post(notif::kDaemonsMustQuit, victimUid, nullptr, true);
                flood.post("SomeOtherName", victimUid, nullptr, true);
            }
        }));
    }
    for (pid_t sender : senders)
        EXPECT_EQ(0, waitChild(sender));
    EXPECT_TRUE(daemon.running()) << "another user stopped the daemon";
    const std::string peak = statusField(daemon.pid(), "VmHWM");
    EXPECT_LT(std::stoll(peak.empty() ? "0" : peak), 64 * 1024) << "peak resident memory: " << peak;

    // The user's own request still gets through.
    const pid_t owner = forkAs(victim.uid(), victim.gid(), [&] {
        NotificationBus own;
        own.post(notif::kDaemonsMustQuit, victimUid, nullptr, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // so the daemon can ask who sent it
    });
    EXPECT_EQ(std::optional<int>(0), daemon.waitExit(30));
    EXPECT_EQ(0, waitChild(owner));
}

} // namespace bw::test
