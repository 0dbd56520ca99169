// Protection control with recorded services: settings to daemons, launcher repair outcomes, the process
// scan, the quit request and the start-at-login flag.

#include "fake_protection_services.h"
#include "protection_control.h"
#include "settings/settings.h"
#include "settings_file.h"
#include "temp_dir.h"
#include "throwaway_user.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

using namespace bw;
using bw::test::TempDir;

namespace {

// The system's services in memory, and a host that records what it is asked to post and show.
struct Recorder : bw::test::FakeProtectionServices, ProtectionHost {
    std::vector<std::pair<std::string, std::string>> posts;
    std::vector<bool> looks;
    std::vector<ProtectionProblemReport> problems;
    bool bus = true;

    void post(const std::string& name, const std::string& object) override { posts.emplace_back(name, object); }
    bool busConnected() override { return bus; }
    void showProtection(bool on) override { looks.push_back(on); }
    void reportProblem(const ProtectionProblemReport& report) override { problems.push_back(report); }
};

class ProtectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = dir / "home/me";
        bw::test::makeDirs(home);
        bw::test::makeDirs(dir / "libexec");
        launcher = dir / "libexec/helper";
        bw::test::writeFile(launcher, "#!/bin/sh\n");
        if (getuid() == 0) {
            ASSERT_EQ(chown(launcher.c_str(), 0, 0), 0);
        }
        settingsFile = home + "/.config/com.kor.Binwarden-2.plist";
    }

    std::unique_ptr<ProtectionControl> make() {
        return make(ProtectionPaths{getuid(), getgid(), home, home + "/.local/share", settingsFile, launcher, {}});
    }
    std::unique_ptr<ProtectionControl> make(const ProtectionPaths& paths, bool bus = true) {
        rec.bus = bus;
        return std::make_unique<ProtectionControl>(paths, rec, rec);
    }

    void writeSettings(const std::vector<VolumeEntry>& volumes) {
        Settings settings = Settings::defaults();
        settings.volumes = volumes;
        bw::test::writeSettingsFile(settingsFile, settings);
    }

    std::string uidText() const { return std::to_string(getuid()); }

    TempDir dir;
    std::string home, launcher, settingsFile;
    Recorder rec;
};

} // namespace

TEST_F(ProtectionTest, SlashOnlyStartsOneDaemonForTheHomeTrash) {
    writeSettings({{"/", true}});
    auto control = make();
    control->startProtection();
    ASSERT_EQ(rec.launches.size(), 1u);
    EXPECT_EQ(rec.launches[0], (std::vector<std::string>{launcher, "1", home + "/.local/share/Trash/files/", home + "/",
                                                         "700", "15", "1", uidText(), "3"}));
    EXPECT_EQ(control->protectionStatus(), kStatusOn);
    EXPECT_TRUE(std::filesystem::is_directory(home + "/.Binwarden2Cache"));
    EXPECT_EQ(std::filesystem::status(home + "/.Binwarden2Cache").permissions(),
              static_cast<std::filesystem::perms>(0700));
    EXPECT_TRUE(control->protectionStatusForStart());
    EXPECT_EQ(rec.repairs, getuid() == 0 ? 0 : 1);
    // A fresh account's home trash is made so that the daemon has a folder to survey.
    EXPECT_TRUE(std::filesystem::is_directory(home + "/.local/share/Trash/files"));
    EXPECT_TRUE(std::filesystem::is_directory(home + "/.local/share/Trash/info"));
}

TEST_F(ProtectionTest, NothingProtectedOrNoFileProtectsHomeOnly) {
    writeSettings({{"/", false}, {dir / "vol", false}});
    auto control = make();
    control->reloadSettings();
    EXPECT_EQ(control->diskManaged(), (std::vector<std::string>{home}));

    std::filesystem::remove(settingsFile);
    auto fresh = make();
    fresh->startProtection();
    ASSERT_EQ(rec.launches.size(), 1u);
    EXPECT_EQ(rec.launches[0][2], home + "/.local/share/Trash/files/");
    // Without a settings file the flag is neither written nor read as set.
    EXPECT_FALSE(std::filesystem::exists(settingsFile));
    EXPECT_FALSE(fresh->protectionStatusForStart());
}

