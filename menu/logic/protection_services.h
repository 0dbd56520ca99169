#pragma once
// What protection control needs of the system: the process table, launching the set-uid launcher,
// checking and repairing it, and waiting. SystemProtectionServices is the real one; tests use a fake.

#include "detached_launch.h"
#include "process_table.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bw {

class ProtectionServices {
public:
    virtual ~ProtectionServices() = default;

    // The processes of that name; nothing when none runs or the table cannot be read.
    virtual std::optional<std::vector<ProcessRecord>> processInfo(const std::string& name) = 0;
    // Starts the launcher detached; `onExit` (may be empty) runs on another thread with its exit status
    // once it has ended.
    virtual bool launch(const std::string& executable, const std::vector<std::string>& args, std::string* error,
                        std::function<void(int status)> onExit) = 0;
    // What keeps the launcher from starting daemons (empty: set up) and whether its repair could fix it.
    virtual std::string launcherProblem(const std::string& launcher, bool* repairCanFix) = 0;
    // Whether a daemon of ours runs for the trash argument (the trash folder with its slash). May be
    // called from the thread that watches the launcher.
    virtual bool daemonRunsFor(const std::string& trashArgument) = 0;
    // Repairs the launcher with administrator rights; `cancelled` turns true when the wait must end.
    virtual RepairOutcome repair(const std::string& launcher, const std::atomic<bool>& cancelled, int* status) = 0;
    virtual void sleep(std::chrono::milliseconds duration) = 0;

protected:
    ProtectionServices() = default;
    ProtectionServices(const ProtectionServices&) = default;
    ProtectionServices& operator=(const ProtectionServices&) = default;
};

} // namespace bw
