#include "fake_protection_services.h"

#include <thread>

namespace bw::test {

std::optional<std::vector<ProcessRecord>> FakeProtectionServices::processInfo(const std::string& name) {
    std::lock_guard lock(m_lock.mutex);
    std::vector<ProcessRecord> found;
    for (const auto& process : processes) {
        if (process.name == name)
            found.push_back(process);
    }
    if (found.empty())
        return std::nullopt;
    return found;
}

bool FakeProtectionServices::launch(const std::string&, const std::vector<std::string>& args, std::string*,
                                    std::function<void(int status)> onExit) {
    std::lock_guard lock(m_lock.mutex);
    launches.push_back(args);
    if (onExit)
        exits.push_back(std::move(onExit));
    return true;
}

std::string FakeProtectionServices::launcherProblem(const std::string&, bool* repairCanFix) {
    std::lock_guard lock(m_lock.mutex);
    *repairCanFix = unfixableProblem.empty();
    if (!unfixableProblem.empty())
        return unfixableProblem;
    return needsRepair ? "the launcher is not root-owned yet" : "";
}

bool FakeProtectionServices::daemonRunsFor(const std::string& trashArgument) {
    std::lock_guard lock(m_lock.mutex);
    return runningTrashes.count(trashArgument) > 0;
}

RepairOutcome FakeProtectionServices::repair(const std::string&, const std::atomic<bool>& cancelled, int* status) {
    bool hold = false;
    {
        std::lock_guard lock(m_lock.mutex);
        ++repairs;
        hold = holdRepairUntilCancelled;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    if (hold) {
        while (!cancelled.load() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::lock_guard lock(m_lock.mutex);
    *status = 3;
    if (repairFixes)
        needsRepair = false;
    ++m_repairsEnded;
    return repairOutcome;
}

void FakeProtectionServices::sleep(std::chrono::milliseconds duration) {
    if (realSleeps)
        std::this_thread::sleep_for(duration);
}

std::vector<std::vector<std::string>> FakeProtectionServices::launchesSoFar() const {
    std::lock_guard lock(m_lock.mutex);
    return launches;
}

int FakeProtectionServices::repairsEntered() const {
    std::lock_guard lock(m_lock.mutex);
    return repairs;
}

int FakeProtectionServices::repairsEnded() const {
    std::lock_guard lock(m_lock.mutex);
    return m_repairsEnded;
}

} // namespace bw::test
