// The main application end to end: a staged install, a private bus, a throw-away user running the real
// agent. The window's Start and Stop buttons change the daemons bw2ctl status reports, and saving the
// settings makes the agent restart protection with the new limits, caching mode and filters.

#include "InfosController.h"
#include "MainController.h"
#include "PXFiltersController.h"
#include "SettingsController.h"
#include "app_test_support.h"
#include "process_table.h"
#include "settings/settings.h"
#include "start_stop_button.h"
#include "tab_button.h"
#include "throwaway_user.h"

#include <QButtonGroup>
#include <QLineEdit>
#include <QPushButton>

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

using namespace bw;
using namespace bw::test;
namespace fs = std::filesystem;

namespace {

// Starts a program as the user without waiting for it; its output goes to logPath.
pid_t spawnAs(const ThrowawayUser& user, const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& logPath) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log >= 0) {
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
    }
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0)
        dup2(null, STDIN_FILENO);
    if (setgroups(0, nullptr) != 0 || setgid(user.gid()) != 0 || setuid(user.uid()) != 0)
        _exit(126);
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(127);
}

struct DaemonSeen {
    pid_t pid = 0;
    std::vector<std::string> args; // the eight arguments after the program
};

std::vector<DaemonSeen> daemonsOf(uid_t uid) {
    std::vector<DaemonSeen> found;
    auto records = processInfoForDaemonNamed("bw2daemon");
    if (!records)
        return found;
    for (const auto& r : *records) {
        if (r.uid != uid)
            continue;
        std::string content = readFile("/proc/" + std::to_string(r.pid) + "/cmdline");
        DaemonSeen daemon{r.pid, {}};
        std::size_t start = 0;
        while (start < content.size()) {
            std::size_t end = content.find('\0', start);
            daemon.args.push_back(content.substr(start, end - start));
            start = end == std::string::npos ? content.size() : end + 1;
        }
        if (!daemon.args.empty())
            daemon.args.erase(daemon.args.begin());
        found.push_back(daemon);
    }
    return found;
}

void copyExecutable(const std::string& from, const std::string& to, mode_t mode) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    ASSERT_EQ(chown(to.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(to.c_str(), mode), 0);
}

} // namespace

