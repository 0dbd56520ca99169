// bw2ctl delete-all and migrate as a person at a terminal-less machine meets them: nothing happens
// without the confirmation, and wrong arguments are refused.

#include "recording_services.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace {

using bw::test::putFile;
using bw::test::TempDir;

// Runs bw2ctl with standard input from /dev/null and HOME at `home`; answers its exit status.
int runCtl(const std::vector<std::string>& args, const std::string& home, const std::string& output) {
    std::vector<std::string> argv{bw::test::buildDir() + "/bin/bw2ctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::string homeVar = "HOME=" + home, configVar = "XDG_CONFIG_HOME=" + home + "/.config",
                busVar = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + home + "/no-bus";
    char* envp[] = {homeVar.data(), configVar.data(), busVar.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Bw2ctlMaintenance, WithoutConfirmationOrWithWrongArgumentsNothingIsTouched) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{"delete-all"}, 1, "cancelled"},
        {{"delete-all", "--force"}, 2, "usage: bw2ctl delete-all"},
        {{"delete-all", "--yes", "extra"}, 2, "usage: bw2ctl delete-all"},
        {{"migrate", "--convert"}, 2, "usage: bw2ctl migrate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        TempDir home;
        putFile(home / ".Binwarden2Cache/2026-12-06 09_05 +0100/item", "kept");
        putFile(home / ".TrashCacheFolder/1/a.x_.txt", "first version");
        EXPECT_EQ(runCtl(c.args, home.path(), home / "out.txt"), c.status);
        EXPECT_NE(bw::test::readFile(home / "out.txt").find(c.says), std::string::npos)
            << bw::test::readFile(home / "out.txt");
        struct stat st {};
        EXPECT_EQ(stat((home / ".Binwarden2Cache/2026-12-06 09_05 +0100/item").c_str(), &st), 0);
        EXPECT_EQ(stat((home / ".TrashCacheFolder/1/a.x_.txt").c_str(), &st), 0);
    }
}

} // namespace
