#pragma once
// A home folder with a trash and a cache, and a daemon set up to transfer from one to the other without
// a bus or an event loop: the transfer tests call its operations directly.

#include "daemon.h"
#include "temp_dir.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace bw::test {

class DaemonTransferTest : public ::testing::Test {
protected:
    bw::test::TempDir tmp{"bw2transfer"};
    std::string home = tmp.path();
    std::string trash = home + "/.local/share/Trash/files/";
    std::string info = home + "/.local/share/Trash/info/";
    std::string cache = home + "/.Binwarden2Cache";
    std::string batch = cache + "/2026-12-06 09_05 +0100";
    Daemon daemon;

    void SetUp() override {
        std::filesystem::create_directories(trash);
        std::filesystem::create_directories(info);
        std::filesystem::create_directories(batch);
        daemon.setHomeFolder(home);
        daemon.setTrashPath(trash);
        daemon.setTrashCachePath(home + "/");
        daemon.setDaemonUID(static_cast<std::int32_t>(getuid()));
        daemon.setRunningMode(1);
        daemon.setRepairItemDelay(0);
        daemon.setTerminationDelayScale(0);
    }
    void TearDown() override { daemon.joinRepairs(true); }
};

} // namespace bw::test
