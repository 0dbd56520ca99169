// Login items as XDG autostart entries: listing, our own entry, and removal by path or by name.

#include "PXAppUtils.h"
#include "desktop_session.h"
#include "maintenance_strings.h"
#include "recording_services.h"
#include "temp_dir.h"

#include <sys/stat.h>

#include <cstdlib>

#include <gtest/gtest.h>

namespace {

using bw::test::pathExists;
using bw::test::putFile;
using bw::test::TempDir;

TEST(PXAppUtils, ExecValuesWrittenForTheAgentReadBackAsTheSameProgram) {
    for (const std::string path :
         {"/opt/binwarden2/bin/binwarden2-menu", "/home/a b/my \"apps\"/bin/x", "/h/$HOME/`x`/100%/back\\slash"}) {
        EXPECT_EQ(bw::PXAppUtils::programOfExec(bw::desktopExecQuote(path)), path);
        EXPECT_EQ(bw::PXAppUtils::programOfExec(bw::desktopExecQuote(path) + " --hidden"), path);
    }
    EXPECT_EQ(bw::PXAppUtils::programOfExec("/usr/bin/other --flag"), "/usr/bin/other");
}

TEST(PXAppUtils, EntriesAreAddedOnceAndRemovedByPathOrName) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    std::string agent = dir / "root with space/bin/binwarden2-menu";
    putFile(agent, "#!/bin/sh\n");
    putFile(dir / "other", "#!/bin/sh\n");
    std::string folder = dir / "config/autostart";
    putFile(folder + "/other.desktop", "[Desktop Entry]\nExec=" + dir / "other" + " --x\n");
    putFile(folder + "/BinwardenMenuExtra.desktop", "[Desktop Entry]\nExec=/gone/BinwardenMenuExtra.app/x\n");
    putFile(folder + "/notes.txt", "not an entry");

    bw::PXAppUtils utils(folder, agent);
    EXPECT_FALSE(utils.isMyAppInLoginItems());
    ASSERT_TRUE(utils.setMyAppInLoginItems(true));
    EXPECT_TRUE(pathExists(bw::autostartEntryPath()));
    EXPECT_TRUE(utils.isMyAppInLoginItems(true));
    EXPECT_TRUE(bw::PXAppUtils(folder, dir / "elsewhere/binwarden2-menu").isMyAppInLoginItems(false));
    EXPECT_FALSE(bw::PXAppUtils(folder, dir / "elsewhere/binwarden2-menu").isMyAppInLoginItems(true));
    // Only entries whose program exists are listed (the first version's is gone).
    EXPECT_EQ(utils.loginItems().size(), 2u);

    EXPECT_EQ(utils.removeAppInLoginItemsWithLastPathComponent("BinwardenMenuExtra"), 1);
    EXPECT_FALSE(pathExists(folder + "/BinwardenMenuExtra.desktop"));
    EXPECT_EQ(utils.removeMyAppInLoginItems(), 1);
    EXPECT_FALSE(pathExists(bw::autostartEntryPath()));
    EXPECT_TRUE(pathExists(folder + "/other.desktop"));
    EXPECT_TRUE(pathExists(folder + "/notes.txt"));
    unsetenv("XDG_CONFIG_HOME");
}

TEST(MaintenanceStrings, EveryAlertHasItsTextsAndCancelWhereTheOrderPutsIt) {
    for (const auto* alert : {&bw::deleteAllCachesAlert(), &bw::uninstallAlert(), &bw::uninstallDoneAlert(),
                              &bw::leftBehindAlert(), &bw::version1OnLaunchAlert(), &bw::version1OnStartAlert()}) {
        for (const auto& key : {alert->titleKey, alert->messageKey})
            EXPECT_NE(bw::maintenanceString(key), key);
        for (const auto& key : alert->buttonKeys)
            EXPECT_NE(bw::maintenanceString(key), key);
    }
    EXPECT_EQ(bw::deleteAllCachesAlert().buttonKeys.front(), "200_Delete Item Alert Cancel Button");
    EXPECT_EQ(bw::uninstallAlert().buttonKeys.front(), "200_Uninstall Cancel");
    EXPECT_EQ(bw::version1OnStartAlert().buttonKeys[static_cast<int>(bw::Version1Answer::Cancel)],
              "200_V1 Alert Cancel Button");
}

} // namespace
