#pragma once
// A temporary home with a freedesktop trash, a private bus, and the real bw2daemon.

#include "store/cache_index.h"
#include "daemon_runner.h"
#include "bus/notification_names.h"
#include "private_bus.h"
#include "temp_dir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace bw::test {

namespace fs = std::filesystem;

// Whether the process holds an inotify watch on this inode (read from its descriptors' fdinfo).
inline bool watchesInode(pid_t pid, const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, " ino:%llx ", static_cast<unsigned long long>(st.st_ino));
    const std::string fdinfo = "/proc/" + std::to_string(pid) + "/fdinfo";
    std::error_code ec;
    for (auto& entry : fs::directory_iterator(fdinfo, ec)) {
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("inotify wd:", 0) == 0 && line.find(wanted) != std::string::npos)
                return true;
    }
    return false;
}

class DaemonE2E : public ::testing::Test {
protected:
    PrivateBus bus;
    BusRecorder recorder;
    TempDir tmp{"bw2e2e"};
    std::string home = tmp / "home";
    std::string data = home + "/.local/share";
    std::string config = home + "/.config";
    std::string trash = data + "/Trash/files/";
    std::string info = data + "/Trash/info/";
    std::string cache = home + "/.Binwarden2Cache";
    std::string logPath = tmp / "daemon.log";
    // Started with the one-second survey forced (what a kernel that cannot watch the trash leaves).
    bool pollSurveys = false;

    void SetUp() override {
        ASSERT_TRUE(bus.ok());
        makeDirs(trash);
        makeDirs(info);
        makeDirs(config);
    }

    void trashFile(const std::string& name, const std::string& content) {
        writeFile(trash + name, content);
        writeInfo(name);
    }
    void writeInfo(const std::string& name) {
        writeFile(info + name + ".trashinfo",
                  "[Trash Info]\nPath=/somewhere/" + name + "\nDeletionDate=2026-12-06T09:05:00\n");
    }

    DaemonProcess start(int mode, long long sizeLimit = 0, long long percent = 0,
                        const std::string& uid = std::to_string(getuid()), const std::string& surveyTime = "1") {
        std::map<std::string, std::string> env{{"HOME", home}, {"XDG_DATA_HOME", data}, {"XDG_CONFIG_HOME", config}};
        if (pollSurveys)
            env["BW2_SURVEY_POLL"] = "1";
        return DaemonProcess::start({surveyTime, trash, home + "/", std::to_string(sizeLimit), std::to_string(percent),
                                     std::to_string(mode), uid, "3"},
                                    env, logPath);
    }

    // Started and listening: the silent cache update is posted once its observers are in place.
    DaemonProcess startAndWait(int mode, long long sizeLimit = 0, long long percent = 0) {
        const std::size_t before = recorder.named(notif::kCacheUpdateSilent).size();
        DaemonProcess process = start(mode, sizeLimit, percent);
        EXPECT_TRUE(recorder.waitForCount(notif::kCacheUpdateSilent, before + 1, 10)) << log();
        return process;
    }

    void quit(DaemonProcess& process) {
        process.signal(SIGTERM);
        EXPECT_EQ(std::optional<int>(0), process.waitExit(10));
    }

    std::string log() const { return readFile(logPath); }

    std::vector<std::string> batchFolders() const {
        std::vector<std::string> out;
        if (!fs::exists(cache))
            return out;
        for (auto& entry : fs::directory_iterator(cache))
            if (entry.is_directory() && !entry.is_symlink())
                out.push_back(entry.path().string());
        return out;
    }

    // Every index entry of every batch: stored path -> name in the trash.
    std::map<std::string, std::string> entries() const {
        std::map<std::string, std::string> out;
        for (const std::string& batch : batchFolders()) {
            std::optional<BWCacheIndex> index = readCacheIndex(batch);
            if (!index || !index->indexTable())
                continue;
            for (auto& [stored, entry] : *index->indexTable())
                out[batch + "/" + stored] = entry.realName;
        }
        return out;
    }

    std::vector<std::string> storedNamesFor(const std::string& realName) const {
        std::vector<std::string> out;
        for (auto& [stored, name] : entries())
            if (name == realName)
                out.push_back(stored);
        return out;
    }

    std::size_t trashCount() const {
        std::size_t n = 0;
        for ([[maybe_unused]] auto& e : fs::directory_iterator(trash))
            ++n;
        return n;
    }
};

} // namespace bw::test
