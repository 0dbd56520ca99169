// Uninstalling: every user's caches and preferences it may remove, the login entry, our agent and no
// other, and the program itself into the Trash or left with the command that removes it.

#include "maintenance_strings.h"
#include "recording_services.h"
#include "temp_dir.h"
#include "throwaway_user.h"
#include "uninstaller.h"
#include "user_trash.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

namespace {

using bw::test::makeDirs;
using bw::test::pathExists;
using bw::test::putFile;
using bw::test::readFile;
using bw::test::RecordingServices;
using bw::test::TempDir;

void chownTree(const std::string& path, uid_t uid, gid_t gid) {
    ASSERT_EQ(lchown(path.c_str(), uid, gid), 0);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
        ASSERT_EQ(lchown(entry.path().c_str(), uid, gid), 0);
}

void makeInstallTree(const std::string& root, bool withForeignProgram) {
    for (const char* program : {"binwarden2", "binwarden2-menu", "bw2ctl"})
        putFile(root + "/bin/" + program, "#!/bin/sh\n");
    putFile(root + "/libexec/binwarden2/helper", "x");
    putFile(root + "/share/applications/binwarden2.desktop", "[Desktop Entry]\n");
    if (withForeignProgram)
        putFile(root + "/bin/someone-elses-tool", "#!/bin/sh\n");
}

// A user's home with a cache, both preference files and the agent's login entry.
void populateHome(const std::string& home) {
    putFile(home + "/.Binwarden2Cache/2026-12-06 09_05 +0100/0F6A0E58-1C1B-4F5E-9D7B-2A8B0D1F0001", "kept");
    putFile(home + "/.config/com.kor.Binwarden-2.plist", "settings");
    putFile(home + "/.config/com.kor.Binwarden-2-Menu.plist", "menu");
    putFile(home + "/.config/autostart/binwarden2-menu.desktop", "[Desktop Entry]\nExec=binwarden2-menu\n");
    putFile(home + "/.config/other-app.conf", "not ours");
    // What an agent ended in the middle of writing its start flag leaves beside the file.
    putFile(home + "/.config/.com.kor.Binwarden-2.plist.b2ce8b077f44", "half written");
}

// A process whose command name is "binwarden2-menu": a copy of sleep under that name.
pid_t startNamedSleeper(const std::string& program, uid_t uid, gid_t gid, const std::string& log) {
    return bw::test::spawnAs(uid, gid, {program, "60"}, {}, log);
}

TEST(Uninstall, AsRootItRemovesBothUsersCachesPreferencesTheEntryOurAgentAndTrashesTheTree) {
    if (!bw::test::isRoot())
        GTEST_SKIP() << "needs root to make two throw-away users";
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string homeA = dir / "alice", homeB = dir / "bob";
    bw::test::ThrowawayUser alice(homeA), bob(homeB);
    ASSERT_TRUE(alice.valid() && bob.valid());
    populateHome(homeA);
    populateHome(homeB);
    std::string root = homeA + "/.local/opt/binwarden2";
    makeInstallTree(root, false);
    chownTree(homeA, alice.uid(), alice.gid());
    chownTree(homeB, bob.uid(), bob.gid());

    std::string sleeper = dir / "bin/binwarden2-menu";
    makeDirs(dir / "bin");
    std::filesystem::copy_file("/bin/sleep", sleeper);
    chmod(sleeper.c_str(), 0755);
    pid_t alicesAgent = startNamedSleeper(sleeper, alice.uid(), alice.gid(), dir / "a.log");
    pid_t bobsAgent = startNamedSleeper(sleeper, bob.uid(), bob.gid(), dir / "b.log");
    ASSERT_GT(alicesAgent, 0);
    ASSERT_GT(bobsAgent, 0);
    // Both must have executed the program (their command names) before the table is read.
    for (int i = 0; i < 200; ++i) {
        std::string a = readFile("/proc/" + std::to_string(alicesAgent) + "/comm");
        std::string b = readFile("/proc/" + std::to_string(bobsAgent) + "/comm");
        if (a == "binwarden2-menu\n" && b == "binwarden2-menu\n")
            break;
        usleep(10000);
    }

    bw::UninstallPlan plan;
    plan.uid = alice.uid();
    plan.cacheFolders = {homeA + "/.Binwarden2Cache"};
    plan.configFolder = homeA + "/.config";
    plan.userHomes = {homeA, homeB};
    plan.autostartEntry = homeA + "/.config/autostart/binwarden2-menu.desktop";
    plan.installRoot = root;
    plan.trashFolder = homeA + "/.local/share/Trash";

    RecordingServices recorder;
    recorder.realTable = true;
    recorder.ours = {alicesAgent, bobsAgent};
    auto report = bw::uninstall(plan, recorder.services(), {}, {});

    int status = 0;
    ASSERT_EQ(waitpid(alicesAgent, &status, 0), alicesAgent);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(waitpid(bobsAgent, &status, WNOHANG), 0) << "another user's agent must keep running";
    EXPECT_EQ(std::count(recorder.signalled.begin(), recorder.signalled.end(), bobsAgent), 0);
    kill(bobsAgent, SIGKILL);
    waitpid(bobsAgent, &status, 0);

    ASSERT_FALSE(recorder.posts.empty());
    EXPECT_EQ(recorder.posts[0].name, "BWNotificationStopProtection");
    EXPECT_EQ(recorder.posts[0].object, std::optional<std::string>(std::to_string(alice.uid())));
    for (const auto& home : {homeA, homeB}) {
        EXPECT_FALSE(pathExists(home + "/.Binwarden2Cache")) << home;
        EXPECT_FALSE(pathExists(home + "/.config/com.kor.Binwarden-2.plist")) << home;
        EXPECT_FALSE(pathExists(home + "/.config/com.kor.Binwarden-2-Menu.plist")) << home;
        EXPECT_FALSE(pathExists(home + "/.config/.com.kor.Binwarden-2.plist.b2ce8b077f44")) << home;
        EXPECT_TRUE(pathExists(home + "/.config/other-app.conf")) << home;
    }
    EXPECT_TRUE(report.caches.leftBehind.empty());
    EXPECT_TRUE(report.autostartRemoved);
    EXPECT_FALSE(pathExists(plan.autostartEntry));
    EXPECT_TRUE(pathExists(homeB + "/.config/autostart/binwarden2-menu.desktop")) << "only the user's own entry goes";
    EXPECT_EQ(report.agentsSignalled, 1);
    EXPECT_FALSE(report.restartAgentOnQuit);

    EXPECT_EQ(report.fate, bw::ProgramFate::MovedToTrash);
    EXPECT_FALSE(pathExists(root));
    std::string trashed = plan.trashFolder + "/files/binwarden2";
    EXPECT_EQ(report.trashedAs, std::vector<std::string>{trashed});
    EXPECT_TRUE(pathExists(trashed + "/bin/binwarden2"));
    std::string info = readFile(plan.trashFolder + "/info/binwarden2.trashinfo");
    EXPECT_NE(info.find("[Trash Info]\nPath=" + bw::trashInfoEncodedPath(root) + "\nDeletionDate="), std::string::npos)
        << info;
}

TEST(Uninstall, TheProgramIsTrashedWhenTheUsersOwnAndOtherwiseLeftWithOneCommand) {
    struct Case {
        const char* what;
        bool userOwned;
        bool foreignProgram;
        std::optional<std::string> package;
        bw::ProgramFate fate;
        std::string command;                  // with ROOT standing for the install root
        std::vector<std::string> trashed;     // names in the Trash
        std::vector<std::string> staysInTree; // relative to the root
    };
    const std::vector<Case> cases = {
        {"a tree of our own goes whole",
         true,
         false,
         {},
         bw::ProgramFate::MovedToTrash,
         "",
         {"prefix with 'quote"},
         {}},
        {"in a shared prefix of the user's only our files go",
         true,
         true,
         {},
         bw::ProgramFate::MovedToTrash,
         "",
         {"binwarden2", "binwarden2-menu", "bw2ctl", "binwarden2 2"},
         {"bin/someone-elses-tool", "share/applications/binwarden2.desktop"}},
        {"a package's tree names the package",
         false,
         false,
         std::string("binwarden2"),
         bw::ProgramFate::LeftForPackageManager,
         "sudo apt remove 'binwarden2'",
         {},
         {"bin/binwarden2"}},
        {"a root-owned tree of its own is removed whole",
         false,
         false,
         {},
         bw::ProgramFate::LeftForPackageManager,
         "sudo rm -r 'ROOT'",
         {},
         {"bin/binwarden2"}},
        {"in a root-owned shared prefix only our files are named",
         false,
         true,
         {},
         bw::ProgramFate::LeftForPackageManager,
         "sudo rm -r 'ROOT/bin/binwarden2' 'ROOT/bin/binwarden2-menu' 'ROOT/bin/bw2ctl' 'ROOT/libexec/binwarden2'",
         {},
         {"bin/binwarden2", "bin/someone-elses-tool"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string root = dir / "prefix with 'quote";
        makeInstallTree(root, c.foreignProgram);
        // Root may give the tree to any id; anybody else owns what it makes.
        uid_t owner = bw::test::isRoot() ? 4242 : getuid();
        if (bw::test::isRoot())
            chownTree(root, owner, 4242);
        bw::UninstallPlan plan;
        plan.uid = c.userOwned ? owner : owner + 1;
        plan.installRoot = root;
        plan.trashFolder = dir / "Trash";
        RecordingServices recorder;
        recorder.package = c.package;
        auto report = bw::uninstall(plan, recorder.services(), {}, {});
        EXPECT_EQ(report.fate, c.fate);
        std::string command = c.command;
        for (auto pos = command.find("ROOT"); pos != std::string::npos; pos = command.find("ROOT", pos))
            command.replace(pos, 4, dir / "prefix with '\\''quote"), pos += 4;
        EXPECT_EQ(report.removalCommand, command);
        for (const auto& name : c.trashed) {
            EXPECT_TRUE(pathExists(dir / "Trash/files/" + name)) << name;
            EXPECT_TRUE(pathExists(dir / "Trash/info/" + name + ".trashinfo")) << name;
        }
        EXPECT_EQ(report.trashedAs.size(), c.trashed.size());
        // The closing alert tells where the program went, or the command.
        std::string message = bw::uninstallDoneMessage(report);
        if (!command.empty()) {
            EXPECT_NE(message.find(command), std::string::npos) << message;
        }
        for (const auto& trashed : report.trashedAs)
            EXPECT_NE(message.find(trashed), std::string::npos) << message;
        for (const auto& rel : c.staysInTree)
            EXPECT_TRUE(pathExists(root + "/" + rel)) << rel;
    }
}

TEST(TrashInfo, PathsArePercentEncodedButForUnreservedCharactersAndSlashes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/home/a/opt/binwarden2", "/home/a/opt/binwarden2"},
        {"/home/a/my apps/x", "/home/a/my%20apps/x"},
        {"/h/100%/é", "/h/100%25/%C3%A9"},
        {"/h/a~b_c-d.e", "/h/a~b_c-d.e"},
    };
    for (const auto& [path, encoded] : cases)
        EXPECT_EQ(bw::trashInfoEncodedPath(path), encoded) << path;
}

} // namespace