TEST_F(ProtectionTest, VolumesFollowTheTrashRulesAndUnmountedOnesWaitForTheirMount) {
    std::string shared = dir / "shared", plain = dir / "plain", later = dir / "later";
    bw::test::makeDirs(shared + "/.Trash", 01777);
    bw::test::makeDirs(plain + "/.Trash", 0777); // no sticky bit: not to be trusted
    writeSettings({{"/", true}, {shared, true}, {plain, true}, {later, true}});
    auto control = make();
    control->startProtection();
    ASSERT_EQ(rec.launches.size(), 3u);
    EXPECT_EQ(rec.launches[1][2], shared + "/.Trash/" + uidText() + "/files/");
    EXPECT_EQ(rec.launches[1][3], shared + "/");
    EXPECT_EQ(rec.launches[2][2], plain + "/.Trash-" + uidText() + "/files/");
    // Neither trash had been used: each got the folder its daemon surveys.
    EXPECT_TRUE(std::filesystem::is_directory(shared + "/.Trash/" + uidText() + "/files"));
    EXPECT_TRUE(std::filesystem::is_directory(plain + "/.Trash-" + uidText() + "/files"));

    rec.processes = {{"bw2daemon", getuid(), 42}};
    bw::test::makeDirs(later);
    control->volumeDidMount(later);
    ASSERT_EQ(rec.launches.size(), 4u);
    EXPECT_EQ(rec.launches[3][3], later + "/");
    control->volumeDidMount(dir / "unrelated");
    rec.processes.clear();
    control->volumeDidMount(later); // protection off: nothing
    EXPECT_EQ(rec.launches.size(), 4u);
}

TEST_F(ProtectionTest, AVolumeWhoseDesktopFellBackToItsOwnTrashIsProtectedThere) {
    // A sticky ".Trash" the user cannot write into: the desktop trashes into ".Trash-<uid>" instead, so
    // that is the folder to protect (the other one does not exist and no daemon could watch it).
    std::string volume = dir / "stick";
    bw::test::makeDirs(volume + "/.Trash", 01755);
    bw::test::makeDirs(volume + "/.Trash-" + uidText() + "/files", 0700);
    writeSettings({{"/", true}, {volume, true}});
    auto control = make();
    control->startProtection();
    ASSERT_EQ(rec.launches.size(), 2u);
    EXPECT_EQ(rec.launches[1][2], volume + "/.Trash-" + uidText() + "/files/");
    EXPECT_EQ(rec.launches[1][3], volume + "/");

    // Once the user's folder in the shared trash exists it is the one the desktop uses.
    bw::test::makeDirs(volume + "/.Trash/" + uidText() + "/files", 0700);
    control->startProtection();
    ASSERT_EQ(rec.launches.size(), 4u);
    EXPECT_EQ(rec.launches[3][2], volume + "/.Trash/" + uidText() + "/files/");
}

