#include "protection_plan.h"

#include "files/log_line.h"
#include "store/cache_paths.h"

#include "files/no_follow.h"
#include "files/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

namespace bw {

namespace {

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

AgentSettings agentSettingsFrom(const Settings& settings, const std::string& homeFolder) {
    AgentSettings agent;
    agent.showNoteOnCacheUpdate = settings.showNotes;
    agent.menuVisible = settings.menu;
    agent.checkForUpdates = settings.updates;
    agent.cacheLifeInDays = settings.cacheLifeDays();
    // A negative limit cannot be written as the unsigned text the daemon reads; it means no limit.
    std::int64_t maxMB = settings.maxFileSizeMB();
    agent.maxFileSizeMBInCache = maxMB > 0 ? static_cast<std::uint64_t>(maxMB) : 0;
    agent.percentFreeSpaceMini = settings.percent;
    agent.copyMode = settings.daemonMode;
    agent.diskManaged = settings.protectedFolders(withoutTrailingSlashes(homeFolder));
    return agent;
}

std::optional<ProtectedTrash> trashForProtectedFolder(const std::string& folder, const std::string& homeFolder,
                                                      uid_t uid, const std::string& dataHome) {
    std::string path = withoutTrailingSlashes(folder);
    std::string home = withoutTrailingSlashes(homeFolder);
    if (path == home)
        return ProtectedTrash{joined(withoutTrailingSlashes(dataHome), "Trash/files"), home};
    if (!exists(path))
        return std::nullopt;
    std::string shared = joined(path, ".Trash");
    struct stat st {};
    std::string uidText = std::to_string(uid);
    std::string own = joined(path, ".Trash-" + uidText + "/files");
    if (lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        std::string inShared = shared + "/" + uidText + "/files";
        // A desktop that could not make its folder in the shared trash trashes into its own one instead.
        if (!exists(inShared) && exists(own))
            return ProtectedTrash{own, path};
        return ProtectedTrash{inShared, path};
    }
    return ProtectedTrash{own, path};
}

namespace {

// Makes `name` (0700) with "files" and "info" in the folder `parentFd`, or finds it there, never through
// a link. 0, or a negative errno when it cannot be made (-EPERM when it is not the user's).
int makeTrashIn(int parentFd, const std::string& name, uid_t uid) {
    if (mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST)
        return -errno;
    UniqueFd trash = openDirAt(parentFd, name.c_str());
    struct stat st {};
    if (!trash || fstat(trash.get(), &st) != 0)
        return -errno;
    if (st.st_uid != uid)
        return -EPERM;
    fchmod(trash.get(), 0700);
    for (const char* sub : {"files", "info"}) {
        if (mkdirat(trash.get(), sub, 0700) != 0 && errno != EEXIST)
            return -errno;
        UniqueFd folder = openDirAt(trash.get(), sub);
        if (!folder)
            return -errno;
        fchmod(folder.get(), 0700);
    }
    return 0;
}

} // namespace

bool createVolumeTrashIfMissing(const std::string& volume, uid_t uid) {
    std::string path = withoutTrailingSlashes(volume);
    std::string uidText = std::to_string(uid);
    std::string own = ".Trash-" + uidText;
    UniqueFd root(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root)
        return false; // not mounted: nothing to protect
    struct stat st {};
    UniqueFd shared = openDirAt(root.get(), ".Trash");
    bool sharedUsable = shared && fstat(shared.get(), &st) == 0 && (st.st_mode & S_ISVTX);
    if ((sharedUsable && fstatat(shared.get(), uidText.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) ||
        fstatat(root.get(), own.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    // The user's folder in a sticky shared trash comes first, where a desktop trashes too; when it cannot
    // be made there (the shared trash is not writable), the user's own top-level trash.
    if (sharedUsable && makeTrashIn(shared.get(), uidText, uid) == 0)
        return true;
    const int made = makeTrashIn(root.get(), own, uid);
    if (made == 0)
        return true;
    bw::logLine(LOG_ERR, "createVolumeTrashIfMissing: cannot make a trash in %s: %s", path.c_str(),
                std::strerror(-made));
    return false;
}

std::vector<std::string> daemonArguments(const ProtectedTrash& trash, const AgentSettings& settings, uid_t uid) {
    auto slashed = [](const std::string& p) { return p.empty() || p.back() != '/' ? p + "/" : p; };
    return {"1",
            slashed(trash.trashPath),
            slashed(trash.cacheRoot),
            std::to_string(settings.maxFileSizeMBInCache),
            std::to_string(settings.percentFreeSpaceMini),
            std::to_string(settings.copyMode),
            std::to_string(uid),
            std::to_string(settings.cacheLifeInDays)};
}

std::string agentCacheFolder(const std::string& cacheRoot) {
    return joined(withoutTrailingSlashes(cacheRoot), kCacheFolderName);
}

std::vector<std::string> getCachesPaths(const std::vector<std::string>& mountedVolumes, const std::string& homeFolder) {
    std::vector<std::string> paths;
    for (const auto& volume : mountedVolumes) {
        if (volume == "/Network")
            continue;
        if (volume == "/") {
            paths.push_back(agentCacheFolder(homeFolder));
            continue;
        }
        std::string cache = agentCacheFolder(volume);
        if (exists(cache))
            paths.push_back(cache);
    }
    return paths;
}

std::vector<std::string> usersOwnCacheFolders(const std::vector<std::string>& cachesPaths,
                                              const std::string& homeFolder, uid_t uid) {
    std::vector<std::string> own;
    std::string homeCache = agentCacheFolder(homeFolder);
    for (const auto& given : cachesPaths) {
        std::string path = withoutTrailingSlashes(given);
        own.push_back(path == homeCache ? path : path + "/" + std::to_string(uid));
    }
    return own;
}

bool isCacheFolderOfUser(const std::string& cacheFolder, const std::string& homeFolder, uid_t uid) {
    std::string path = withoutTrailingSlashes(cacheFolder);
    if (path.empty() || path[0] != '/' || path.find("/../") != std::string::npos ||
        (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0))
        return false;
    if (path == agentCacheFolder(homeFolder))
        return true;
    std::string suffix = std::string("/") + kCacheFolderName + "/" + std::to_string(uid);
    return path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace bw
