// bw2ctl status / start / stop: protection of the calling user, as the agent and the main application
// see it and ask for it.

#include "command.h"

#include "desktop_session.h"
#include "folder_size.h"
#include "menu_texts.h"
#include "mount_table.h"
#include "notification_bus.h"
#include "notification_names.h"
#include "process_table.h"
#include "protection_control.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// The daemon's arguments from /proc/<pid>/cmdline (argument 2 is its trash folder).
std::vector<std::string> commandLineOf(pid_t pid) {
    std::vector<std::string> args;
    std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return args;
    std::string content;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\0', start);
        if (end == std::string::npos)
            end = content.size();
        args.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

int status(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "usage: bw2ctl status\n");
        return 2;
    }
    uid_t uid = getuid();
    auto records = bw::processInfoForDaemonNamed(bw::kDaemonProcessName);
    bool on = bw::anyProcessOfUser(records, uid);
    std::printf("protection: %s\n", on ? "on" : "off");
    if (records) {
        for (const auto& record : *records) {
            if (record.uid != uid)
                continue;
            auto argv = commandLineOf(record.pid);
            std::printf("daemon %d: trash %s\n", static_cast<int>(record.pid),
                        argv.size() > 2 ? argv[2].c_str() : "(unknown)");
        }
    }
    bw::FolderSizer sizer;
    std::uint64_t total = 0;
    for (const auto& path : bw::getCachesPaths(bw::mountedLocalVolumes(), bw::homeFolder())) {
        std::uint64_t size = sizer.getFolderSize(path);
        total += size;
        std::printf("cache %s: %llu bytes\n", path.c_str(), static_cast<unsigned long long>(size));
    }
    std::printf("total cache size: %llu bytes (%s)\n", static_cast<unsigned long long>(total),
                bw::cacheSizeText(total).c_str());
    return 0;
}

int postRequest(const char* name, const std::vector<std::string>& args, const char* usage) {
    if (!args.empty()) {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    bw::NotificationBus bus;
    if (!bus.isConnected()) {
        std::fprintf(stderr, "bw2ctl: no system bus to post on\n");
        return 1;
    }
    bus.post(name, bw::userIdText(getuid()), nullptr, true);
    // Receivers ask the bus who sent a request; it can only answer while we are still connected.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("posted %s for user %u\n", name, static_cast<unsigned>(getuid()));
    return 0;
}

int start(const std::vector<std::string>& args) {
    return postRequest(bw::notif::kStartProtection, args, "usage: bw2ctl start\n");
}

int stop(const std::vector<std::string>& args) {
    return postRequest(bw::notif::kStopProtection, args, "usage: bw2ctl stop\n");
}

} // namespace

BW2CTL_COMMAND("status", "protection on/off for you, your daemons and their trashes, total cache size", status);
BW2CTL_COMMAND("start", "asks your agent to start protection", start);
BW2CTL_COMMAND("stop", "asks your agent to stop protection", stop);
