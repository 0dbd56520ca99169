#include "AppContext.h"

#include "desktop_session.h"
#include "detached_launch.h"
#include "files/mount_table.h"

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

std::string AppContext::launcherPath() const {
    return launcherPathIn(services.installRoot);
}

} // namespace bw
