#pragma once
// The real protection services: /proc, posix_spawn, pkexec and real sleeps.

#include "protection_services.h"

#include <sys/types.h>

namespace bw {

class SystemProtectionServices final : public ProtectionServices {
public:
    SystemProtectionServices();

    std::optional<std::vector<ProcessRecord>> processInfo(const std::string& name) override;
    bool launch(const std::string& executable, const std::vector<std::string>& args, std::string* error,
                std::function<void(int status)> onExit) override;
    std::string launcherProblem(const std::string& launcher, bool* repairCanFix) override;
    bool daemonRunsFor(const std::string& trashArgument) override;
    RepairOutcome repair(const std::string& launcher, const std::atomic<bool>& cancelled, int* status) override;
    void sleep(std::chrono::milliseconds duration) override;

private:
    uid_t m_uid;
};

} // namespace bw
