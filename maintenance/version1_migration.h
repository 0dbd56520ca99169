#pragma once
// Taking over from the first version: stopping its menu and background processes, finding its
// applications, removing its preferences and login entries, and deleting or converting its caches
// (".TrashCacheFolder", one level of subfolders holding items whose names carry ".x_") into batch
// folders that the recovery list reads.

#include "maintenance_services.h"
#include "files/mount_table.h"

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace bw {

inline constexpr char kVersion1MenuExtra[] = "BinwardenMenuExtra";
inline constexpr char kVersion1BundleIdentifier[] = "com.kor.Binwarden";
inline constexpr char kVersion1ApplicationName[] = "Binwarden.app";
inline constexpr char kVersion1CacheFolderName[] = ".TrashCacheFolder";
inline constexpr char kVersion1Marker[] = ".x_";
const std::vector<std::string>& version1DaemonNames();

// Whether the first version's menu runs for anybody (the kernel keeps its first 15 characters).
bool isVersion1MenuRunning(const std::vector<ProcessEntry>& table);
// Signal 15 to the user's first-version menu, respectively its three background processes.
int killExtraMenuVersion1(uid_t uid, const MaintenanceServices& services);
int killAllVersion1Daemons(uid_t uid, const MaintenanceServices& services);

struct SearchRoot {
    std::string path;
    int depth = 3; // levels of folders looked into below path
};
// /opt, /usr/local, ~/Applications, ~/.local/opt and the home folder itself, each to depth 3.
std::vector<SearchRoot> version1SearchRoots(const std::string& homeFolder);
// Folders named "Binwarden.app" below the roots, without following links, each once.
std::vector<std::string> findVersion1Applications(const std::vector<SearchRoot>& roots);

// `name` with every ".x_" taken out.
std::string withoutVersion1Marker(const std::string& name);
// Takes ".x_" out of every name below `folder` and then out of its own name, with an explicit stack
// (no call recursion, however deep); a name already taken keeps its marked form. Answers the folder's
// path afterwards.
std::string unscrambleVersion1Folder(const std::string& folder);

// The first-version caches of the mounted volumes: the home folder's (whether or not it exists) for
// "/", a volume's own where one exists; network volumes are left alone.
std::vector<std::string> getVersion1CachesPaths(const std::vector<std::string>& volumes,
                                                const std::vector<MountEntry>& mounts, const std::string& homeFolder);

struct Version1Context {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string homeFolder;
    std::string configFolder;    // where the first version's preferences are
    std::string autostartFolder; // the login entries
    std::vector<std::string> volumes;
    std::vector<MountEntry> mounts;
    // The running user, the live mount table.
    static Version1Context forCurrentUser();
};

struct ConversionResult {
    std::string batchFolder; // empty when nothing was moved
    std::size_t moved = 0;
    std::size_t failed = 0;             // items that could not be moved stay in the first-version folder
    bool version1FolderRemoved = false; // only when every item was moved
};

// Moves every item of every subfolder into the batch folder of the current minute, under fresh UUID
// names, with index entries carrying the unmarked names; a batch of the same minute is added to under
// its lock. Next to the home folder the batch goes into the home cache, on another volume into the
// user's own "<volume>/.Binwarden2Cache/<uid>".
ConversionResult convertV1CacheToV2(const std::string& version1Folder, const Version1Context& context,
                                    std::time_t when = std::time(nullptr));

struct MigrationReport {
    std::vector<std::string> applications;
    std::vector<std::string> preferencesRemoved;
    int loginItemsRemoved = 0;
    std::vector<std::string> deleted;
    std::vector<ConversionResult> converted;
    std::vector<std::string> leftBehind; // first-version folders that could not be deleted or emptied
};

// For each first-version application: its preferences and its menu's login entry go. Then, after a 5 s
// wait for the stopped processes to end, each first-version cache is deleted (deleteVersion1) or
// converted; last, the start request for the user is posted.
MigrationReport finishUninstallV1(const std::vector<std::string>& applications, bool deleteVersion1,
                                  const Version1Context& context, const MaintenanceServices& services);

// Stops the first version (menu, background processes, and, once found, whatever the user runs from its
// applications) and answers the applications found.
std::vector<std::string> uninstallVersion1(const Version1Context& context, const MaintenanceServices& services);

// The Ignore answer: the first version is stopped as above, its caches stay, and the start request for
// the user is posted (the question comes again at the next Start).
void ignoreVersion1(const Version1Context& context, const MaintenanceServices& services);

} // namespace bw
