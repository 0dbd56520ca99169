#pragma once
// Uninstalling: every cache the user may remove, each user's two preference files where permitted, the
// agent's login entry, the running agent, then the program itself.

#include "folder_removal.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace bw {

struct UninstallPlan {
    uid_t uid = 0;
    std::vector<std::string> cacheFolders; // the user's own, as for deleting every cache
    std::string configFolder;              // the user's preferences folder ($XDG_CONFIG_HOME)
    std::vector<std::string> userHomes;    // every user's home folder (the user's own among them)
    std::string autostartEntry;            // the agent's login entry
    std::string installRoot;               // the folder above bin/
    std::string trashFolder;               // the user's freedesktop Trash

    // The running user, the live mount table, the password database's homes and this program's tree.
    static UninstallPlan forCurrentUser();
};

enum class ProgramFate {
    MovedToTrash,          // a tree of the user's own, now in the Trash
    LeftForPackageManager, // owned by root: removalCommand says how to remove it
    NotMoved,              // the user's own, but the move failed (reason in the log)
};

struct UninstallReport {
    RemovalReport caches;
    std::vector<std::string> preferencesRemoved;
    bool autostartRemoved = false;
    int agentsSignalled = 0;
    ProgramFate fate = ProgramFate::NotMoved;
    std::vector<std::string> trashedAs; // where the program went in the Trash
    std::string removalCommand;         // for a root-owned install: one command to type
    std::string installRoot;
    // The quit that ends an uninstall must not start the agent again.
    bool restartAgentOnQuit = false;
};

// Home folders from the password database: root and ordinary accounts (uid 1000 and up, not nobody)
// whose home exists and is not "/".
std::vector<std::string> userHomeFolders();

// Whether an install root holds nothing but this program: bin/ only our three programs, libexec/ only
// our folder. A shared prefix (~/.local, /usr/local) is never moved whole.
bool isDedicatedInstallTree(const std::string& root);

// The command that removes a root-owned install: "sudo apt remove <package>" when a package owns the
// main executable, otherwise a removal of exactly our files.
std::string removalCommandFor(const std::string& root, const MaintenanceServices& services);

// Posts the stop request, removes every cache (the user's, then each home's), signals the agent,
// removes the login entry and the preference files, then moves a user-owned program into the Trash or
// tells how to remove a root-owned one.
UninstallReport uninstall(const UninstallPlan& plan, const MaintenanceServices& services,
                          const RemovalOptions& options = {}, const ProgressFunction& progress = {});

} // namespace bw