TEST_F(ProtectionTest, AVolumeWhoseTrashWasNeverUsedGetsOneAndItsDaemon) {
    namespace fs = std::filesystem;
    std::string uid = uidText();
    struct Case {
        const char* what;
        std::function<void(const std::string& volume)> prepare;
        bool mountedLater;                  // appears while protection is on
        std::string expectedTrash;          // relative to the volume, the launched daemon's trash
        std::vector<std::string> madeFresh; // folders that must now exist with 0700
        std::string untouched;              // a folder whose mode must not change ("" = none)
    };
    const Case cases[] = {
        {"no trash at all",
         [](const std::string&) {},
         false,
         ".Trash-" + uid + "/files/",
         {".Trash-" + uid, ".Trash-" + uid + "/files", ".Trash-" + uid + "/info"},
         ""},
        {"a sticky shared trash without the user's folder",
         [](const std::string& v) { bw::test::makeDirs(v + "/.Trash", 01777); },
         false,
         ".Trash/" + uid + "/files/",
         {".Trash/" + uid, ".Trash/" + uid + "/files", ".Trash/" + uid + "/info"},
         ""},
        {"a shared trash without the sticky bit is not used",
         [](const std::string& v) { bw::test::makeDirs(v + "/.Trash", 0777); },
         false,
         ".Trash-" + uid + "/files/",
         {".Trash-" + uid + "/files", ".Trash-" + uid + "/info"},
         ""},
        {"a used trash is left as it is",
         [uid](const std::string& v) {
             bw::test::makeDirs(v + "/.Trash-" + uid + "/files", 0755);
             chmod((v + "/.Trash-" + uid).c_str(), 0755);
         },
         false,
         ".Trash-" + uid + "/files/",
         {},
         ".Trash-" + uid},
        {"mounted while protection is on",
         [](const std::string&) {},
         true,
         ".Trash-" + uid + "/files/",
         {".Trash-" + uid + "/files", ".Trash-" + uid + "/info"},
         ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string volume = dir / ("vol" + std::to_string(n++));
        if (!c.mountedLater) {
            bw::test::makeDirs(volume);
            c.prepare(volume);
        }
        writeSettings({{"/", true}, {volume, true}});
        rec.launches.clear();
        auto control = make();
        control->startProtection();
        if (c.mountedLater) {
            ASSERT_EQ(rec.launches.size(), 1u) << c.what;
            bw::test::makeDirs(volume);
            rec.processes = {{"bw2daemon", getuid(), 42}};
            control->volumeDidMount(volume);
            rec.processes.clear();
        }
        ASSERT_EQ(rec.launches.size(), 2u) << c.what;
        EXPECT_EQ(rec.launches[1][2], volume + "/" + c.expectedTrash) << c.what;
        for (const auto& folder : c.madeFresh) {
            EXPECT_TRUE(fs::is_directory(volume + "/" + folder)) << c.what << ": " << folder;
            EXPECT_EQ(fs::status(volume + "/" + folder).permissions(), static_cast<fs::perms>(0700))
                << c.what << ": " << folder;
        }
        if (!c.untouched.empty()) {
            EXPECT_EQ(fs::status(volume + "/" + c.untouched).permissions(), static_cast<fs::perms>(0755)) << c.what;
            EXPECT_FALSE(fs::exists(volume + "/" + c.untouched + "/info")) << c.what;
        }
    }

    // A link where the user's trash would be is never followed: nothing is made at its target.
    std::string volume = dir / "linked", elsewhere = dir / "elsewhere";
    bw::test::makeDirs(volume);
    bw::test::makeDirs(elsewhere);
    fs::create_directory_symlink(elsewhere, volume + "/.Trash-" + uid);
    EXPECT_TRUE(createVolumeTrashIfMissing(volume, getuid()));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    // No volume there: nothing to make.
    EXPECT_FALSE(createVolumeTrashIfMissing(dir / "not-mounted", getuid()));
    EXPECT_FALSE(fs::exists(dir / "not-mounted"));
}

TEST_F(ProtectionTest, ScanCountsOnlyTheUsersOwnDaemons) {
    auto control = make();
    uid_t other = getuid() + 1;
    rec.processes = {{"bw2daemon", other, 10}, {"binwarden2", other, 11}};
    EXPECT_FALSE(control->isProtectionActivated(true));
    EXPECT_FALSE(control->isMainAppLaunched());
    EXPECT_EQ(control->protectionStatus(), kStatusOff);
    rec.processes.push_back({"bw2daemon", getuid(), 12});
    EXPECT_FALSE(control->isProtectionActivated(false)); // known status, no scan
    EXPECT_TRUE(control->isProtectionActivated(true));
    rec.processes.push_back({"binwarden2", getuid(), 13});
    EXPECT_TRUE(control->isMainAppLaunched());
}

TEST_F(ProtectionTest, StopPostsTheQuitRequestAndFlagFollows) {
    writeSettings({{"/", true}});
    auto control = make();
    control->startProtection();
    control->stopProtection();
    ASSERT_EQ(rec.posts.size(), 1u);
    EXPECT_EQ(rec.posts[0], (std::pair<std::string, std::string>{"BWNotificationDaemonsMustQuit", uidText()}));
    EXPECT_EQ(control->protectionStatus(), kStatusOff);
    EXPECT_FALSE(rec.looks.back());
    control->setProtectionStatusForStartTo(false);
    EXPECT_FALSE(control->protectionStatusForStart());
    // The rest of the file is kept.
    EXPECT_EQ(loadSettings(settingsFile)->volumes.size(), 1u);
}

TEST_F(ProtectionTest, LauncherRepairOutcomes) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to give the launcher another owner";
    ASSERT_EQ(chown(launcher.c_str(), 65534, 65534), 0);
    rec.needsRepair = true;
    writeSettings({{"/", true}});

    rec.repairOutcome = RepairOutcome::Dismissed;
    auto control = make();
    control->startProtection();
    EXPECT_TRUE(rec.launches.empty());
    EXPECT_EQ(rec.repairs, 1);
    EXPECT_EQ(control->protectionStatus(), kStatusOn); // the start itself ends "on", as designed
    EXPECT_EQ(rec.looks, std::vector<bool>{false});

    rec.repairOutcome = RepairOutcome::AuthorizationUnavailable;
    control->launchDaemonForTrash({home + "/.local/share/Trash/files", home});
    EXPECT_TRUE(rec.launches.empty());
    EXPECT_EQ(control->protectionStatus(), kStatusUnknown);

    // A repair whose run reports a failure but that did set the launcher up: the launch is still tried.
    rec.repairOutcome = RepairOutcome::Failed;
    rec.repairFixes = true;
    control->launchDaemonForTrash({home + "/.local/share/Trash/files", home});
    EXPECT_EQ(rec.launches.size(), 1u);
    EXPECT_EQ(control->protectionStatus(), kStatusOn);

    // A missing cache root (volume gone) is skipped before anything is asked.
    rec.needsRepair = true;
    control->launchDaemonForTrash({dir / "gone/.Trash-0/files", dir / "gone"});
    EXPECT_EQ(rec.repairs, 3);
}

