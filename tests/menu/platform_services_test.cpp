// The platform stand-ins the agent relies on: process table, mount table, kernel version, autostart entry,
// and the bounded wait for the administrator dialog.

#include "desktop_session.h"
#include "detached_launch.h"
#include "files/mount_table.h"
#include "process_table.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace bw;
using bw::test::TempDir;

namespace {

void addProcess(const TempDir& proc, int pid, const std::string& comm, uid_t realUid, uid_t effectiveUid,
                char state = 'S') {
    std::string dir = proc / std::to_string(pid);
    bw::test::makeDirs(dir);
    bw::test::writeFile(dir + "/stat", std::to_string(pid) + " (" + comm + ") " + state + " 1 1 1 0 -1 4194560 0 0");
    bw::test::writeFile(dir + "/status", "Name:\t" + comm + "\nUmask:\t0022\nState:\tS (sleeping)\nUid:\t" +
                                             std::to_string(realUid) + "\t" + std::to_string(effectiveUid) + "\t" +
                                             std::to_string(effectiveUid) + "\t" + std::to_string(effectiveUid) +
                                             "\nGid:\t0\t0\t0\t0\n");
}

} // namespace

TEST(ProcessTable, FindsDaemonsByExactNameWithTheirRealUid) {
    TempDir proc;
    addProcess(proc, 100, "bw2daemon", 1000, 0);  // the user's daemon: effective root, real user
    addProcess(proc, 101, "bw2daemon", 1001, 0);  // another user's daemon
    addProcess(proc, 102, "bw2daemonX", 1000, 0); // longer name that begins with the searched one
    addProcess(proc, 103, "bw2daemo", 1000, 0);   // shorter one
    addProcess(proc, 104, "odd ) name", 1000, 1000);
    addProcess(proc, 105, "bw2daemon", 1000, 0, 'Z'); // ended, not yet reaped: protects nothing
    bw::test::makeDirs(proc / "self");
    auto table = readProcessTable(proc.path());
    ASSERT_EQ(table.size(), 5u);

    auto records = processInfoForDaemonNamed("bw2daemon", table);
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 2u);
    EXPECT_TRUE(anyProcessOfUser(records, 1000));
    EXPECT_TRUE(anyProcessOfUser(records, 1001));
    EXPECT_FALSE(anyProcessOfUser(records, 1002));
    for (const auto& r : *records)
        EXPECT_EQ(r.name, "bw2daemon");

    auto odd = processInfoForDaemonNamed("odd ) name", table);
    ASSERT_TRUE(odd);
    EXPECT_EQ((*odd)[0].pid, 104);
    EXPECT_FALSE(processInfoForDaemonNamed("", table));
    EXPECT_FALSE(processInfoForDaemonNamed("nothing", table));
}

TEST(ProcessTable, NamesAreCutToFifteenCharactersAndMayIgnoreCase) {
    TempDir proc;
    addProcess(proc, 200, "binwarden2-menu", 1000, 1000); // the kernel's cut of a longer name
    auto table = readProcessTable(proc.path());
    auto records = processInfoForDaemonNamed("binwarden2-menu-and-more", table);
    ASSERT_TRUE(records);
    EXPECT_EQ((*records)[0].name, "binwarden2-menu");
    EXPECT_FALSE(processInfoForDaemonNamed("Binwarden2-Menu", table));
    EXPECT_TRUE(processInfoForDaemonNamed("Binwarden2-Menu", table, true));
}

TEST(ProcessTable, TheRealTableHoldsThisProcess) {
    auto table = readProcessTable();
    bool found = false;
    for (const auto& p : table)
        found = found || (p.pid == getpid() && p.realUid == getuid());
    EXPECT_TRUE(found);
}

TEST(MountTable, ParsesEscapesAndPicksDesktopVolumes) {
    TempDir dir;
    bw::test::writeFile(dir / "mountinfo",
                        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                        "23 22 0:5 / /proc rw - proc proc rw\n"
                        "24 22 8:17 / /media/me/My\\040Disk rw shared:5 master:2 - ext4 /dev/sdb1 rw\n"
                        "25 22 0:40 / /mnt/share rw - nfs4 server:/x rw\n"
                        "26 22 8:33 / /run/media/me/USB rw - vfat /dev/sdc1 rw\n"
                        "27 22 0:41 / /home/me/tmp rw - tmpfs tmpfs rw\n");
    auto table = readMountTable(dir / "mountinfo");
    ASSERT_EQ(table.size(), 6u);
    EXPECT_EQ(table[2].mountPoint, "/media/me/My Disk");
    EXPECT_EQ(table[2].source, "/dev/sdb1");
    EXPECT_EQ(mountedLocalVolumes(table), (std::vector<std::string>{"/", "/media/me/My Disk", "/run/media/me/USB"}));
    EXPECT_TRUE(isVolumeMountPoint("/media/me/My Disk/", table));
    EXPECT_FALSE(isVolumeMountPoint("/", table));
    EXPECT_FALSE(isVolumeMountPoint("/media/me", table));
    EXPECT_EQ(mountForPath("/media/me/My Disk/.Binwarden2Cache/1000", table)->mountPoint, "/media/me/My Disk");
    EXPECT_EQ(mountForPath("/media/me/My Diskette", table)->mountPoint, "/");
}

