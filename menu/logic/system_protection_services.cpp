#include "system_protection_services.h"

#include "protection_problem.h"

#include <unistd.h>

#include <thread>

namespace bw {

SystemProtectionServices::SystemProtectionServices() : m_uid(getuid()) {}

std::optional<std::vector<ProcessRecord>> SystemProtectionServices::processInfo(const std::string& name) {
    return processInfoForDaemonNamed(name);
}

bool SystemProtectionServices::launch(const std::string& executable, const std::vector<std::string>& args,
                                      std::string* error, std::function<void(int status)> onExit) {
    return launchDetached(executable, args, error, std::move(onExit));
}

std::string SystemProtectionServices::launcherProblem(const std::string& launcher, bool* repairCanFix) {
    return launcherSetupProblem(launcher, repairCanFix);
}

bool SystemProtectionServices::daemonRunsFor(const std::string& trashArgument) {
    return daemonRunsForTrash(m_uid, trashArgument);
}

RepairOutcome SystemProtectionServices::repair(const std::string& launcher, const std::atomic<bool>& cancelled,
                                               int* status) {
    return repairLauncherWithAdminRights(launcher, status, RepairWait{kRepairWaitLimit, &cancelled});
}

void SystemProtectionServices::sleep(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

} // namespace bw
