// A newcomer who is not root, as a throw-away ordinary user: what bw2ctl status and the agent say while
// the launcher is not set up, and make run's script protecting once an administrator set it up.

#include "private_bus.h"
#include "process_table.h"
#include "settings/settings.h"
#include "temp_dir.h"
#include "throwaway_user.h"

#include <grp.h>
#include <gtest/gtest.h>
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

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return condition();
}

std::vector<pid_t> processesOf(const char* name, uid_t uid) {
    std::vector<pid_t> pids;
    if (auto records = processInfoForDaemonNamed(name)) {
        for (const auto& r : *records)
            if (r.uid == uid)
                pids.push_back(r.pid);
    }
    return pids;
}

struct Output {
    int status = -1;
    std::string text; // standard output and error together
};

class Newcomer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bw::test::isRoot())
            GTEST_SKIP() << "needs root: a throw-away ordinary user and a launcher set up by root";
        build = bw::test::buildDir();
        for (const char* program : {"/bin/bw2ctl", "/bin/binwarden2-menu", "/libexec/binwarden2/helper",
                                    "/libexec/binwarden2/bw2daemon"}) {
            if (!fs::exists(build + program))
                GTEST_SKIP() << "needs " << build << program << " (not built in this tree)";
        }
        ASSERT_TRUE(bus.ok());
        root = std::make_unique<TempDir>("bw2newcomer");
        ASSERT_EQ(chmod(root->path().c_str(), 0755), 0);
        home = *root / "home";
        user = std::make_unique<bw::test::ThrowawayUser>(home);
        ASSERT_TRUE(user->valid());
        fs::create_directories(home + "/.config");
        ASSERT_TRUE(createSettingsFileIfMissing(home + "/.config/com.kor.Binwarden-2.plist"));
        giveToUser(home);
        io = root->path() + "/io"; // where the user's programs write what the test reads
        fs::create_directories(io);
        giveToUser(io);
        trash = home + "/.local/share/Trash/files";
        env = {"HOME=" + home, "PATH=/usr/bin:/bin", "DBUS_SYSTEM_BUS_ADDRESS=" + bus.address(),
               "OUT=" + io + "/out.txt"};
    }

    void TearDown() override {
        if (!user)
            return;
        for (const char* name : {"binwarden2-menu", "bw2daemon"})
            for (pid_t pid : processesOf(name, user->uid()))
                kill(pid, SIGTERM);
        waitUntil([&] { return processesOf("bw2daemon", user->uid()).empty(); }, 5s);
        user.reset();
    }

    void giveToUser(const std::string& path) {
        for (auto& entry : fs::recursive_directory_iterator(path))
            ASSERT_EQ(lchown(entry.path().c_str(), user->uid(), user->gid()), 0);
        ASSERT_EQ(lchown(path.c_str(), user->uid(), user->gid()), 0);
    }

    // Runs argv as the user with both output streams in one text.
    Output runAsUser(const std::vector<std::string>& argv) {
        std::vector<std::string> line = {"/bin/sh", "-c", "exec \"$@\" >\"$OUT\" 2>&1 </dev/null", "sh"};
        line.insert(line.end(), argv.begin(), argv.end());
        Output out;
        out.status = bw::test::runAs(user->uid(), user->gid(), line, env);
        out.text = bw::test::readFile(io + "/out.txt");
        return out;
    }

    std::string build, home, io, trash;
    std::vector<std::string> env;
    bw::test::PrivateBus bus;
    std::unique_ptr<TempDir> root;
    std::unique_ptr<bw::test::ThrowawayUser> user;
};

} // namespace

