// Runs the real launcher, set-uid root in a root-owned staging folder, as a throw-away user, with a
// stand-in daemon that reports how it was started.

#include "temp_dir.h"
#include "throwaway_user.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace fs = std::filesystem;
using bw::test::readFile;
using bw::test::runAs;
using bw::test::ThrowawayUser;

namespace {

// Set-uid bits are ignored on a nosuid file system; stage where they count.
std::string stagingBase() {
    for (const char* candidate : std::initializer_list<const char*>{std::getenv("TMPDIR"), "/tmp", "/var/tmp"}) {
        struct statvfs vfs;
        if (candidate && *candidate && ::statvfs(candidate, &vfs) == 0 && !(vfs.f_flag & ST_NOSUID))
            return candidate;
    }
    return bw::test::buildDir() + "/tests";
}

struct HelperRun {
    int status = -1;
    std::string err;
    double seconds = 0;
};

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

uid_t ownerOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_uid;
}

gid_t groupOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_gid;
}

std::vector<std::string> linesWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line.substr(prefix.size()));
        start = end + 1;
    }
    return out;
}

// Runs `line` as root (as pkexec would run a repair) under ptrace and calls `swap` once, right after
// the program has read where its own file is (the readlink of /proc/self/exe returns), then lets it
// run on untraced. That is the moment a user who owns the folder renames files to win the race, made
// deterministic. Returns the exit status, or -1; `hooked` says whether the moment came.
int runRootWithSwapAfterSelfLookup(const std::vector<std::string>& line, const std::string& errPath,
                                   const std::function<void()>& swap, bool* hooked) {
    *hooked = false;
    pid_t pid = ::fork();
    if (pid == 0) {
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (err >= 0)
            ::dup2(err, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& a : line)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        char path[] = "PATH=/usr/bin:/bin";
        char* envp[] = {path, nullptr};
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::execve(argv[0], argv.data(), envp);
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
        return -1;
    ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    bool armed = false;
    int signalToPass = 0;
    for (;;) {
        if (::ptrace(PTRACE_SYSCALL, pid, nullptr, signalToPass) != 0)
            break;
        signalToPass = 0;
        if (::waitpid(pid, &status, 0) != pid || WIFEXITED(status) || WIFSIGNALED(status))
            break;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signalToPass = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
            continue;
        }
        struct __ptrace_syscall_info info {};
        if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0)
            continue;
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
            const auto nr = info.entry.nr;
            std::uint64_t pathArg = 0;
#ifdef SYS_readlink
            if (nr == SYS_readlink)
                pathArg = info.entry.args[0];
#endif
            if (nr == SYS_readlinkat)
                pathArg = info.entry.args[1];
            char text[32] = {};
            if (pathArg) {
                std::string mem = "/proc/" + std::to_string(pid) + "/mem";
                int memFd = ::open(mem.c_str(), O_RDONLY | O_CLOEXEC);
                if (memFd >= 0) {
                    ssize_t ignored = ::pread(memFd, text, sizeof text - 1, static_cast<off_t>(pathArg));
                    (void)ignored;
                    ::close(memFd);
                }
            }
            armed = std::string(text) == "/proc/self/exe";
        } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && armed) {
            swap();
            *hooked = true;
            ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
            break;
        }
    }
    while (::waitpid(pid, &status, 0) == pid) {
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        if (WIFSIGNALED(status))
            return -1;
    }
    return -1;
}

} // namespace