TEST(MountTable, LabelComesFromTheByLabelLinks) {
    TempDir dir;
    bw::test::writeFile(dir / "sdb1", "");
    bw::test::makeDirs(dir / "by-label");
    ASSERT_EQ(symlink((dir / "sdb1").c_str(), (dir / "by-label/My\\x20Data").c_str()), 0);
    EXPECT_EQ(labelForDevice(dir / "sdb1", dir / "by-label").value_or(""), "My Data");
    bw::test::writeFile(dir / "sdc1", "");
    EXPECT_FALSE(labelForDevice(dir / "sdc1", dir / "by-label"));
    EXPECT_FALSE(labelForDevice("server:/x", dir / "by-label"));
}

TEST(MountTable, VolumeSizesOfAnExistingFolder) {
    std::uint64_t freeBytes = 0, totalBytes = 0;
    EXPECT_TRUE(volumeSizes("/tmp", freeBytes, totalBytes));
    EXPECT_GT(totalBytes, 0u);
    EXPECT_LE(freeBytes, totalBytes);
    EXPECT_FALSE(volumeSizes("/no/such/folder", freeBytes, totalBytes));
    EXPECT_EQ(totalBytes, 0u);
}

TEST(DesktopSession, KernelReleaseBecomesTheVersionInteger) {
    EXPECT_EQ(osVersionFromRelease("6.1.0-18-amd64"), 60100);
    EXPECT_EQ(osVersionFromRelease("10.8.3"), 100803);
    EXPECT_EQ(osVersionFromRelease("5.10.209"), 51099);
    EXPECT_EQ(osVersionFromRelease("6.7"), 60700);
    EXPECT_EQ(osVersionFromRelease("garbage"), 0);
    EXPECT_GT(OSXVersion(), 0);
}

TEST(DesktopSession, AutostartEntryLandsInTheConfigFolder) {
    TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "cfg").c_str(), 1);
    EXPECT_FALSE(autostartEntryExists());
    ASSERT_TRUE(writeAutostartEntry("/opt/bw 2/bin/binwarden2-menu"));
    EXPECT_TRUE(autostartEntryExists());
    std::string entry = bw::test::readFile(home / "cfg/autostart/binwarden2-menu.desktop");
    EXPECT_NE(entry.find("Exec=\"/opt/bw 2/bin/binwarden2-menu\"\n"), std::string::npos);
    EXPECT_NE(entry.find("[Desktop Entry]"), std::string::npos);
    EXPECT_EQ(desktopExecQuote("/a$b"), "\"/a\\\\$b\"");
    // A backslash is escaped inside the quotes and that escape once more as a string value: four in the file.
    EXPECT_EQ(desktopExecQuote("/a\\b"), "\"/a\\\\\\\\b\"");
    unsetenv("XDG_CONFIG_HOME");
}

TEST(AdminRepair, AnswersAreReadAndASilentDialogIsBoundedAndEnded) {
    using namespace std::chrono;
    TempDir dir;
    // A stand-in for pkexec: notes its pid, then exits with the given status or never answers.
    auto fake = [&](const std::string& name, const std::string& body) {
        std::string path = dir / name;
        bw::test::writeFile(path, "#!/bin/sh\necho $$ > '" + (dir / name) + ".pid'\n" + body + "\n");
        chmod(path.c_str(), 0755);
        return path;
    };
    struct Case {
        const char* what;
        std::string body;
        milliseconds limit;
        bool cancelAfter100ms;
        RepairOutcome expected;
        int expectedStatus;
    };
    const Case cases[] = {
        {"repaired", "exit 0", seconds(5), false, RepairOutcome::Done, 0},
        {"dismissed", "exit 126", seconds(5), false, RepairOutcome::Dismissed, 126},
        {"refused", "exit 127", seconds(5), false, RepairOutcome::Refused, 127},
        {"failed", "exit 3", seconds(5), false, RepairOutcome::Failed, 3},
        {"never answers: bounded", "exec sleep 1000", milliseconds(300), false, RepairOutcome::Refused, -1},
        {"never answers: the agent quits", "exec sleep 1000", seconds(60), true, RepairOutcome::Refused, -1},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string name = "pkexec" + std::to_string(n++);
        std::string program = fake(name, c.body);
        std::atomic<bool> cancelled{false};
        std::thread canceller;
        if (c.cancelAfter100ms) {
            canceller = std::thread([&cancelled] {
                std::this_thread::sleep_for(milliseconds(100));
                cancelled = true;
            });
        }
        int status = -2;
        auto start = steady_clock::now();
        RepairOutcome outcome = runAdminRepair(program, dir / "helper", RepairWait{c.limit, &cancelled}, &status);
        auto took = steady_clock::now() - start;
        if (canceller.joinable())
            canceller.join();
        EXPECT_EQ(outcome, c.expected) << c.what;
        EXPECT_EQ(status, c.expectedStatus) << c.what;
        EXPECT_LT(took, seconds(3)) << c.what;
        // Nothing is left running behind the answer.
        std::string pidText = bw::test::readFile(dir / (name + ".pid"));
        ASSERT_FALSE(pidText.empty()) << c.what;
        pid_t pid = std::stoi(pidText);
        EXPECT_NE(kill(pid, 0), 0) << c.what << ": pid " << pid << " still there";
    }
    EXPECT_EQ(runAdminRepair(dir / "missing-pkexec", dir / "helper", RepairWait{}, nullptr),
              RepairOutcome::AuthorizationUnavailable);
}
