#include "delete_all_caches.h"

#include "store/cache_paths.h"

#include "desktop_session.h"
#include "files/mount_table.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "protection_control.h"
#include "protection_plan.h"

#include <unistd.h>

#include <cstring>

namespace bw {

std::vector<std::string> currentCachesPaths() {
    return usersOwnCacheFolders(getCachesPaths(mountedLocalVolumes(), homeFolder()), homeFolder(), getuid());
}

void removeEmptySharedCacheFolders(const RemovalReport& report) {
    const std::string suffix = std::string("/") + kCacheFolderName;
    for (const auto& folder : report.removed) {
        std::string parent = folder.substr(0, folder.rfind('/'));
        if (parent.size() > suffix.size() && parent.compare(parent.size() - suffix.size(), suffix.size(), suffix) == 0)
            rmdir(parent.c_str()); // only when empty: other users' folders keep it
    }
}

RemovalReport deleteAllCaches(const std::vector<std::string>& cacheFolders, uid_t uid,
                              const MaintenanceServices& services, const RemovalOptions& options,
                              const ProgressFunction& progress) {
    if (services.post)
        services.post(notif::kStopProtection, userIdText(uid));
    services.sleep(std::chrono::milliseconds(100));
    RemovalReport report = removeFoldersBounded(cacheFolders, services, options, progress);
    removeEmptySharedCacheFolders(report);
    if (services.post) {
        services.post(notif::kInfosNeedRefresh, std::nullopt);
        services.post(notif::kCacheManagementDone, std::nullopt);
    }
    services.sleep(std::chrono::milliseconds(100));
    return report;
}

int killExtraMenu(uid_t uid, const MaintenanceServices& services) {
    return terminateProcessesNamed({kAgentProcessName}, uid, services);
}

} // namespace bw
