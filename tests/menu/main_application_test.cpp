// Opening the main application from the agent: launched through the services, the settings flag left
// first when the settings are asked for, nothing when the installation has no main application.

#include "fake_protection_services.h"
#include "main_application.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

using namespace bw;
using bw::test::TempDir;

TEST(MainApplication, OpensTheInstalledApplicationAndLeavesTheSettingsFlagWhenAsked) {
    struct Case {
        const char* what;
        bool installed;
        bool atSettings;
        bool opened;
    };
    const Case cases[] = {
        {"its first window", true, false, true},
        {"its settings", true, true, true},
        {"not installed", false, true, false},
    };
    for (const Case& c : cases) {
        TempDir root, data;
        const std::string app = root / "bin/binwarden2";
        if (c.installed) {
            bw::test::makeDirs(root / "bin");
            bw::test::writeFile(app, "#!/bin/sh\n");
            ASSERT_EQ(chmod(app.c_str(), 0755), 0);
        }
        bw::test::FakeProtectionServices services;
        EXPECT_EQ(openMainApplication(services, root.path(), data.path(), c.atSettings), c.opened) << c.what;
        EXPECT_EQ(services.launches,
                  c.opened ? std::vector<std::vector<std::string>>{{app}} : std::vector<std::vector<std::string>>{})
            << c.what;
        EXPECT_EQ(std::filesystem::exists(data / "Binwarden 2/.settingsFlag"), c.opened && c.atSettings) << c.what;
    }
}