TEST(AppEndToEnd, TheWindowStartsAndStopsProtectionAndSavedSettingsRestartIt) {
    if (!isRoot())
        GTEST_SKIP() << "needs root: the launcher is staged set-uid root and the agent runs as a throw-away user";
    std::string build = buildDir();
    for (const char* program :
         {"/bin/binwarden2-menu", "/bin/bw2ctl", "/libexec/binwarden2/helper", "/libexec/binwarden2/bw2daemon"}) {
        if (!fs::exists(build + program))
            GTEST_SKIP() << "needs " << build << program << " (not built in this tree)";
    }
    AppFixture app;
    ASSERT_TRUE(app.systemBus.ok());

    // The staged install, root-owned as an installed tree is.
    TempDir stage("bw2stage");
    ASSERT_EQ(chmod(stage.path().c_str(), 0755), 0);
    fs::create_directories(stage / "bin");
    fs::create_directories(stage / "libexec/binwarden2");
    copyExecutable(build + "/bin/binwarden2-menu", stage / "bin/binwarden2-menu", 0755);
    copyExecutable(build + "/bin/bw2ctl", stage / "bin/bw2ctl", 0755);
    copyExecutable(build + "/libexec/binwarden2/helper", stage / "libexec/binwarden2/helper", 04755);
    copyExecutable(build + "/libexec/binwarden2/bw2daemon", stage / "libexec/binwarden2/bw2daemon", 0755);
    writeFile(stage / "libexec/binwarden2/bus-address", app.systemBus.address() + "\n");
    ASSERT_EQ(chmod((stage / "libexec/binwarden2/bus-address").c_str(), 0644), 0);

    // The user, their home and the settings file the application created at its first launch.
    TempDir homes("bw2homes");
    ASSERT_EQ(chmod(homes.path().c_str(), 0755), 0);
    std::string home = homes / "user";
    ThrowawayUser user(home);
    ASSERT_TRUE(user.valid());
    fs::create_directories(home + "/.config");
    std::string settingsFile = home + "/.config/com.kor.Binwarden-2.plist";
    ASSERT_TRUE(createSettingsFileIfMissing(settingsFile));
    for (auto& entry : fs::recursive_directory_iterator(home))
        ASSERT_EQ(lchown(entry.path().c_str(), user.uid(), user.gid()), 0);
    ASSERT_EQ(chown(home.c_str(), user.uid(), user.gid()), 0);

    std::vector<std::string> env = {"HOME=" + home, "PATH=/usr/bin:/bin", "QT_QPA_PLATFORM=offscreen",
                                    "DBUS_SYSTEM_BUS_ADDRESS=" + app.systemBus.address(), "XDG_RUNTIME_DIR=" + home};
    std::string agentLog = homes / "agent.log";
    pid_t agent = spawnAs(user, {stage / "bin/binwarden2-menu"}, env, agentLog);
    ASSERT_GT(agent, 0);
    struct Guard {
        pid_t agent;
        uid_t uid;
        ~Guard() {
            kill(agent, SIGTERM);
            pumpUntil([&] { return waitpid(agent, nullptr, WNOHANG) == agent; }, 3000);
            for (const auto& daemon : daemonsOf(uid))
                kill(daemon.pid, SIGTERM);
            pumpUntil([&] { return daemonsOf(uid).empty(); }, 3000);
        }
    } guard{agent, user.uid()};
    ASSERT_TRUE(pumpUntil([&] { return fs::exists(home + "/.config/autostart/binwarden2-menu.desktop"); }, 10000))
        << readFile(agentLog);

    // The application as this user sees it: their settings file, their id, this install.
    app.context.reset(new AppContext{*app.bus, DefaultsStore(settingsFile), AccessKeychain("bw2e2e"),
                                     app.context->services, user.uid(), home, homes / "support"});
    app.context->services.processInfo = [](const std::string& name) { return processInfoForDaemonNamed(name); };
    app.context->services.installRoot = stage.path();
    MainController window(*app.context);
    window.awakeFromNib();
    InfosController* infos = window.infosController();
    auto statusOfUser = [&] {
        std::string out = home + "/status.out";
        runAs(user.uid(), user.gid(), {"/bin/sh", "-c", "exec '" + stage / "bin/bw2ctl" + "' status > '" + out + "'"},
              env);
        return readFile(out);
    };

    // Start from the window: the launcher is root-owned, so the running look shows at once.
    infos->startStopButton()->click();
    EXPECT_EQ(infos->protectionStatus(), InfosController::kStartShown);
    ASSERT_TRUE(pumpUntil([&] { return daemonsOf(user.uid()).size() == 1; }, 10000)) << readFile(agentLog);
    std::string status = statusOfUser();
    EXPECT_NE(status.find("protection: on"), std::string::npos) << status;
    EXPECT_NE(status.find("daemon " + std::to_string(daemonsOf(user.uid())[0].pid)), std::string::npos) << status;
    std::vector<std::string> before = daemonsOf(user.uid())[0].args;
    ASSERT_EQ(before.size(), 8u);
    EXPECT_EQ(before[3], "700");
    EXPECT_EQ(before[5], "1");

    // New limits, copy mode and a filter, saved from the Advanced tab.
    window.tabButton(3)->click();
    SettingsController& settings = *window.settingController();
    settings.fileMaxSizeTF()->setText("250");
    settings.percentDiskSpaceTF()->setText("20");
    settings.ativityDayTF()->setText("9");
    settings.cachingModeMatrix()->button(2)->click();
    window.filterController()->addFilter();
    window.filterController()->setTypeIndex(0, 1);
    window.filterController()->setRule(0, ".tmp");
    ASSERT_TRUE(pumpUntil([&] { return settings.saveButtonAdvanced()->isEnabled(); }, 2000));
    settings.saveButtonAdvanced()->click();
    auto restarted = [&] {
        auto daemons = daemonsOf(user.uid());
        return daemons.size() == 1 && daemons[0].args.size() == 8 && daemons[0].args[3] == "250" &&
               daemons[0].args[4] == "20" && daemons[0].args[5] == "2" && daemons[0].args[7] == "9";
    };
    ASSERT_TRUE(pumpUntil(restarted, 15000)) << readFile(agentLog);

    // The restarted daemon read the new filter: a .tmp file stays out of the cache, another is copied in.
    std::string trash = home + "/.local/share/Trash/files";
    ASSERT_TRUE(fs::is_directory(trash));
    for (const char* name : {"scratch.tmp", "keep.txt"}) {
        writeFile(trash + "/" + name, std::string("content of ") + name);
        ASSERT_EQ(lchown((trash + "/" + name).c_str(), user.uid(), user.gid()), 0);
    }
    auto cached = [&](const std::string& content) {
        std::error_code ec;
        for (auto& entry : fs::recursive_directory_iterator(home + "/.Binwarden2Cache", ec)) {
            if (entry.is_regular_file() && readFile(entry.path()) == content)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(pumpUntil([&] { return cached("content of keep.txt"); }, 10000));
    EXPECT_FALSE(cached("content of scratch.tmp"));
    EXPECT_TRUE(fs::exists(trash + "/keep.txt")); // copy mode leaves the trash as it is

    // Stop from the window, once the next tick has shown the real state.
    window.tabButton(0)->click();
    infos->refreshTimer();
    EXPECT_TRUE(infos->startStopButton()->isEnabled());
    infos->startStopButton()->click();
    EXPECT_EQ(infos->protectionStatus(), InfosController::kStopOrUnknown);
    ASSERT_TRUE(pumpUntil([&] { return daemonsOf(user.uid()).empty(); }, 10000)) << readFile(agentLog);
    status = statusOfUser();
    EXPECT_NE(status.find("protection: off"), std::string::npos) << status;
}