TEST_F(ProtectionTest, EveryReasonProtectionCouldNotStartIsReportedAndKept) {
    writeSettings({{"/", true}});
    const std::string trash = home + "/.local/share/Trash/files";
    const std::string problemFile = dir / "state/binwarden2/protection-problem";
    const struct {
        const char* what;
        std::string launcherProblem;
        bool needsRepair;
        RepairOutcome outcome;
        bool repairFixes;
        bool bus;
        bool daemonComesUp;
        std::optional<ProtectionProblem> expected;
        bool launched;
        const char* textNames; // what the text must say for the user to act on it
    } cases[] = {
        {"folder not root's: no password asked for nothing", "the launcher's folder is not root-owned", false,
         RepairOutcome::Done, false, true, false, ProtectionProblem::LauncherNotSetUp, false, "chown root:root"},
        {"no pkexec", "", true, RepairOutcome::AuthorizationUnavailable, false, true, false,
         ProtectionProblem::NoAuthorizationTool, false, "no pkexec"},
        {"dialog dismissed", "", true, RepairOutcome::Dismissed, false, true, false,
         ProtectionProblem::AuthorizationDismissed, false, "dismissed"},
        {"rights refused", "", true, RepairOutcome::Refused, false, true, false,
         ProtectionProblem::AuthorizationRefused, false, "refused"},
        {"repair ran, launcher still not root's", "", true, RepairOutcome::Done, false, true, false,
         ProtectionProblem::RepairFailed, false, "chmod 04755"},
        {"helper refused the launch", "", false, RepairOutcome::Done, false, true, false,
         ProtectionProblem::LauncherRefused, true, "journalctl"},
        {"no bus", "", false, RepairOutcome::Done, false, false, true, ProtectionProblem::NoBus, true, "no system bus"},
        {"all well after a repair", "", true, RepairOutcome::Done, true, true, true, std::nullopt, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rec = Recorder{};
        rec.unfixableProblem = c.launcherProblem;
        rec.needsRepair = c.needsRepair;
        rec.repairOutcome = c.outcome;
        rec.repairFixes = c.repairFixes;
        if (c.daemonComesUp)
            rec.runningTrashes.insert(trash + "/");
        ProtectionPaths paths{getuid(), getgid(), home, home + "/.local/share", settingsFile, launcher, problemFile};
        auto control = make(paths, c.bus);
        control->startProtection();
        for (auto& exit : rec.exits)
            exit(0); // the helper ends
        EXPECT_EQ(rec.launches.size(), c.launched ? 1u : 0u);
        auto last = readLastProtectionProblem(problemFile);
        if (!c.expected) {
            EXPECT_TRUE(rec.problems.empty());
            EXPECT_FALSE(last) << "a start without trouble clears the last report";
            continue;
        }
        ASSERT_EQ(rec.problems.size(), 1u);
        EXPECT_EQ(rec.problems[0].problem, *c.expected);
        const std::string text = protectionProblemText(rec.problems[0]);
        EXPECT_NE(text.find(c.textNames), std::string::npos) << text;
        EXPECT_EQ(text.find("202_"), std::string::npos) << "a bare key: " << text;
        if (*c.expected != ProtectionProblem::NoBus) {
            EXPECT_NE(text.find(trash), std::string::npos) << text;
        }
        ASSERT_TRUE(last) << "bw2ctl status reads it from " << problemFile;
        EXPECT_EQ(last->problem, *c.expected);
        EXPECT_EQ(last->trash, rec.problems[0].trash);
        EXPECT_EQ(protectionProblemText(*last), text);
    }
}

TEST(CacheOwnership, OnlyThisUsersCacheFoldersCount) {
    EXPECT_TRUE(isCacheFolderOfUser("/home/me/.Binwarden2Cache", "/home/me", 501));
    EXPECT_TRUE(isCacheFolderOfUser("/home/me/.Binwarden2Cache/", "/home/me", 501));
    EXPECT_TRUE(isCacheFolderOfUser("/media/me/Data/.Binwarden2Cache/501", "/home/me", 501));
    EXPECT_FALSE(isCacheFolderOfUser("/media/me/Data/.Binwarden2Cache/502", "/home/me", 501));
    EXPECT_FALSE(isCacheFolderOfUser("/home/other/.Binwarden2Cache", "/home/me", 501));
    EXPECT_FALSE(isCacheFolderOfUser("/home/me/Documents", "/home/me", 501));
    EXPECT_FALSE(isCacheFolderOfUser("/x/../home/me/.Binwarden2Cache/501/..", "/home/me", 501));
    EXPECT_FALSE(isCacheFolderOfUser("relative/.Binwarden2Cache/501", "/home/me", 501));
    EXPECT_FALSE(isCacheFolderOfUser("", "/home/me", 501));
}

TEST(LauncherSetup, NamesWhatIsNotRootsAndTheCommandThatSetsItUp) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to give the launcher's files their owners";
    TempDir dir;
    const std::string folder = dir / "it's a tree/libexec/binwarden2"; // the command must quote this
    const std::string helper = folder + "/helper", daemon = folder + "/bw2daemon";
    auto stage = [&](uid_t folderOwner, mode_t folderMode, uid_t daemonOwner, bool daemonThere, uid_t helperOwner,
                     mode_t helperMode) {
        std::filesystem::remove_all(dir / "it's a tree");
        bw::test::makeDirs(folder);
        ASSERT_EQ(chown(folder.c_str(), folderOwner, folderOwner), 0);
        ASSERT_EQ(chmod(folder.c_str(), folderMode), 0);
        bw::test::writeFile(helper, "helper");
        ASSERT_EQ(chown(helper.c_str(), helperOwner, helperOwner), 0);
        ASSERT_EQ(chmod(helper.c_str(), helperMode), 0);
        if (daemonThere) {
            bw::test::writeFile(daemon, "daemon");
            ASSERT_EQ(chown(daemon.c_str(), daemonOwner, daemonOwner), 0);
            ASSERT_EQ(chmod(daemon.c_str(), 0755), 0);
        }
    };
    const uid_t user = 65534;
    const struct {
        const char* what;
        uid_t folderOwner;
        mode_t folderMode;
        uid_t daemonOwner;
        bool daemonThere;
        uid_t helperOwner;
        mode_t helperMode;
        bool setUp;
        bool repairCanFix;
    } cases[] = {
        {"set up", 0, 0755, 0, true, 0, 04755, true, false},
        {"only the helper is the user's", 0, 0755, 0, true, user, 0755, false, true},
        {"helper root's without set-uid", 0, 0755, 0, true, 0, 0755, false, false},
        {"bw2daemon the user's", 0, 0755, user, true, user, 0755, false, false},
        {"bw2daemon missing", 0, 0755, 0, false, user, 0755, false, false},
        {"folder the user's", user, 0755, 0, true, user, 0755, false, false},
        {"folder writable by others", 0, 0777, 0, true, user, 0755, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stage(c.folderOwner, c.folderMode, c.daemonOwner, c.daemonThere, c.helperOwner, c.helperMode);
        bool canFix = !c.repairCanFix;
        std::string problem = launcherSetupProblem(helper, &canFix);
        EXPECT_EQ(problem.empty(), c.setUp) << problem;
        EXPECT_EQ(canFix, c.repairCanFix) << problem;
        if (c.setUp || !c.daemonThere)
            continue;
        // The command the user is told to have run sets the launcher up as it is.
        std::string command = launcherSetupCommand(helper);
        ASSERT_EQ(command.rfind("sudo ", 0), 0u) << command;
        ASSERT_EQ(bw::test::runAs(0, 0, {"/bin/sh", "-c", command.substr(5)}, {"PATH=/usr/bin:/bin"}), 0) << command;
        EXPECT_EQ(launcherSetupProblem(helper), "") << command;
    }
}
