#pragma once
// From the settings to what the agent protects: its limits, the protected folders, each folder's trash
// and cache root by the freedesktop trash rules, and the daemon's eight arguments.

#include "settings/settings.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bw {

struct AgentSettings {
    bool showNoteOnCacheUpdate = false;
    bool menuVisible = true;
    bool checkForUpdates = true;
    std::int64_t cacheLifeInDays = 3;         // 0 = no age pruning
    std::uint64_t maxFileSizeMBInCache = 700; // 0 = no limit
    std::int64_t percentFreeSpaceMini = 15;
    std::int64_t copyMode = 1;
    std::vector<std::string> diskManaged; // the home folder stands for the home trash
};

AgentSettings agentSettingsFrom(const Settings& settings, const std::string& homeFolder);

struct ProtectedTrash {
    std::string trashPath; // the trash's "files" folder, no trailing slash
    std::string cacheRoot; // the home folder or the volume's mount point, no trailing slash
};

// The home folder → $XDG_DATA_HOME/Trash/files with the home folder as cache root. A volume path →
// "<mount>/.Trash/<uid>/files" when "<mount>/.Trash" is a real folder (not a link) with the sticky bit,
// unless only "<mount>/.Trash-<uid>/files" exists (the desktop fell back to it), else
// "<mount>/.Trash-<uid>/files", with the mount as cache root. Nothing when the volume path does
// not exist (not mounted). Creates nothing.
std::optional<ProtectedTrash> trashForProtectedFolder(const std::string& folder, const std::string& homeFolder,
                                                      uid_t uid, const std::string& dataHome);

// A volume whose trash was never used has neither "<volume>/.Trash/<uid>" (under a sticky ".Trash") nor
// "<volume>/.Trash-<uid>": makes one, as the freedesktop trash rules let any program do, so that the
// volume's daemon has a trash to survey: "<uid>" in a sticky ".Trash" when it can be made there, else
// ".Trash-<uid>", each with "files" and "info", all 0700. Nothing is made when either exists (whatever it
// is) or the volume path is missing. False, with one log line, when a trash was needed and could not be
// made (a read-only volume, a top folder the user may not write).
bool createVolumeTrashIfMissing(const std::string& volume, uid_t uid);

// The eight daemon arguments: "1", trash + "/", cache root + "/", largest file MB, minimum free percent,
// caching mode, uid, cache life in days.
std::vector<std::string> daemonArguments(const ProtectedTrash& trash, const AgentSettings& settings, uid_t uid);

// The cache folder the agent makes for a cache root: root + "/.Binwarden2Cache".
std::string agentCacheFolder(const std::string& cacheRoot);

// The cache folders whose sizes the menu adds up: home + "/.Binwarden2Cache" for "/", and
// "<volume>/.Binwarden2Cache" for any other volume where it exists.
std::vector<std::string> getCachesPaths(const std::vector<std::string>& mountedVolumes, const std::string& homeFolder);

// What of those is the user's own: the home cache, and on another volume its "<uid>" folder inside the
// shared ".Binwarden2Cache". Sizes are taken of these: the shared folder itself is root's and closed to
// listing, and the other users' folders beside it are neither the user's to see nor to delete.
std::vector<std::string> usersOwnCacheFolders(const std::vector<std::string>& cachesPaths,
                                              const std::string& homeFolder, uid_t uid);

// Whether a cache folder named by a notification is one of this user's: the home cache, or the per-user
// cache folder "<volume>/.Binwarden2Cache/<uid>" of a volume. Other users' daemons announce their caches
// on the same bus; the agent neither prunes them nor shows notes for them.
bool isCacheFolderOfUser(const std::string& cacheFolder, const std::string& homeFolder, uid_t uid);

} // namespace bw
