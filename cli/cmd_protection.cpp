// bw2ctl status / start / stop: protection of the calling user, as the agent and the main application
// see it and ask for it.

#include "command.h"

#include "desktop_session.h"
#include "files/folder_size.h"
#include "menu_texts.h"
#include "files/mount_table.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "process_table.h"
#include "protection_control.h"

#include "protection_problem.h"
#include "settings/settings.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <thread>

namespace {

// Why protection is off, or off for some trash, as far as this user's files and processes tell.
// Prints one "why:" line per cause; answers whether any was found.
bool explainWhyOff(uid_t uid, const std::vector<std::string>& daemonTrashes, bool on) {
    bool found = false;
    const std::string home = bw::homeFolder();
    const std::string launcher = bw::launcherPathIn(bw::installRoot());
    std::string problem = bw::launcherSetupProblem(launcher);
    if (!problem.empty()) {
        std::printf("why: %s; an administrator sets the launcher up with: %s\n", problem.c_str(),
                    bw::launcherSetupCommand(launcher).c_str());
        found = true;
    }
    if (!bw::anyProcessOfUser(bw::processInfoForDaemonNamed(bw::kAgentProcessName), uid)) {
        std::printf("why: the agent (%s) is not running; start it (make run, or Binwarden 2 Menu among your "
                    "applications)\n",
                    bw::kAgentProcessName);
        found = true;
    }
    auto settings = bw::loadSettings(bw::settingsFilePath()).value_or(bw::Settings::agentFallback());
    auto agent = bw::agentSettingsFrom(settings, home);
    bool missing = false;
    for (const auto& folder : agent.diskManaged) {
        auto trash = bw::trashForProtectedFolder(folder, home, uid, bw::xdgDataHome());
        if (!trash)
            continue;
        const std::string argument = trash->trashPath + "/";
        if (std::find(daemonTrashes.begin(), daemonTrashes.end(), argument) != daemonTrashes.end())
            continue;
        std::printf("why: no daemon protects %s\n", trash->trashPath.c_str());
        missing = true;
    }
    if (missing || !on) {
        if (auto last = bw::readLastProtectionProblem(bw::protectionProblemFilePath(home))) {
            char when[64] = "at an unknown time";
            if (last->when > 0) {
                struct tm local {};
                localtime_r(&last->when, &local);
                std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
            }
            std::printf("why: the agent last reported (%s): %s\n", when, bw::protectionProblemText(*last).c_str());
            found = true;
        }
    }
    return found || missing;
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
    std::vector<std::string> daemonTrashes;
    if (records) {
        for (const auto& record : *records) {
            if (record.uid != uid)
                continue;
            auto argv = bw::commandLineOf(record.pid);
            std::printf("daemon %d: trash %s\n", static_cast<int>(record.pid),
                        argv.size() > 2 ? argv[2].c_str() : "(unknown)");
            if (argv.size() > 2)
                daemonTrashes.push_back(argv[2]);
        }
    }
    if (!explainWhyOff(uid, daemonTrashes, on) && !on)
        std::printf("why: not known (no problem was reported; see the agent's log or the system log)\n");
    bw::FolderSizer sizer;
    std::uint64_t total = 0;
    for (const auto& path : bw::usersOwnCacheFolders(bw::getCachesPaths(bw::mountedLocalVolumes(), bw::homeFolder()),
                                                     bw::homeFolder(), getuid())) {
        std::uint64_t size = sizer.getFolderSize(path);
        total += size;
        std::printf("cache %s: %llu bytes\n", path.c_str(), static_cast<unsigned long long>(size));
    }
    std::printf("total cache size: %llu bytes (%s)\n", static_cast<unsigned long long>(total),
                bw::cacheSizeText(total).c_str());
    // Scripts tell "off" from a failure of the command itself.
    return on ? 0 : 3;
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

BW2CTL_COMMAND("status", "protection on/off for you (exit 3 when off) and why, your daemons and their trashes, total cache size", status);
BW2CTL_COMMAND("start", "asks your agent to start protection", start);
BW2CTL_COMMAND("stop", "asks your agent to stop protection", stop);
