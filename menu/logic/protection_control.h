#pragma once
// Protection of one user: the settings turned into daemons, started through the set-uid launcher,
// stopped by the quit request, and the start-at-login flag. No toolkit here: the tray controller and
// the tests drive it, and the services it needs are handed in.

#include "detached_launch.h"
#include "process_table.h"
#include "protection_plan.h"
#include "protection_problem.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bw {

struct ProtectionServices {
    std::function<std::optional<std::vector<ProcessRecord>>(const std::string& name)> processInfo;
    // Starts the launcher detached; `onExit` (may be empty) runs on another thread with its exit status
    // once it has ended.
    std::function<bool(const std::string& executable, const std::vector<std::string>& args, std::string* error,
                       std::function<void(int status)> onExit)>
        launch;
    // What keeps the launcher from starting daemons (empty: set up) and whether its repair could fix it.
    std::function<std::string(const std::string& launcher, bool* repairCanFix)> launcherProblem;
    // Whether a daemon of ours runs for the trash argument (the trash folder with its slash).
    std::function<bool(const std::string& trashArgument)> daemonRunsFor;
    // Whether the system bus answers (empty: not checked).
    std::function<bool()> busConnected;
    // Why protection could not start, for the user (may be called from any thread).
    std::function<void(const ProtectionProblemReport&)> reportProblem;
    // Repairs the launcher with administrator rights; `cancelled` turns true when the wait must end.
    std::function<RepairOutcome(const std::string& launcher, const std::atomic<bool>& cancelled, int* status)> repair;
    // Posts a request with the user id text as object, delivered immediately.
    std::function<void(const std::string& name, const std::string& object)> post;
    std::function<void(std::chrono::milliseconds)> sleep;
    // The on/off look of the status item and the start/stop title (may be called from a worker thread).
    std::function<void(bool on)> showProtection;

    // The real ones: /proc, posix_spawn, pkexec, real sleeps; post and showProtection left empty.
    static ProtectionServices system();
};

struct ProtectionPaths {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string homeFolder;
    std::string dataHome;     // $XDG_DATA_HOME
    std::string settingsFile; // the shared settings file
    std::string launcher;     // <root>/libexec/binwarden2/helper
    std::string problemFile;  // where the last reason protection could not start is kept (empty: nowhere)
};

// Protection status values.
enum : int { kStatusUnknown = 0, kStatusOff = 1, kStatusOn = 2 };

inline constexpr char kDaemonProcessName[] = "bw2daemon";
inline constexpr char kMainAppProcessName[] = "binwarden2";
inline constexpr char kAgentProcessName[] = "binwarden2-menu";

class ProtectionControl {
public:
    ProtectionControl(ProtectionPaths paths, ProtectionServices services);
    ~ProtectionControl();
    ProtectionControl(const ProtectionControl&) = delete;
    ProtectionControl& operator=(const ProtectionControl&) = delete;

    // Adopts a settings dictionary, or with none reads the settings file (its defaults when missing).
    AgentSettings reloadSettings(const std::optional<Settings>& settings = std::nullopt);
    AgentSettings agentSettings() const;
    std::vector<std::string> diskManaged() const;

    void startProtection();
    void stopProtection();
    // Starts one daemon for a trash; always answers 0.
    int launchDaemonForTrash(const ProtectedTrash& trash);
    bool isProtectionActivated(bool forceCheck);
    bool isMainAppLaunched();
    // Whether the launcher is owned by root (what the start/stop item's enabling needs).
    bool launcherIsRootOwned() const;

    void setProtectionStatusForStartTo(bool on);
    bool protectionStatusForStart() const;

    // A volume appeared at `mountPoint`: when protection is on and it is one of the protected folders,
    // its daemon is started (for the first matching entry only).
    void volumeDidMount(const std::string& mountPoint);

    // The agent quits: a start that waits (for the administrator dialog) ends at once, its repair counted
    // as refused, and it launches nothing more. Starts after this do nothing.
    void cancel() { m_cancelled.store(true); }
    bool cancelled() const { return m_cancelled.load(); }

    int protectionStatus() const { return m_status.load(); }
    void setProtectionStatus(int status) { m_status.store(status); }
    const ProtectionPaths& paths() const { return m_paths; }
    // Another launcher file (tests, staged installs); only before anything has started.
    void setLauncherPath(const std::string& launcher) { m_paths.launcher = launcher; }

private:
    void show(bool on);
    // The trash of a protected folder by the freedesktop rules, a volume's made first when it has none.
    std::optional<ProtectedTrash> trashToProtect(const std::string& folder) const;
    void report(ProtectionProblem problem, const std::string& trash, const std::string& detail);

    ProtectionPaths m_paths;
    ProtectionServices m_services;
    mutable std::mutex m_mutex; // guards m_settings (diskManaged is read whole by either thread)
    AgentSettings m_settings;
    bool m_loaded = false;
    std::atomic<int> m_status{kStatusUnknown};
    std::atomic<bool> m_cancelled{false};
    // Reports reach the user through `reportProblem`, also from the threads that watch the launcher;
    // once this object goes, late reports are dropped.
    struct Reporter {
        std::mutex mutex;
        bool alive = true;
        ProtectionPaths paths;
        std::function<void(const ProtectionProblemReport&)> sink;
        void deliver(const ProtectionProblemReport& report);
    };
    std::shared_ptr<Reporter> m_reporter;
};

} // namespace bw
