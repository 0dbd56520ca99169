#include "AppContext.h"

#include "desktop_session.h"
#include "detached_launch.h"
#include "files/mount_table.h"
#include "uninstaller.h"

namespace bw {

AppServices AppServices::system() {
    AppServices services;
    services.processInfo = [](const std::string& name) { return processInfoForDaemonNamed(name); };
    services.launch = [](const std::string& executable, const std::vector<std::string>& args, std::string* error) {
        return launchDetached(executable, args, error);
    };
    services.mountedVolumes = [] { return mountedLocalVolumes(); };
    services.volumeChecks = VolumeChecks::system();
    services.installRoot = bw::installRoot();
    services.maintenance = MaintenanceServices::system();
    services.userHomes = [] { return userHomeFolders(); };
    return services;
}

bool AppContext::checkPassword() const {
    switch (keychain.find().status) {
    case KeychainStatus::Found:
        return true;
    case KeychainStatus::NotFound:
        return false;
    case KeychainStatus::Failed:
        break;
    }
    return store.settings().pass;
}

MaintenanceServices AppContext::maintenanceServices() const {
    MaintenanceServices maintenance = services.maintenance;
    NotificationBus* notifications = &bus;
    maintenance.post = [notifications](const std::string& name, const std::optional<std::string>& object) {
        notifications->post(name, object, nullptr, true);
    };
    return maintenance;
}

std::string AppContext::launcherPath() const {
    return launcherPathIn(services.installRoot);
}

} // namespace bw
