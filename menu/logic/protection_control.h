#pragma once
// Protection of one user: the settings turned into daemons, started through the set-uid launcher,
// stopped by the quit request, and the start-at-login flag. No toolkit here: the tray controller and
// the tests drive it, and the system's services and its host's bus and look are handed in.

#include "protection_host.h"
#include "protection_plan.h"
#include "protection_problem.h"
#include "protection_services.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bw {

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
    // `services` and `host` outlive this object; reports that arrive later are dropped.
    ProtectionControl(ProtectionPaths paths, ProtectionServices& services, ProtectionHost& host);
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
    // The trash of a protected folder by the freedesktop rules, a volume's made first when it has none.
    std::optional<ProtectedTrash> trashToProtect(const std::string& folder) const;
    void report(ProtectionProblem problem, const std::string& trash, const std::string& detail);

    ProtectionPaths m_paths;
    ProtectionServices& m_services;
    ProtectionHost& m_host;
    mutable std::mutex m_mutex; // guards m_settings (diskManaged is read whole by either thread)
    AgentSettings m_settings;
    bool m_loaded = false;
    std::atomic<int> m_status{kStatusUnknown};
    std::atomic<bool> m_cancelled{false};
    // Reports reach the user through the host, also from the threads that watch the launcher; once this
    // object goes, those threads neither ask the services nor report anything.
    struct Reporter {
        std::mutex mutex;
        bool alive = true;
        ProtectionPaths paths;
        ProtectionServices* services = nullptr;
        ProtectionHost* host = nullptr;
        void deliver(const ProtectionProblemReport& report);
        // After the launcher ended: a report unless a daemon runs for the trash.
        void launcherEnded(int status, const std::string& trashArgument, const std::string& trashPath,
                           const std::string& launcher);

    private:
        void deliverLocked(const ProtectionProblemReport& report);
    };
    std::shared_ptr<Reporter> m_reporter;
};

} // namespace bw
