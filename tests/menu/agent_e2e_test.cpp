// The agent end to end: a staged install, a private bus, a throw-away user. Start and stop requests,
// daemons through the set-uid launcher, a trashed file reaching the cache, the pruning pass's
// notification, other users' requests, and a second agent of the same user.

#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "private_bus.h"
#include "process_table.h"
#include "settings/settings.h"
#include "temp_dir.h"
#include "throwaway_user.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

using namespace bw;
using bw::test::TempDir;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
               const std::function<void()>& meanwhile = {}) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (meanwhile)
            meanwhile();
        if (condition())
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

std::vector<pid_t> daemonsOf(uid_t uid) {
    std::vector<pid_t> pids;
    if (auto records = processInfoForDaemonNamed("bw2daemon")) {
        for (const auto& r : *records) {
            if (r.uid == uid)
                pids.push_back(r.pid);
        }
    }
    return pids;
}

bool exited(pid_t pid, int* status = nullptr) {
    int s = 0;
    pid_t r = waitpid(pid, &s, WNOHANG);
    if (r == pid && status)
        *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return r == pid;
}

void copyExecutable(const std::string& from, const std::string& to, mode_t mode) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    ASSERT_EQ(chown(to.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(to.c_str(), mode), 0);
}

bool flagOnStart(const std::string& settingsFile) {
    PlistPtr root = readSettingsFile(settingsFile);
    plist_t flag = root ? plist_dict_get_item(root.get(), kProtectionStatusOnStartKey) : nullptr;
    std::uint8_t value = 0;
    if (flag && plist_get_node_type(flag) == PLIST_BOOLEAN)
        plist_get_bool_val(flag, &value);
    return value != 0;
}

} // namespace

