// bw2ctl prune CACHE_FOLDER: one pruning pass with the stored settings, as the agent runs it.

#include "command.h"

#include "cache_pruning.h"
#include "desktop_session.h"
#include "files/mount_table.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "protection_plan.h"
#include "settings/settings.h"

#include <unistd.h>

#include <cstdio>

namespace {

int prune(const std::vector<std::string>& args) {
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
        std::fprintf(stderr, "usage: bw2ctl prune CACHE_FOLDER\n"
                             "Removes the batches of all but the most recent days of cache activity (the stored\n"
                             "\"BWS_nb days\"), then checks the volume's free space against \"BWS_percent\".\n");
        return 2;
    }
    const std::string& cache = args[0];
    bw::Settings stored = bw::loadSettings(bw::settingsFilePath()).value_or(bw::Settings::agentFallback());
    bw::AgentSettings settings = bw::agentSettingsFrom(stored, bw::homeFolder());
    auto mounts = bw::readMountTable();
    bw::PruneReport report = bw::pruneCache(
        cache, settings.cacheLifeInDays, settings.percentFreeSpaceMini, getuid(),
        [](const std::string& path, std::uint64_t& freeBytes, std::uint64_t& totalBytes) {
            return bw::volumeSizes(path, freeBytes, totalBytes);
        },
        [&mounts](const std::string& path) { return bw::isVolumeMountPoint(path, mounts); });
    for (const auto& name : report.removed)
        std::printf("removed %s\n", name.c_str());
    std::printf("removed %zu batch folder(s); cache life %lld day(s); cache size %llu bytes\n", report.removed.size(),
                static_cast<long long>(settings.cacheLifeInDays), static_cast<unsigned long long>(report.cacheSize));
    if (!report.measured) {
        std::fprintf(stderr, "bw2ctl prune: cannot read the size of the volume holding %s\n", cache.c_str());
        return 1;
    }
    std::printf("volume: %llu of %llu bytes free (%llu%%, minimum %lld%%)\n",
                static_cast<unsigned long long>(report.freeBytes), static_cast<unsigned long long>(report.totalBytes),
                static_cast<unsigned long long>(report.space.freePercent),
                static_cast<long long>(settings.percentFreeSpaceMini));
    if (report.space.verdict == bw::SpaceVerdict::DiskFullAlert)
        std::printf("disk full: emptying the cache would not free the %llu bytes needed\n",
                    static_cast<unsigned long long>(report.space.roomToFree));
    else if (report.space.verdict == bw::SpaceVerdict::MustDeleteData)
        std::printf("Must delete data in cache\n");
    bw::NotificationBus bus;
    if (bus.isConnected())
        bus.post(bw::notif::kCacheManagementDone, std::nullopt, nullptr, true);
    return 0;
}

} // namespace

BW2CTL_COMMAND("prune", "one pruning pass over a cache folder with the stored settings", prune);
