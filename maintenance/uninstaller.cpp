#include "uninstaller.h"

#include "files/dir_handle.h"
#include "files/log_line.h"
#include "store/cache_paths.h"
#include "delete_all_caches.h"
#include "desktop_session.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "protection_control.h"
#include "settings/settings.h"
#include "text/shell_quote.h"
#include "user_trash.h"
#include "files/no_follow.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace bw {

namespace {

const char* const kOurPrograms[] = {"binwarden2", "binwarden2-menu", "bw2ctl"};
constexpr char kOurLibexecFolder[] = "binwarden2";

bool isFolder(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool existsNoFollow(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The entries of a folder, or nothing when it cannot be listed.
std::optional<std::vector<std::string>> entriesOf(const std::string& path) {
    DirHandle dir = DirHandle::ofPath(path);
    if (!dir)
        return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* entry = dir.next())
        names.push_back(entry->d_name);
    return names;
}

// Our own files in an install root, those that exist.
std::vector<std::string> ourFilesIn(const std::string& root) {
    std::vector<std::string> files;
    for (const char* program : kOurPrograms) {
        std::string path = root + "/bin/" + program;
        if (existsNoFollow(path))
            files.push_back(path);
    }
    std::string libexec = root + "/libexec/" + kOurLibexecFolder;
    if (existsNoFollow(libexec))
        files.push_back(libexec);
    return files;
}

bool agentRuns(uid_t uid, const MaintenanceServices& services) {
    const pid_t self = getpid();
    for (const auto& process : services.processTable()) {
        if (process.realUid == uid && process.pid != self && commandNameIs(process.comm, kAgentProcessName))
            return true;
    }
    return false;
}

// Temporary files of an interrupted whole-file write of `name` (".<name>.<suffix>"), regular files only.
void removeWriteTemporaries(const std::string& folder, const std::string& name) {
    auto entries = entriesOf(folder);
    if (!entries)
        return;
    const std::string prefix = "." + name + ".";
    for (const auto& entry : *entries) {
        if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0)
            continue;
        struct stat st {};
        std::string path = folder + "/" + entry;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            unlink(path.c_str());
    }
}

} // namespace

std::vector<std::string> userHomeFolders() {
    std::vector<std::string> homes;
    setpwent();
    while (passwd* pw = getpwent()) {
        if (!(pw->pw_uid == 0 || (pw->pw_uid >= 1000 && pw->pw_uid != 65534)) || !pw->pw_dir)
            continue;
        std::string home = withoutTrailingSlashes(pw->pw_dir);
        if (home.empty() || home == "/" || !isFolder(home))
            continue;
        if (std::find(homes.begin(), homes.end(), home) == homes.end())
            homes.push_back(home);
    }
    endpwent();
    return homes;
}

UninstallPlan UninstallPlan::forCurrentUser() {
    UninstallPlan plan;
    plan.uid = getuid();
    plan.cacheFolders = currentCachesPaths();
    plan.configFolder = configFolderPath();
    plan.userHomes = userHomeFolders();
    plan.autostartEntry = autostartEntryPath();
    plan.installRoot = bw::installRoot();
    plan.trashFolder = homeTrashFolder();
    return plan;
}

bool isDedicatedInstallTree(const std::string& root) {
    if (!isFolder(root + "/bin"))
        return false;
    auto bin = entriesOf(root + "/bin");
    if (!bin)
        return false;
    for (const auto& name : *bin) {
        if (std::find(std::begin(kOurPrograms), std::end(kOurPrograms), name) == std::end(kOurPrograms))
            return false;
    }
    if (isFolder(root + "/libexec")) {
        auto libexec = entriesOf(root + "/libexec");
        if (!libexec)
            return false;
        for (const auto& name : *libexec) {
            if (name != kOurLibexecFolder)
                return false;
        }
    }
    return true;
}

std::string removalCommandFor(const std::string& root, const MaintenanceServices& services) {
    if (services.packageOwning) {
        if (auto package = services.packageOwning(mainApplicationPathIn(root)))
            return "sudo apt remove " + shellQuoted(*package);
    }
    if (isDedicatedInstallTree(root))
        return "sudo rm -r " + shellQuoted(root);
    std::string command = "sudo rm -r";
    for (const auto& file : ourFilesIn(root))
        command += " " + shellQuoted(file);
    return command;
}

UninstallReport uninstall(const UninstallPlan& plan, const MaintenanceServices& services, const RemovalOptions& options,
                          const ProgressFunction& progress) {
    UninstallReport report;
    report.installRoot = plan.installRoot;
    if (services.post)
        services.post(notif::kStopProtection, userIdText(plan.uid));
    services.sleep(std::chrono::milliseconds(100));

    std::vector<std::string> folders = plan.cacheFolders;
    for (const auto& home : plan.userHomes)
        folders.push_back(withoutTrailingSlashes(home) + "/" + kCacheFolderName);
    report.caches = removeFoldersBounded(folders, services, options, progress);
    removeEmptySharedCacheFolders(report.caches);
    services.sleep(std::chrono::milliseconds(100));

    report.agentsSignalled = killExtraMenu(plan.uid, services);
    // The agent answers the stop request by writing its start flag into the preferences; they are removed
    // only once it has ended (up to 2 s), or it would write them again.
    for (int wait = 0; report.agentsSignalled > 0 && wait < 20 && agentRuns(plan.uid, services); ++wait)
        services.sleep(std::chrono::milliseconds(100));
    if (!plan.autostartEntry.empty() && unlink(plan.autostartEntry.c_str()) == 0)
        report.autostartRemoved = true;

    // Each user's preferences where we may remove them; the user's own under its own config folder.
    std::vector<std::string> preferenceFolders{plan.configFolder};
    for (const auto& home : plan.userHomes)
        preferenceFolders.push_back(withoutTrailingSlashes(home) + "/.config");
    for (const auto& folder : preferenceFolders) {
        if (folder.empty())
            continue;
        for (const char* name : {kSettingsFileName, kMenuSettingsFileName}) {
            std::string file = folder + "/" + name;
            if (unlink(file.c_str()) == 0)
                report.preferencesRemoved.push_back(file);
            // A write cut short by the end of its writer leaves its temporary file beside.
            removeWriteTemporaries(folder, name);
        }
    }

    struct stat st {};
    bool userOwned = !plan.installRoot.empty() && lstat(plan.installRoot.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                     st.st_uid == plan.uid && plan.uid != 0;
    if (!userOwned) {
        report.fate = ProgramFate::LeftForPackageManager;
        report.removalCommand = removalCommandFor(plan.installRoot, services);
        return report;
    }
    std::vector<std::string> toTrash;
    if (isDedicatedInstallTree(plan.installRoot))
        toTrash.push_back(plan.installRoot);
    else
        toTrash = ourFilesIn(plan.installRoot);
    report.fate = ProgramFate::MovedToTrash;
    for (const auto& item : toTrash) {
        std::string why;
        if (auto trashed = moveToTrashFolder(item, plan.trashFolder, &why)) {
            report.trashedAs.push_back(trashed->trashedPath);
        } else {
            bw::logLine(LOG_ERR, "uninstall: cannot move %s to the Trash: %s", item.c_str(), why.c_str());
            report.fate = ProgramFate::NotMoved;
        }
    }
    return report;
}

} // namespace bw