class Launcher : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bw::test::isRoot())
            GTEST_SKIP() << "the set-uid launcher tests need root (to stage a set-uid file and a throw-away user)";
        std::string pattern = stagingBase() + "/bw2helper.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = fs::canonical(pattern).string(); // the launch check refuses links anywhere in a path
        ::chmod(m_root.c_str(), 0755);
        m_home = m_root + "/home";
        m_user = std::make_unique<ThrowawayUser>(m_home);
        ASSERT_TRUE(m_user->valid()) << "useradd failed";
        std::string path = m_home;
        makeUserFolder(path, 0700);
        for (const char* part : {".local", "share", "Trash", "files"})
            makeUserFolder(path += std::string("/") + part, 0700);
        m_trash = path + "/";

        m_libexec = m_root + "/libexec/binwarden2";
        bw::test::makeDirs(m_libexec, 0755);
        m_helper = m_libexec + "/helper";
        m_daemon = m_libexec + "/bw2daemon";
        fs::copy_file(BW_HELPER_PATH, m_helper);
        fs::copy_file(BW_DAEMON_STANDIN_PATH, m_daemon);
        ::chmod(m_helper.c_str(), 04755);
        ::chmod(m_daemon.c_str(), 0755);
    }

    void TearDown() override {
        m_user.reset();
        if (!m_root.empty()) {
            std::error_code ec;
            fs::remove_all(m_root, ec);
        }
    }

    void makeUserFolder(const std::string& path, mode_t mode) {
        ASSERT_EQ(::mkdir(path.c_str(), mode), 0) << path;
        ASSERT_EQ(::chown(path.c_str(), uid(), gid()), 0);
    }

    uid_t uid() const { return m_user->uid(); }
    gid_t gid() const { return m_user->gid(); }
    std::string uidText() const { return std::to_string(uid()); }

    std::vector<std::string> daemonArgs() const {
        return {"1", m_trash, m_home + "/", "700", "15", "2", uidText(), "3"};
    }

    std::vector<std::string> launchLine() const {
        std::vector<std::string> line = {m_helper};
        for (const auto& a : daemonArgs())
            line.push_back(a);
        return line;
    }

    void makeUnrepaired() {
        ASSERT_EQ(::chown(m_helper.c_str(), uid(), gid()), 0);
        ASSERT_EQ(::chmod(m_helper.c_str(), 0755), 0);
    }

    HelperRun run(uid_t who, gid_t group, const std::vector<std::string>& line,
                  const std::vector<std::string>& env = {"PATH=/usr/bin:/bin", "BW2_CALLER_VARIABLE=1"}) {
        const std::string errPath = m_root + "/stderr.txt";
        auto start = std::chrono::steady_clock::now();
        HelperRun r;
        r.status = runAs(who, group, line, env, errPath);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        r.err = readFile(errPath);
        return r;
    }
    HelperRun runAsUser(const std::vector<std::string>& line) { return run(uid(), gid(), line); }

    std::string reportPath() const { return m_libexec + "/report"; }
    // The stand-in writes its report right after the launcher forks; allow it a moment.
    std::string waitForReport() const {
        for (int i = 0; i < 50 && !fs::exists(reportPath()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return readFile(reportPath());
    }
    bool daemonStarted() const {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return fs::exists(reportPath());
    }

    std::string m_root, m_home, m_trash, m_libexec, m_helper, m_daemon;
    std::unique_ptr<ThrowawayUser> m_user;
};

TEST_F(Launcher, RepairByRootMakesItsRunningFileRootOwnedSetUid) {
    // Folder and bw2daemon root's already (an installed tree); only the helper's own file is the user's.
    makeUnrepaired();
    HelperRun r = run(0, 0, {m_helper, "repair"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.seconds, 1.0) << "the repair returns at once";
    EXPECT_EQ(ownerOf(m_helper), 0u) << r.err;
    EXPECT_EQ(groupOf(m_helper), gid()) << "group unchanged";
    EXPECT_EQ(modeOf(m_helper), 04755u);

    // Repaired, the user's launch now gets through every check.
    r = runAsUser(launchLine());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(waitForReport().empty()) << r.err;

    // The launch too runs only a daemon from the folder that still holds the running helper.
    fs::remove(reportPath());
    const std::string elsewhere = m_root + "/elsewhere";
    fs::create_directories(elsewhere);
    ASSERT_EQ(::link(m_helper.c_str(), (elsewhere + "/helper").c_str()), 0);
    std::vector<std::string> line = launchLine();
    line[0] = elsewhere + "/helper";
    r = runAsUser(line);
    EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
    EXPECT_FALSE(daemonStarted());
}

// A repair run by an administrator (pkexec, sudo) must change nothing but the file actually running,
// and only where the user cannot swap names or files under it.
TEST_F(Launcher, RepairCannotBeTurnedOnAnotherFileByRenamingDuringIt) {
    const std::string moved = m_libexec + "/helper.moved";
    const std::string planted = m_root + "/planted";
    fs::copy_file(BW_DAEMON_STANDIN_PATH, planted); // stands for any program of the user's
    const struct {
        const char* what;
        bool userOwnsFolder;
    } cases[] = {
        {"the user owns the helper's folder and renames in it", true},
        {"a name swapped even where only root could", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(moved);
        fs::remove(m_helper);
        fs::copy_file(BW_HELPER_PATH, m_helper);
        makeUnrepaired();
        ASSERT_EQ(::chown(m_libexec.c_str(), c.userOwnsFolder ? uid() : 0, c.userOwnsFolder ? gid() : 0), 0);
        bool hooked = false;
        int status = runRootWithSwapAfterSelfLookup(
            {m_helper, "repair"}, m_root + "/stderr.txt",
            [&] {
                fs::rename(m_helper, moved);
                fs::copy_file(planted, m_helper);
                ASSERT_EQ(::chown(m_helper.c_str(), uid(), gid()), 0);
                ASSERT_EQ(::chmod(m_helper.c_str(), 0755), 0);
            },
            &hooked);
        ASSERT_TRUE(hooked) << "the helper never looked up its own file";
        EXPECT_EQ(status, 0) << readFile(m_root + "/stderr.txt");
        EXPECT_EQ(ownerOf(m_helper), uid()) << "the planted file was given to root";
        EXPECT_EQ(modeOf(m_helper) & 06000, 0u) << "the planted file became set-uid";
        // The running file itself is what a repair may change, and only where root owns its folder.
        EXPECT_EQ((modeOf(moved) & 04000) != 0, !c.userOwnsFolder);
    }
}

TEST_F(Launcher, RepairNeverAdoptsFilesTheUserCanStillChange) {
    // The user stages a copy of the genuine launcher beside a "bw2daemon" of their own and has an
    // administrator repair it. Whatever the repair leaves, the user's program must not run as root.
    const struct {
        const char* what;
        bool userOwnsFolder;
        bool userOwnsDaemon;
    } cases[] = {
        {"folder and daemon the user's", true, true},
        {"daemon the user's in a root folder", false, true},
        {"folder the user's, daemon root's", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(reportPath());
        fs::remove(m_libexec + "/notes.txt");
        makeUnrepaired();
        ASSERT_EQ(::chown(m_daemon.c_str(), c.userOwnsDaemon ? uid() : 0, c.userOwnsDaemon ? gid() : 0), 0);
        ASSERT_EQ(::chmod(m_daemon.c_str(), 0755), 0);
        ASSERT_EQ(::chown(m_libexec.c_str(), c.userOwnsFolder ? uid() : 0, c.userOwnsFolder ? gid() : 0), 0);

        HelperRun r = run(0, 0, {m_helper, "repair"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("refused"), std::string::npos) << "the administrator is told why: " << r.err;
        EXPECT_EQ(ownerOf(m_daemon), c.userOwnsDaemon ? uid() : 0u) << "bw2daemon changed hands";
        EXPECT_EQ(ownerOf(m_libexec), c.userOwnsFolder ? uid() : 0u) << "the folder changed hands";
        EXPECT_EQ(modeOf(m_helper) & 06000, 0u);

        // And the user's next launch runs nothing as root.
        r = runAsUser(launchLine());
        EXPECT_FALSE(daemonStarted()) << r.err;
        // Leave the user's file to the user, whatever the repair did, for the next case.
        ASSERT_EQ(::chown(m_daemon.c_str(), 0, 0), 0);
    }
}

TEST_F(Launcher, LaunchStartsTheDaemonAsRootKeepingTheCallersRealIds) {
    // A descriptor the caller leaves open must not reach the daemon.
    int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    ASSERT_EQ(::dup2(leaked, 9), 9);
    HelperRun r = runAsUser(launchLine());
    ::close(9);
    ::close(leaked);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(r.seconds, 0.9) << "the launcher waits a second before it exits";
    const std::string report = waitForReport();
    ASSERT_FALSE(report.empty()) << r.err;

    const std::string u = uidText(), g = std::to_string(gid());
    EXPECT_NE(report.find("Uid:\t" + u + "\t0\t0\t0\n"), std::string::npos) << report;
    EXPECT_NE(report.find("Gid:\t" + g + "\t" + g + "\t" + g + "\t" + g + "\n"), std::string::npos) << report;
    EXPECT_NE(report.find("comm:bw2daemon\n"), std::string::npos) << "the agent finds daemons by this name";
    EXPECT_NE(report.find("umask:22\n"), std::string::npos) << report;

    std::vector<std::string> expected = {m_daemon};
    for (const auto& a : daemonArgs())
        expected.push_back(a);
    EXPECT_EQ(linesWith(report, "arg:"), expected);
    EXPECT_EQ(linesWith(report, "fd:"), (std::vector<std::string>{"0", "1", "2"}));

    std::vector<std::string> env = linesWith(report, "env:");
    std::sort(env.begin(), env.end());
    std::vector<std::string> expectedEnv = {"HOME=" + m_home, "LOGNAME=" + m_user->name(),
                                            "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                                            "USER=" + m_user->name()};
    EXPECT_EQ(env, expectedEnv);
}

TEST_F(Launcher, ReExecutionFormDropsItsThreeExtraArguments) {
    std::vector<std::string> line = {m_helper, m_helper, "rt", "pathToFile"};
    for (const auto& a : daemonArgs())
        line.push_back(a);
    HelperRun r = runAsUser(line);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected = {m_daemon};
    for (const auto& a : daemonArgs())
        expected.push_back(a);
    EXPECT_EQ(linesWith(waitForReport(), "arg:"), expected) << r.err;
}

TEST_F(Launcher, BusAddressComesOnlyFromATrustedFileBesideTheHelper) {
    bw::test::writeFile(m_libexec + "/bus-address", "unix:path=/run/bw2-test-bus\n");
    ::chmod((m_libexec + "/bus-address").c_str(), 0644);
    HelperRun r = run(uid(), gid(), launchLine(), {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/tmp/callers-bus"});
    std::vector<std::string> env = linesWith(waitForReport(), "env:");
    EXPECT_NE(std::find(env.begin(), env.end(), "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/bw2-test-bus"), env.end())
        << r.err;

    // Writable by others: ignored, and the caller's own variable never gets through either.
    fs::remove(reportPath());
    ::chmod((m_libexec + "/bus-address").c_str(), 0666);
    r = run(uid(), gid(), launchLine(), {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/tmp/callers-bus"});
    std::string report = waitForReport();
    ASSERT_FALSE(report.empty()) << r.err;
    EXPECT_EQ(report.find("DBUS_SYSTEM_BUS_ADDRESS"), std::string::npos) << report;
}

TEST_F(Launcher, RtOnAnUnrepairedFileLogsAndStartsNothing) {
    makeUnrepaired();
    std::vector<std::string> line = {m_helper, m_helper, "rt", "pathToFile"};
    for (const auto& a : daemonArgs())
        line.push_back(a);
    HelperRun r = runAsUser(line);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Can't goes to root"), std::string::npos) << r.err;
    EXPECT_FALSE(daemonStarted());
    EXPECT_EQ(ownerOf(m_helper), uid());
}

TEST_F(Launcher, UnrepairedLaunchByAUserCannotTakeRoot) {
    makeUnrepaired();
    HelperRun r = runAsUser(launchLine());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("setuidErr 2: Operation not permitted"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("setreuidErr 2: Operation not permitted"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Can't goes to root"), std::string::npos) << "the re-executed instance stops: " << r.err;
    EXPECT_GE(r.seconds, 5.5) << "five seconds for the re-execution, one to finish";
    EXPECT_FALSE(daemonStarted());
    EXPECT_EQ(ownerOf(m_helper), uid());
    EXPECT_EQ(modeOf(m_helper) & 06000, 0u) << "no set-uid bit on a file a user owns";
}

TEST_F(Launcher, RefusesAnotherUidAForeignTrashOrAMismatchedCacheRoot) {
    std::string rootOwned = m_home + "/x/Trash/files";
    bw::test::makeDirs(rootOwned);
    const std::vector<std::pair<size_t, std::string>> cases = {
        {6, "0"},             // another user's id
        {1, "/etc/"},         // a folder that is not a trash
        {1, rootOwned + "/"}, // a trash-shaped folder the user does not own
        {2, m_root + "/"},    // a cache root that does not go with the trash
        {2, m_home},          // the home without its slash
    };
    for (const auto& [index, value] : cases) {
        std::vector<std::string> line = launchLine();
        line[index + 1] = value;
        HelperRun r = runAsUser(line);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.err.find("refused a launch for uid " + uidText()), std::string::npos) << value << ": " << r.err;
        EXPECT_LT(r.seconds, 1.0) << "a refusal does not wait";
        EXPECT_FALSE(daemonStarted()) << value;
    }
}

TEST_F(Launcher, RefusesADaemonOrFolderItCannotTrust) {
    auto expectRefused = [&](const std::string& what) {
        HelperRun r = runAsUser(launchLine());
        EXPECT_NE(r.err.find("refused"), std::string::npos) << what << ": " << r.err;
        EXPECT_FALSE(daemonStarted()) << what;
        fs::remove(reportPath());
    };
    ASSERT_EQ(::chown(m_daemon.c_str(), uid(), gid()), 0);
    expectRefused("bw2daemon owned by the user");
    ASSERT_EQ(::chown(m_daemon.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(m_daemon.c_str(), 0775), 0);
    expectRefused("bw2daemon writable by its group");
    ASSERT_EQ(::chmod(m_daemon.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(m_libexec.c_str(), 0777), 0);
    expectRefused("folder writable by others");
    ASSERT_EQ(::chmod(m_libexec.c_str(), 0755), 0);
    fs::rename(m_daemon, m_root + "/real-daemon");
    fs::create_symlink(m_root + "/real-daemon", m_daemon);
    expectRefused("bw2daemon a symbolic link");
}

TEST_F(Launcher, RefusesCommandLinesTheAgentNeverSends) {
    std::vector<std::string> seven = launchLine();
    seven.pop_back();
    for (const auto& line : {std::vector<std::string>{m_helper}, std::vector<std::string>{m_helper, "repair"}, seven}) {
        HelperRun r = runAsUser(line);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.err.find("refused"), std::string::npos) << line.size() << ": " << r.err;
    }
    EXPECT_FALSE(daemonStarted());

    // Unrepaired: no second argument, or too few daemon arguments, is refused before any attempt at root.
    makeUnrepaired();
    for (const auto& line : {std::vector<std::string>{m_helper, "launch"}, seven}) {
        HelperRun r = runAsUser(line);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("setuidErr"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(daemonStarted());
}

namespace {

std::vector<std::string> nonEmptyLines(const std::string& text) {
    std::vector<std::string> lines;
    for (const std::string& line : linesWith(text, ""))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

} // namespace

TEST_F(Launcher, ARepairThatCannotTakeRootIsOneRefusalAndChangesNothing) {
    // Run by the user instead of an administrator: the id change really fails.
    makeUnrepaired();
    HelperRun r = runAsUser({m_helper, "repair"});
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(r.seconds, 1.0) << "a refusal does not wait";
    const std::vector<std::string> lines = nonEmptyLines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_NE(lines[0].find("refused the repair for uid " + uidText() + ": setuidErr: Operation not permitted"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ownerOf(m_helper), uid());
    EXPECT_EQ(modeOf(m_helper) & 06000, 0u);
}

TEST_F(Launcher, EveryFailingStepEndsTheRunWithOneRefusal) {
    // The same entry built with a step made to fail on request (EIO), set-uid in the helper's place.
    fs::remove(m_helper);
    fs::copy_file(BW_HELPER_FAILING_STEPS_PATH, m_helper);
    ::chmod(m_helper.c_str(), 04755);
    const struct {
        const char* step;
        bool repair; // run by root on an unrepaired file with "repair", else a user's launch
        const char* refusal;
    } cases[] = {
        {"standard-descriptors", false, "refused a launch for uid"},
        {"close-on-exec", false, "refused a launch for uid"},
        {"environment", false, "refused a launch for uid"},
        {"signals", false, "refused a launch for uid"},
        {"setuid", true, "refused the repair for uid 0: setuidErr"},
        {"setreuid", true, "refused the repair for uid 0: setreuidErr"},
        {"root-ids", true, "refused the repair for uid 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        fs::remove(reportPath());
        if (c.repair)
            makeUnrepaired();
        const std::vector<std::string> env = {"PATH=/usr/bin:/bin", std::string("BW2_HELPER_FAILING_STEP=") + c.step};
        HelperRun r = c.repair ? run(0, 0, {m_helper, "repair"}, env) : run(uid(), gid(), launchLine(), env);
        EXPECT_EQ(r.status, 0);
        const std::vector<std::string> lines = nonEmptyLines(r.err);
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_NE(lines[0].find(c.refusal), std::string::npos) << r.err;
        EXPECT_NE(lines[0].find("Input/output error"), std::string::npos) << r.err;
        EXPECT_FALSE(daemonStarted());
        if (c.repair) {
            EXPECT_EQ(ownerOf(m_helper), uid()) << "nothing repaired";
            EXPECT_EQ(modeOf(m_helper) & 06000, 0u);
            ASSERT_EQ(::chown(m_helper.c_str(), 0, 0), 0);
            ASSERT_EQ(::chmod(m_helper.c_str(), 04755), 0);
        }
    }

    // Without a failing step the same file launches: the refusals above came from the steps.
    HelperRun r = runAsUser(launchLine());
    EXPECT_FALSE(waitForReport().empty()) << r.err;
}

TEST_F(Launcher, PostInstallRepairsOnlyWhenRoot) {
    // As root: the installed helper becomes root-owned and set-uid, the daemon root's 0755.
    const std::string script = m_root + "/post-install";
    fs::copy_file(BW_POST_INSTALL_SCRIPT, script);
    ::chmod(script.c_str(), 0755);
    const std::string prefix = m_root + "/prefix";
    const std::string installed = prefix + "/libexec/binwarden2";
    auto stage = [&](uid_t owner, gid_t group) {
        fs::remove_all(prefix);
        for (const std::string& d : {prefix, prefix + "/libexec", installed}) {
            ::mkdir(d.c_str(), 0755);
            ASSERT_EQ(::chown(d.c_str(), owner, group), 0);
        }
        for (const auto& [from, name] : {std::pair{std::string(BW_HELPER_PATH), "helper"},
                                         std::pair{std::string(BW_DAEMON_STANDIN_PATH), "bw2daemon"}}) {
            fs::copy_file(from, installed + "/" + name);
            ASSERT_EQ(::chown((installed + "/" + name).c_str(), owner, group), 0);
            ::chmod((installed + "/" + name).c_str(), 0755);
        }
    };
    stage(uid(), gid());
    EXPECT_EQ(runAs(0, 0, {"/bin/bash", script, prefix}, {"PATH=/usr/bin:/bin"}), 0);
    EXPECT_EQ(ownerOf(installed + "/helper"), 0u);
    EXPECT_EQ(modeOf(installed + "/helper"), 04755u);
    EXPECT_EQ(ownerOf(installed + "/bw2daemon"), 0u);
    EXPECT_EQ(modeOf(installed + "/bw2daemon"), 0755u);
    EXPECT_EQ(ownerOf(installed), 0u);

    // A tree without the helper (a partial install) is not an error.
    fs::remove(installed + "/helper");
    EXPECT_EQ(runAs(0, 0, {"/bin/bash", script, prefix}, {"PATH=/usr/bin:/bin"}), 0);

    // As a user: left unrepaired for the agent's pkexec repair.
    stage(uid(), gid());
    EXPECT_EQ(runAs(uid(), gid(), {"/bin/bash", script, prefix}, {"PATH=/usr/bin:/bin"}), 0);
    EXPECT_EQ(ownerOf(installed + "/helper"), uid());
    EXPECT_EQ(modeOf(installed + "/helper"), 0755u);
}
