// Protection control with recorded services: settings to daemons, launcher repair outcomes, the process
// scan, the quit request and the start-at-login flag.

#include "protection_control.h"
#include "settings.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace bw;
using bw::test::TempDir;

namespace {

struct Recorder {
    std::vector<std::vector<std::string>> launches;
    std::vector<std::pair<std::string, std::string>> posts;
    std::vector<ProcessRecord> processes;
    RepairOutcome repairOutcome = RepairOutcome::Done;
    int repairs = 0;
    std::vector<bool> looks;
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
        ProtectionPaths paths{getuid(), getgid(), home, home + "/.local/share", settingsFile, launcher};
        ProtectionServices services;
        services.processInfo = [this](const std::string& name) -> std::optional<std::vector<ProcessRecord>> {
            std::vector<ProcessRecord> found;
            for (const auto& p : rec.processes) {
                if (p.name == name)
                    found.push_back(p);
            }
            if (found.empty())
                return std::nullopt;
            return found;
        };
        services.launch = [this](const std::string&, const std::vector<std::string>& args, std::string*) {
            rec.launches.push_back(args);
            return true;
        };
        services.repair = [this](const std::string&, int* status) {
            ++rec.repairs;
            *status = 3;
            return rec.repairOutcome;
        };
        services.post = [this](const std::string& name, const std::string& object) {
            rec.posts.emplace_back(name, object);
        };
        services.sleep = [](std::chrono::milliseconds) {};
        services.showProtection = [this](bool on) { rec.looks.push_back(on); };
        return std::make_unique<ProtectionControl>(paths, services);
    }

    void writeSettings(const std::vector<VolumeEntry>& volumes) {
        Settings settings = Settings::defaults();
        settings.volumes = volumes;
        std::filesystem::create_directories(home + "/.config");
        PlistPtr root(plist_new_dict());
        plist_dict_set_item(root.get(), kSettingsDictKey, settings.toPlist().release());
        char* data = nullptr;
        uint32_t length = 0;
        plist_to_bin(root.get(), &data, &length);
        bw::test::writeFile(settingsFile, std::string(data, length));
        free(data);
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
    // Nothing is made inside a volume's trash.
    EXPECT_FALSE(std::filesystem::exists(shared + "/.Trash/" + uidText()));
    EXPECT_FALSE(std::filesystem::exists(plain + "/.Trash-" + uidText()));

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

    rec.repairOutcome = RepairOutcome::Failed;
    control->launchDaemonForTrash({home + "/.local/share/Trash/files", home});
    EXPECT_EQ(rec.launches.size(), 1u);
    EXPECT_EQ(control->protectionStatus(), kStatusOn);

    // A missing cache root (volume gone) is skipped before anything is asked.
    control->launchDaemonForTrash({dir / "gone/.Trash-0/files", dir / "gone"});
    EXPECT_EQ(rec.repairs, 3);
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
