#pragma once
// Starting other programs: detached (new session, not waited for by the caller) and, for the launcher's
// repair, through pkexec with administrator rights.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace bw {

// Starts `executable` with `args` (argument 0 is the executable's path) in a new session, its standard
// input on /dev/null. The caller does not wait; a background thread reaps the child so that no zombie
// is left; `onExit`, when given, then runs on that thread with the exit status (-1: killed by a signal).
// False (and `error` set) when it could not be started.
bool launchDetached(const std::string& executable, const std::vector<std::string>& args, std::string* error = nullptr,
                    std::function<void(int status)> onExit = {});

enum class RepairOutcome {
    Done,                     // the launcher ran with "repair" and exited 0
    AuthorizationUnavailable, // no pkexec on this machine
    Dismissed,                // pkexec 126: the user dismissed the dialog
    Refused,                  // pkexec 127: not authorised
    Failed,                   // anything else; `status` holds the exit status or -1
};

// How long the agent waits for the administrator dialog before it takes the silence as a refusal.
inline constexpr std::chrono::seconds kRepairWaitLimit{120};

// The bound on a repair's wait, and a flag that ends the wait early (the agent quits). Either way pkexec
// is ended and the answer is Refused.
struct RepairWait {
    std::chrono::milliseconds limit = kRepairWaitLimit;
    const std::atomic<bool>* cancelled = nullptr;
};

// Runs "pkexec <launcher> repair" and waits for it, at most as long as `wait` allows. pkexec is looked for
// only in the system folders, never through PATH.
RepairOutcome repairLauncherWithAdminRights(const std::string& launcher, int* status = nullptr,
                                            const RepairWait& wait = {});
// The same with a given pkexec program.
RepairOutcome runAdminRepair(const std::string& pkexec, const std::string& launcher, const RepairWait& wait,
                             int* status = nullptr);
// Where pkexec is, or empty.
std::string pkexecPath();

} // namespace bw
