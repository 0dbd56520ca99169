#pragma once
// What the main application's controllers share: the bus, the defaults store, the keychain item and the
// system services they call (the real ones in the program; tests hand in their own process table,
// launcher and volumes so that nothing outside the test is touched).

#include "access_keychain.h"
#include "defaults_store.h"
#include "maintenance_services.h"
#include "bus/notification_bus.h"
#include "process_table.h"
#include "volume_rows.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bw {

struct AppServices {
    std::function<std::optional<std::vector<ProcessRecord>>(const std::string& name)> processInfo;
    std::function<bool(const std::string& executable, const std::vector<std::string>& args, std::string* error)> launch;
    // The mounted local volumes, "/" first.
    std::function<std::vector<std::string>()> mountedVolumes;
    VolumeChecks volumeChecks;
    // The install tree: the agent is <root>/bin/binwarden2-menu, the launcher <root>/libexec/binwarden2/helper.
    std::string installRoot;
    // Deleting every cache, uninstalling, the first version: the process table and signals, sleeping, the
    // package owning a file. Its `post` stays empty; the controllers post on the context's bus.
    MaintenanceServices maintenance;
    // Every user's home folder, whose caches and preferences the uninstall removes where it may.
    std::function<std::vector<std::string>()> userHomes;

    // /proc, posix_spawn, /proc/self/mountinfo, the tree this program runs from.
    static AppServices system();
};

struct AppContext {
    NotificationBus& bus;
    DefaultsStore store;
    AccessKeychain keychain;
    AppServices services;
    uid_t uid = 0;
    std::string homeFolder;
    std::string supportFolder; // $XDG_DATA_HOME/Binwarden 2

    std::string agentPath() const { return services.installRoot + "/bin/binwarden2-menu"; }
    std::string launcherPath() const;
    // Whether an access password is set: the keychain decides; when the keychain cannot be asked, the
    // stored "BWS_pass" does, so a password once set still guards the Recovery tab and a user who never
    // set one is not locked out by a missing keyring.
    bool checkPassword() const;
    // The maintenance services, posting on this context's bus (immediately delivered).
    MaintenanceServices maintenanceServices() const;
};

// The process names the application looks for.
inline constexpr char kAgentProcess[] = "binwarden2-menu";
inline constexpr char kDaemonProcess[] = "bw2daemon";

} // namespace bw
