#include "delete_all_caches.h"

#include "desktop_session.h"
#include "mount_table.h"
#include "notification_bus.h"
#include "notification_names.h"
#include "protection_control.h"
#include "protection_plan.h"

namespace bw {

std::vector<std::string> currentCachesPaths() {
    return getCachesPaths(mountedLocalVolumes(), homeFolder());
}

RemovalReport deleteAllCaches(const std::vector<std::string>& cacheFolders, uid_t uid,
                              const MaintenanceServices& services, const RemovalOptions& options,
                              const ProgressFunction& progress) {
    if (services.post)
        services.post(notif::kStopProtection, userIdText(uid));
    services.sleep(std::chrono::milliseconds(100));
    RemovalReport report = removeFoldersBounded(cacheFolders, services, options, progress);
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