TEST(AgentEndToEnd, ProtectsATrashThroughTheLauncherAndObeysOnlyItsUser) {
    if (!bw::test::isRoot())
        GTEST_SKIP() << "needs root: the launcher is staged set-uid root and the agent runs as a throw-away user";
    std::string build = bw::test::buildDir();
    std::string helperBuilt = build + "/libexec/binwarden2/helper";
    std::string daemonBuilt = build + "/libexec/binwarden2/bw2daemon";
    if (!fs::exists(helperBuilt) || !fs::exists(daemonBuilt))
        GTEST_SKIP() << "needs helper and bw2daemon in " << build << "/libexec/binwarden2 (not built in this tree)";

    bw::test::PrivateBus bus;
    ASSERT_TRUE(bus.ok());

    // The staged install, root-owned as an installed tree is.
    TempDir stage("bw2stage");
    ASSERT_EQ(chmod(stage.path().c_str(), 0755), 0);
    fs::create_directories(stage / "bin");
    fs::create_directories(stage / "libexec/binwarden2");
    copyExecutable(build + "/bin/binwarden2-menu", stage / "bin/binwarden2-menu", 0755);
    copyExecutable(helperBuilt, stage / "libexec/binwarden2/helper", 04755);
    copyExecutable(daemonBuilt, stage / "libexec/binwarden2/bw2daemon", 0755);
    bw::test::writeFile(stage / "libexec/binwarden2/bus-address", bus.address() + "\n");
    ASSERT_EQ(chmod((stage / "libexec/binwarden2/bus-address").c_str(), 0644), 0);

    // The user and their home, with settings protecting "/" only and the age limit of 3 days.
    TempDir homes("bw2homes");
    ASSERT_EQ(chmod(homes.path().c_str(), 0755), 0);
    std::string home = homes / "user";
    bw::test::ThrowawayUser user(home);
    ASSERT_TRUE(user.valid());
    fs::create_directories(home + "/.config");
    Settings settings = Settings::defaults();
    settings.updates = false;
    ASSERT_TRUE(createSettingsFileIfMissing(home + "/.config/com.kor.Binwarden-2.plist"));
    for (auto& entry : fs::recursive_directory_iterator(home))
        ASSERT_EQ(lchown(entry.path().c_str(), user.uid(), user.gid()), 0);
    ASSERT_EQ(chown(home.c_str(), user.uid(), user.gid()), 0);
    std::string settingsFile = home + "/.config/com.kor.Binwarden-2.plist";

    std::vector<std::string> env = {"HOME=" + home, "PATH=/usr/bin:/bin", "QT_QPA_PLATFORM=offscreen",
                                    "DBUS_SYSTEM_BUS_ADDRESS=" + bus.address(), "XDG_RUNTIME_DIR=" + home};
    std::string agentLog = homes / "agent.log";
    pid_t agent = bw::test::spawnAs(user.uid(), user.gid(), {stage / "bin/binwarden2-menu"}, env, agentLog);
    ASSERT_GT(agent, 0);
    std::vector<pid_t> leftovers;
    auto cleanup = [&] {
        kill(agent, SIGTERM);
        waitUntil([&] { return exited(agent); }, 3s);
        for (pid_t pid : daemonsOf(user.uid()))
            kill(pid, SIGTERM);
        waitUntil([&] { return daemonsOf(user.uid()).empty(); }, 3s);
    };
    struct Guard {
        std::function<void()> run;
        ~Guard() { run(); }
    } guard{cleanup};

    // The agent is up once it wrote its login item.
    ASSERT_TRUE(waitUntil([&] { return fs::exists(home + "/.config/autostart/binwarden2-menu.desktop"); }, 10s))
        << bw::test::readFile(agentLog);
    std::this_thread::sleep_for(300ms);

    NotificationBus monitor;
    int done = 0;
    monitor.observe(notif::kCacheManagementDone, [&](const Notification&) { ++done; });
    std::string seen; // what passed on the bus, for the failure messages
    for (const char* name : {notif::kDaemonsMustQuit, notif::kDaemonQuits, notif::kStopProtection}) {
        monitor.observe(name, [&seen](const Notification& n) {
            seen += n.name + " " + n.object.value_or("-") + " from " +
                    (n.senderUid ? std::to_string(*n.senderUid) : std::string("?")) + "\n";
        });
    }
    auto pump = [&] {
        pollfd p{monitor.fd(), static_cast<short>(monitor.events()), 0};
        poll(&p, 1, 20);
        monitor.process();
    };
    pump();
    std::string uidText = std::to_string(user.uid());
    std::string otherUid = std::to_string(user.uid() + 1);

    // Another user's start request changes nothing.
    monitor.post(notif::kStartProtection, otherUid, nullptr, true);
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(daemonsOf(user.uid()).empty());

    // The user's own request starts one daemon for the one protected trash.
    monitor.post(notif::kStartProtection, uidText, nullptr, true);
    ASSERT_TRUE(waitUntil([&] { return daemonsOf(user.uid()).size() == 1; }, 10s, pump))
        << bw::test::readFile(agentLog);
    // Written once the launches are done, which may be a moment after the daemon shows up.
    EXPECT_TRUE(waitUntil([&] { return flagOnStart(settingsFile); }, 10s, pump));
    // The daemon's start causes one pruning pass, which ends with its notification.
    EXPECT_TRUE(waitUntil([&] { return done >= 1; }, 10s, pump));

    // A trashed file reaches the cache, and another pruning pass follows.
    int doneBefore = done;
    std::string trashFiles = home + "/.local/share/Trash/files";
    ASSERT_TRUE(fs::is_directory(trashFiles));
    bw::test::writeFile(trashFiles + "/report.txt", "quarterly numbers");
    ASSERT_EQ(lchown((trashFiles + "/report.txt").c_str(), user.uid(), user.gid()), 0);
    auto cachedCopy = [&] {
        std::error_code ec;
        for (auto& entry : fs::recursive_directory_iterator(home + "/.Binwarden2Cache", ec)) {
            if (entry.is_regular_file() && bw::test::readFile(entry.path()) == "quarterly numbers")
                return true;
        }
        return false;
    };
    EXPECT_TRUE(waitUntil(cachedCopy, 10s, pump));
    EXPECT_TRUE(waitUntil([&] { return done > doneBefore; }, 10s, pump));

    // A second agent of the same user quits at once; the first keeps running.
    pid_t second = bw::test::spawnAs(user.uid(), user.gid(), {stage / "bin/binwarden2-menu"}, env, agentLog);
    int secondStatus = -1;
    EXPECT_TRUE(waitUntil([&] { return exited(second, &secondStatus); }, 10s));
    EXPECT_EQ(secondStatus, 0);
    EXPECT_FALSE(exited(agent));

    // Another user's stop request leaves the daemon running.
    monitor.post(notif::kStopProtection, otherUid, nullptr, true);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(daemonsOf(user.uid()).size(), 1u);

    // The user's stop request ends the daemon within 2 s and clears the start-at-login flag.
    monitor.post(notif::kStopProtection, uidText, nullptr, true);
    EXPECT_TRUE(waitUntil([&] { return daemonsOf(user.uid()).empty(); }, 2s, pump))
        << seen << bw::test::readFile(agentLog);
    EXPECT_TRUE(waitUntil([&] { return !flagOnStart(settingsFile); }, 2s));
    EXPECT_FALSE(exited(agent));
}
