#include "version1_migration.h"

#include "PXAppUtils.h"
#include "files/log_line.h"
#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "cache_pruning.h"
#include "desktop_session.h"
#include "folder_removal.h"
#include "files/folder_size.h"
#include "bus/notification_bus.h"
#include "bus/notification_names.h"
#include "plist/reference_time.h"
#include "settings/settings.h"
#include "files/dir_handle.h"
#include "files/no_follow.h"
#include "files/remove_tree.h"
#include "files/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bw {

namespace {

struct NamedEntry {
    std::string name;
    bool isFolder = false;
};

// The entries of an open folder (the descriptor stays usable), with whether each is a real folder.
std::vector<NamedEntry> listFolder(int dirFd) {
    std::vector<NamedEntry> entries;
    DirHandle dir = DirHandle::listing(dirFd);
    while (const dirent* entry = dir.next()) {
        struct stat st {};
        bool folder = lstatAt(dirFd, entry->d_name, st) && S_ISDIR(st.st_mode);
        entries.push_back({entry->d_name, folder});
    }
    return entries;
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Makes a folder the user owns with `mode` when it is missing; whether it is a real folder afterwards.
bool ensureFolder(const std::string& path, mode_t mode, const Version1Context& context) {
    if (mkdir(path.c_str(), mode) == 0) {
        chmod(path.c_str(), mode);
        if (geteuid() == 0 && context.uid != 0 && chown(path.c_str(), context.uid, context.gid) != 0)
            bw::logLine(LOG_WARNING, "convertV1CacheToV2: cannot give %s to its user: %s", path.c_str(),
                        std::strerror(errno));
    } else if (errno != EEXIST) {
        bw::logLine(LOG_ERR, "convertV1CacheToV2: cannot create %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Renames within one folder, never over an existing entry; true when the name changed.
bool renameNoReplace(int dirFd, const std::string& from, const std::string& to) {
    if (to.empty() || to == from)
        return false;
    return renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0;
}

std::uint64_t batchSize(int batchFd) {
    FolderSizer sizer;
    std::uint64_t total = 0;
    for (const auto& entry : listFolder(batchFd)) {
        if (entry.name == kCacheIndexFileName)
            continue;
        total += sizer.measureAt(batchFd, entry.name.c_str()).bytes;
    }
    return total;
}

} // namespace

const std::vector<std::string>& version1DaemonNames() {
    static const std::vector<std::string> kNames = {"binwardend", "binwardenCacheManagerd", "binwardenMountDiskd"};
    return kNames;
}

bool isVersion1MenuRunning(const std::vector<ProcessEntry>& table) {
    return std::any_of(table.begin(), table.end(),
                       [](const ProcessEntry& process) { return commandNameIs(process.comm, kVersion1MenuExtra); });
}

int killExtraMenuVersion1(uid_t uid, const MaintenanceServices& services) {
    return terminateProcessesNamed({kVersion1MenuExtra}, uid, services);
}

int killAllVersion1Daemons(uid_t uid, const MaintenanceServices& services) {
    return terminateProcessesNamed(version1DaemonNames(), uid, services);
}

std::vector<SearchRoot> version1SearchRoots(const std::string& homeFolder) {
    return {{"/opt", 3},
            {"/usr/local", 3},
            {homeFolder + "/Applications", 3},
            {homeFolder + "/.local/opt", 3},
            {homeFolder, 3}};
}

std::vector<std::string> findVersion1Applications(const std::vector<SearchRoot>& roots) {
    std::vector<std::string> found;
    std::vector<std::string> seen; // real paths, so a folder reached twice counts once
    struct Pending {
        std::string path;
        int depth;
    };
    for (const auto& root : roots) {
        std::vector<Pending> stack{{withoutTrailingSlashes(root.path), root.depth}};
        while (!stack.empty()) {
            Pending folder = std::move(stack.back());
            stack.pop_back();
            UniqueFd fd = openFolderNoFollow(folder.path);
            if (fd.get() < 0)
                continue;
            for (const auto& entry : listFolder(fd.get())) {
                if (!entry.isFolder)
                    continue;
                std::string path = (folder.path == "/" ? "" : folder.path) + "/" + entry.name;
                if (entry.name == kVersion1ApplicationName) {
                    char real[PATH_MAX];
                    std::string key = realpath(path.c_str(), real) ? std::string(real) : path;
                    if (std::find(seen.begin(), seen.end(), key) == seen.end()) {
                        seen.push_back(key);
                        found.push_back(key);
                    }
                    continue;
                }
                if (folder.depth > 1)
                    stack.push_back({path, folder.depth - 1});
            }
        }
    }
    return found;
}

std::string withoutVersion1Marker(const std::string& name) {
    std::string out = name;
    for (auto pos = out.find(kVersion1Marker); pos != std::string::npos; pos = out.find(kVersion1Marker, pos))
        out.erase(pos, std::strlen(kVersion1Marker));
    return out;
}

std::string unscrambleVersion1Folder(const std::string& givenFolder) {
    std::string folder = withoutTrailingSlashes(givenFolder);
    // Depth first with one open folder at a time: going down opens the child without following a link,
    // coming back up opens "..". Neither the descriptor limit nor the path length bounds the depth; each
    // level keeps only the list of its entries, read before any of them is renamed.
    struct Level {
        std::vector<NamedEntry> entries;
        std::size_t next = 0;
    };
    UniqueFd current = openFolderNoFollow(folder);
    std::vector<Level> levels;
    if (current.get() >= 0)
        levels.push_back({listFolder(current.get()), 0});
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.entries.size()) {
            levels.pop_back();
            if (!levels.empty())
                current = UniqueFd(openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (current.get() < 0)
                break;
            continue;
        }
        NamedEntry entry = level.entries[level.next++];
        std::string clean = withoutVersion1Marker(entry.name);
        if (renameNoReplace(current.get(), entry.name, clean))
            entry.name = clean;
        if (!entry.isFolder)
            continue;
        UniqueFd child = openDirAt(current.get(), entry.name.c_str());
        if (child.get() < 0)
            continue;
        current = std::move(child);
        levels.push_back({listFolder(current.get()), 0});
    }
    std::string parent = parentOf(folder);
    std::string clean = withoutVersion1Marker(lastComponent(folder));
    UniqueFd parentFd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parentFd.get() >= 0 && renameNoReplace(parentFd.get(), lastComponent(folder), clean))
        return (parent == "/" ? "" : parent) + "/" + clean;
    return folder;
}

std::vector<std::string> getVersion1CachesPaths(const std::vector<std::string>& volumes,
                                                const std::vector<MountEntry>& mounts, const std::string& homeFolder) {
    std::vector<std::string> paths;
    for (const auto& given : volumes) {
        std::string volume = withoutTrailingSlashes(given);
        if (volume == "/Network" || isVolumeServer(volume, mounts))
            continue;
        if (volume == "/") {
            if (!isVolumeServer(homeFolder, mounts))
                paths.push_back(withoutTrailingSlashes(homeFolder) + "/" + kVersion1CacheFolderName);
            continue;
        }
        std::string cache = volume + "/" + kVersion1CacheFolderName;
        if (exists(cache))
            paths.push_back(cache);
    }
    return paths;
}

Version1Context Version1Context::forCurrentUser() {
    Version1Context context;
    context.uid = getuid();
    context.gid = getgid();
    context.homeFolder = bw::homeFolder();
    context.configFolder = configFolderPath();
    std::string entry = autostartEntryPath();
    context.autostartFolder = entry.substr(0, entry.rfind('/'));
    context.mounts = readMountTable();
    context.volumes = mountedLocalVolumes(context.mounts);
    return context;
}

ConversionResult convertV1CacheToV2(const std::string& givenFolder, const Version1Context& context, std::time_t when) {
    ConversionResult result;
    std::string version1Folder = withoutTrailingSlashes(givenFolder);
    std::fprintf(stderr, "convertV1CacheToV2, must convert %s\n", version1Folder.c_str());
    UniqueFd v1 = openFolderNoFollow(version1Folder);
    if (v1.get() < 0) {
        bw::logLine(LOG_ERR, "convertV1CacheToV2: cannot open %s: %s", version1Folder.c_str(), std::strerror(errno));
        return result;
    }
    struct Item {
        std::string subfolder, name;
    };
    std::vector<Item> items;
    for (const auto& sub : listFolder(v1.get())) {
        if (!sub.isFolder)
            continue;
        UniqueFd subFd = openDirAt(v1.get(), sub.name.c_str());
        if (subFd.get() < 0)
            continue;
        for (const auto& entry : listFolder(subFd.get()))
            items.push_back({sub.name, entry.name});
    }

    if (!items.empty()) {
        // Beside the home folder: the home cache. On another volume: the user's own folder there, where
        // the recovery list looks (the shared folder above it belongs to nobody in particular).
        std::string parent = parentOf(version1Folder);
        std::string cache = parent + "/" + kCacheFolderName;
        bool home = parent == withoutTrailingSlashes(context.homeFolder);
        if (!ensureFolder(cache, 0750, context))
            return result;
        if (!home) {
            cache += "/" + std::to_string(context.uid);
            if (!ensureFolder(cache, 0700, context))
                return result;
        }
        std::string batch = cache + "/" + batchFolderName(when);
        if (!ensureFolder(batch, 0750, context))
            return result;
        UniqueFd batchFd = openFolderNoFollow(batch);
        if (batchFd.get() < 0)
            return result;
        BatchFolderLock lock(batchFd.get());

        BWCacheIndex index;
        auto existing = readCacheIndexAt(batchFd.get());
        if (existing) {
            index = *existing;
        } else {
            index.setCacheCreationTime(timeIntervalSinceReferenceDate());
        }
        BWIndexTable table = index.indexTable().value_or(BWIndexTable{});

        for (const auto& item : items) {
            const std::string stored = newStoredItemName();
            UniqueFd subFd = openDirAt(v1.get(), item.subfolder.c_str());
            if (subFd.get() < 0 ||
                renameat2(subFd.get(), item.name.c_str(), batchFd.get(), stored.c_str(), RENAME_NOREPLACE) != 0) {
                const int err = errno;
                bw::logLine(LOG_ERR, "convertV1CacheToV2: Error reported: cannot move %s/%s/%s: %s",
                            version1Folder.c_str(), item.subfolder.c_str(), item.name.c_str(), std::strerror(err));
                ++result.failed;
                continue;
            }
            unscrambleVersion1Folder(batch + "/" + stored);
            std::string realName = withoutVersion1Marker(item.name);
            table[stored] = {realName.empty() ? item.name : realName, timeIntervalSinceReferenceDate()};
            ++result.moved;
        }
        index.setIndexTable(std::move(table));
        index.setCacheSize(batchSize(batchFd.get()));
        index.setCacheLastAdditionTime(timeIntervalSinceReferenceDate());
        // A failed write was logged with its reason where it happened.
        writeCacheIndexAt(index, batchFd.get(), context.uid, context.gid);
        result.batchFolder = batch;
    }

    // Items that could not be moved keep their first-version folder, so nothing is lost.
    if (result.failed == 0) {
        UniqueFd parentFd(open(parentOf(version1Folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        result.version1FolderRemoved =
            parentFd.get() >= 0 && removeTreeAt(parentFd.get(), lastComponent(version1Folder));
        const int err = errno;
        if (!result.version1FolderRemoved)
            bw::logLine(LOG_ERR, "convertV1CacheToV2: cannot remove %s: %s", version1Folder.c_str(),
                        std::strerror(err));
    }
    return result;
}

MigrationReport finishUninstallV1(const std::vector<std::string>& applications, bool deleteVersion1,
                                  const Version1Context& context, const MaintenanceServices& services) {
    MigrationReport report;
    report.applications = applications;
    PXAppUtils loginItems(context.autostartFolder);
    for (const auto& application : applications) {
        std::string preferences = context.configFolder + "/" + kVersion1BundleIdentifier + ".plist";
        if (unlink(preferences.c_str()) == 0)
            report.preferencesRemoved.push_back(preferences);
        std::string menuExtra = application + "/Contents/Resources/" + kVersion1MenuExtra + ".app";
        report.loginItemsRemoved += loginItems.removeAnAppInLoginItemsWithAppBundlePath(menuExtra);
    }
    report.loginItemsRemoved += loginItems.removeAppInLoginItemsWithLastPathComponent(kVersion1MenuExtra);

    std::vector<std::string> caches = getVersion1CachesPaths(context.volumes, context.mounts, context.homeFolder);
    services.sleep(std::chrono::milliseconds(5000));
    for (const auto& cache : caches) {
        if (!exists(cache))
            continue;
        if (deleteVersion1) {
            UniqueFd parentFd(open(parentOf(cache).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (parentFd.get() >= 0 && removeTreeAt(parentFd.get(), lastComponent(cache)))
                report.deleted.push_back(cache);
            else
                report.leftBehind.push_back(cache);
            continue;
        }
        ConversionResult converted = convertV1CacheToV2(cache, context);
        if (!converted.version1FolderRemoved)
            report.leftBehind.push_back(cache);
        report.converted.push_back(std::move(converted));
    }
    if (services.post)
        services.post(notif::kStartProtection, userIdText(context.uid));
    return report;
}

std::vector<std::string> uninstallVersion1(const Version1Context& context, const MaintenanceServices& services) {
    killExtraMenuVersion1(context.uid, services);
    killAllVersion1Daemons(context.uid, services);
    auto applications = findVersion1Applications(version1SearchRoots(context.homeFolder));
    // The first version's application itself is ended without a chance to object, as a forced quit.
    signalProcessesInside(applications, context.uid, SIGKILL, services);
    return applications;
}

void ignoreVersion1(const Version1Context& context, const MaintenanceServices& services) {
    uninstallVersion1(context, services);
    if (services.post)
        services.post(notif::kStartProtection, userIdText(context.uid));
}

} // namespace bw
