// bw2ctl delete-all / migrate: deleting every cache and taking over the first version's caches, the same
// operations the application's menu runs, for machines without a display.

#include "command.h"

#include "delete_all_caches.h"
#include "maintenance_strings.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "version1_migration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

namespace {

// Services that post on the bus this command holds; a request carrying our uid is followed by a pause
// while we stay connected, because its receivers ask the bus who sent it.
bw::MaintenanceServices servicesOn(bw::NotificationBus& bus) {
    bw::MaintenanceServices services = bw::MaintenanceServices::system();
    services.post = [&bus](const std::string& name, const std::optional<std::string>& object) {
        if (!bus.tryPost(name, object, nullptr, true)) {
            std::fprintf(stderr, "bw2ctl: could not post %s (no system bus)\n", name.c_str());
            return;
        }
        if (object)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    };
    return services;
}

// The alert as a question on the terminal; true only for the answer at `acceptIndex`.
bool confirm(const bw::AlertText& alert, std::size_t acceptIndex) {
    if (!isatty(STDIN_FILENO))
        return false;
    std::printf("%s\n%s\n", bw::maintenanceString(alert.titleKey).c_str(),
                bw::maintenanceString(alert.messageKey).c_str());
    std::printf("Type \"%s\" to go on, anything else cancels: ",
                bw::maintenanceString(alert.buttonKeys[acceptIndex]).c_str());
    std::fflush(stdout);
    std::string answer;
    std::getline(std::cin, answer);
    return answer == bw::maintenanceString(alert.buttonKeys[acceptIndex]);
}

void printLeftBehind(const std::vector<bw::LeftBehind>& leftBehind) {
    if (leftBehind.empty())
        return;
    std::fprintf(stderr, "%s\n%s\n", bw::maintenanceString(bw::leftBehindAlert().titleKey).c_str(),
                 bw::maintenanceString(bw::leftBehindAlert().messageKey).c_str());
    for (const auto& folder : leftBehind)
        std::fprintf(stderr, "  %s (%s)\n", folder.path.c_str(), folder.reason.c_str());
}

int deleteAll(const std::vector<std::string>& args) {
    bool yes = args.size() == 1 && args[0] == "--yes";
    if (!args.empty() && !yes) {
        std::fprintf(stderr, "usage: bw2ctl delete-all [--yes]\n"
                             "Stops your protection and deletes every cache of yours on the mounted disks.\n"
                             "Without --yes it asks first (on a terminal; elsewhere it does nothing).\n");
        return 2;
    }
    if (!yes && !confirm(bw::deleteAllCachesAlert(), 1)) {
        std::printf("cancelled: nothing deleted\n");
        return 1;
    }
    bw::NotificationBus bus;
    auto services = servicesOn(bus);
    auto caches = bw::currentCachesPaths();
    auto report = bw::deleteAllCaches(caches, getuid(), services, {}, [](std::size_t done, std::size_t total) {
        std::printf("%zu/%zu\n", done, total);
        std::fflush(stdout);
    });
    for (const auto& folder : report.removed)
        std::printf("removed %s\n", folder.c_str());
    printLeftBehind(report.leftBehind);
    return report.leftBehind.empty() ? 0 : 1;
}

int migrate(const std::vector<std::string>& args) {
    bool deleteVersion1 = args.size() == 1 && args[0] == "--delete";
    if (!args.empty() && !deleteVersion1) {
        std::fprintf(stderr, "usage: bw2ctl migrate [--delete]\n"
                             "Stops the first version, removes its preferences and login entries, and converts\n"
                             "its caches into batches the recovery list shows (with --delete: deletes them).\n"
                             "Then asks your agent to start protection.\n");
        return 2;
    }
    bw::NotificationBus bus;
    auto services = servicesOn(bus);
    auto context = bw::Version1Context::forCurrentUser();
    if (bw::isVersion1MenuRunning(services.processTable()))
        std::printf("stopping the first version's menu\n");
    auto applications = bw::uninstallVersion1(context, services);
    bool anyCache = false;
    for (const auto& cache : bw::getVersion1CachesPaths(context.volumes, context.mounts, context.homeFolder)) {
        struct stat st {};
        anyCache = anyCache || lstat(cache.c_str(), &st) == 0;
    }
    if (applications.empty() && !anyCache) {
        std::printf("no first version found: nothing to do\n");
        return 0;
    }
    auto report = bw::finishUninstallV1(applications, deleteVersion1, context, services);
    for (const auto& application : report.applications)
        std::printf("first version found: %s\n", application.c_str());
    for (const auto& file : report.preferencesRemoved)
        std::printf("removed %s\n", file.c_str());
    for (const auto& folder : report.deleted)
        std::printf("deleted %s\n", folder.c_str());
    for (const auto& conversion : report.converted) {
        if (!conversion.batchFolder.empty())
            std::printf("converted %zu item(s) into %s\n", conversion.moved, conversion.batchFolder.c_str());
        if (conversion.failed)
            std::fprintf(stderr, "%zu item(s) could not be moved and stay where they were\n", conversion.failed);
    }
    for (const auto& folder : report.leftBehind)
        std::fprintf(stderr, "left behind: %s\n", folder.c_str());
    return report.leftBehind.empty() ? 0 : 1;
}

} // namespace

BW2CTL_COMMAND("delete-all", "stops your protection and deletes every cache of yours", deleteAll);
BW2CTL_COMMAND("migrate", "takes over the first version's caches (converts, or deletes with --delete)", migrate);
