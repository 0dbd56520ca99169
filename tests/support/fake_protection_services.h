#pragma once
// Protection services in memory: the process table is what the test sets, launches are recorded (nothing
// is started), the launcher's set-up and its repair are what the test decides, and nothing waits.
// Tests that need one service real derive from it and override that one.

#include "protection_services.h"

#include <atomic>
#include <mutex>
#include <set>

namespace bw::test {

class FakeProtectionServices : public ProtectionServices {
public:
    std::optional<std::vector<ProcessRecord>> processInfo(const std::string& name) override;
    bool launch(const std::string& executable, const std::vector<std::string>& args, std::string* error,
                std::function<void(int status)> onExit) override;
    std::string launcherProblem(const std::string& launcher, bool* repairCanFix) override;
    bool daemonRunsFor(const std::string& trashArgument) override;
    RepairOutcome repair(const std::string& launcher, const std::atomic<bool>& cancelled, int* status) override;
    void sleep(std::chrono::milliseconds duration) override;

    // The launches so far, safe to read while workers launch.
    std::vector<std::vector<std::string>> launchesSoFar() const;
    // Repairs entered and repairs that returned, safe to read while a worker repairs.
    int repairsEntered() const;
    int repairsEnded() const;

    // Set by the test before anything runs; read by it afterwards (or through the calls above).
    std::vector<ProcessRecord> processes;           // what processInfo finds, by name
    std::vector<std::vector<std::string>> launches; // the arguments of each launch
    std::vector<std::function<void(int)>> exits;    // each launch's exit callback, for the test to call
    std::set<std::string> runningTrashes;           // trash arguments a daemon runs for
    std::string unfixableProblem;                   // set: not set up, and the repair cannot fix it
    bool needsRepair = false;                       // only the launcher's own file is not set up
    bool repairFixes = false;                       // the repair sets it up
    RepairOutcome repairOutcome = RepairOutcome::Done;
    int repairs = 0;
    // The repair waits (at most ten seconds) for a cancel, then takes a fifth of a second to end, as
    // pkexec does when it is stopped: a caller that does not wait for it sees it still running.
    bool holdRepairUntilCancelled = false;
    bool realSleeps = false; // sleep really waits

private:
    // A fake is reset by assigning a fresh one; each keeps its own lock.
    struct Lock {
        Lock() = default;
        Lock(const Lock&) {}
        Lock& operator=(const Lock&) { return *this; }
        std::mutex mutex;
    };
    mutable Lock m_lock;
    int m_repairsEnded = 0;
};

} // namespace bw::test