TEST_F(Newcomer, StatusAndAgentNameWhyTheLauncherCannotProtectAndTheFix) {
    // A tree staged by the user, as an install without root leaves it: everything theirs.
    const std::string stage = root->path() + "/stage";
    for (const char* program : {"bin/bw2ctl", "bin/binwarden2-menu", "libexec/binwarden2/helper",
                                "libexec/binwarden2/bw2daemon"}) {
        fs::create_directories(fs::path(stage + "/" + program).parent_path());
        fs::copy_file(build + "/" + program, stage + "/" + program);
    }
    giveToUser(stage);
    const std::string bw2ctl = stage + "/bin/bw2ctl";

    Output status = runAsUser({bw2ctl, "status"});
    EXPECT_EQ(status.status, 3) << status.text;
    for (const char* says : {"protection: off", "not root-owned", "an administrator sets the launcher up with: sudo",
                             "chown root:root", "chmod 04755", "the agent (binwarden2-menu) is not running"})
        EXPECT_NE(status.text.find(says), std::string::npos) << says << "\n" << status.text;

    // The agent, headless with its standard error in a log, asked to protect: it says why it cannot.
    const std::string agentLog = io + "/agent.log";
    std::vector<std::string> agentEnv = env;
    agentEnv.push_back("QT_QPA_PLATFORM=offscreen");
    pid_t agent = fork();
    if (agent == 0) {
        std::vector<std::string> line = {"/bin/sh", "-c", "exec \"$0\" >>\"$1\" 2>&1 </dev/null",
                                         stage + "/bin/binwarden2-menu", agentLog};
        std::vector<char*> args, envp;
        for (auto& a : line)
            args.push_back(a.data());
        args.push_back(nullptr);
        for (auto& e : agentEnv)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (setgroups(0, nullptr) != 0 || setgid(user->gid()) != 0 || setuid(user->uid()) != 0)
            _exit(125);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    ASSERT_GT(agent, 0);
    ASSERT_TRUE(waitUntil([&] { return !processesOf("binwarden2-menu", user->uid()).empty(); }, 10s));
    std::this_thread::sleep_for(1s); // its handlers are installed once the bus bridge is up
    Output start = runAsUser({bw2ctl, "start"});
    EXPECT_EQ(start.status, 0) << start.text;
    ASSERT_TRUE(waitUntil(
        [&] { return bw::test::readFile(agentLog).find("could not start") != std::string::npos; }, 15s))
        << bw::test::readFile(agentLog);
    const std::string log = bw::test::readFile(agentLog);
    EXPECT_NE(log.find("binwarden2-menu: Protection of " + trash + " could not start: the launcher is not set up"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("chown root:root"), std::string::npos) << log;
    EXPECT_TRUE(processesOf("bw2daemon", user->uid()).empty());

    status = runAsUser({bw2ctl, "status"});
    EXPECT_EQ(status.status, 3) << status.text;
    for (std::string says : {"why: no daemon protects " + trash, std::string("why: the agent last reported (")})
        EXPECT_NE(status.text.find(says), std::string::npos) << says << "\n" << status.text;
    EXPECT_EQ(status.text.find("agent (binwarden2-menu) is not running"), std::string::npos) << status.text;
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
}

TEST_F(Newcomer, MakeRunStopsWithTheAdministratorsCommandThenProtectsOnceItRan) {
    const std::string stage = root->path() + "/stage";
    fs::create_directories(stage);
    giveToUser(stage);
    const std::string script = bw::test::sourceDir() + "/scripts/run";
    // No sudo rights and no display here: nothing can ask for the rights.
    Output first = runAsUser({"/bin/bash", script, build, stage});
    EXPECT_EQ(first.status, 1) << first.text;
    const std::string marker = "an administrator runs: sudo ";
    auto at = first.text.find(marker);
    ASSERT_NE(at, std::string::npos) << first.text;
    const std::string command = first.text.substr(at + marker.size(), first.text.find('\n', at) - at - marker.size());
    EXPECT_NE(first.text.find("administrator rights needed once"), std::string::npos) << first.text;
    EXPECT_TRUE(processesOf("binwarden2-menu", user->uid()).empty()) << "an agent was left that cannot protect";

    // What the administrator runs, as printed.
    EXPECT_EQ(bw::test::runAs(0, 0, {"/bin/bash", "-c", command}, {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}), 0)
        << command;

    Output second = runAsUser({"/bin/bash", script, build, stage});
    ASSERT_EQ(second.status, 0) << second.text << bw::test::readFile(stage + "/run/agent.log");
    EXPECT_NE(second.text.find("protection: on"), std::string::npos) << second.text;
    EXPECT_EQ(second.text.find("administrator"), std::string::npos) << "asked again: " << second.text;
    ASSERT_EQ(processesOf("bw2daemon", user->uid()).size(), 1u);

    // A file thrown away reaches the cache.
    const std::string item = trash + "/letter.txt";
    bw::test::writeFile(item, "dear newcomer");
    ASSERT_EQ(chown(item.c_str(), user->uid(), user->gid()), 0);
    bool cached = waitUntil(
        [&] {
            std::error_code ec;
            for (auto it = fs::recursive_directory_iterator(home + "/.Binwarden2Cache", ec);
                 !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
                if (it->is_regular_file() && bw::test::readFile(it->path()) == "dear newcomer")
                    return true;
            }
            return false;
        },
        15s);
    EXPECT_TRUE(cached) << bw::test::readFile(stage + "/run/agent.log");
    EXPECT_FALSE(fs::exists(item));
}
