#pragma once
// File, volume and process queries, as class operations only. A volume is a mount from the mount table
// ("/" the startup volume, any other mount point a volume of its own); an item is never reached through
// a final symbolic link; the forks of a file are its content and its extended attributes; an item is
// invisible when its name begins with a dot; aliases do not exist. What has no counterpart here answers
// as for an item that cannot be read. docs/ARCHITECTURE.md holds the table of what each one means.

#include "files/mount_table.h"
#include "files/unique_fd.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bw {

class KOR_FilesUtils {
public:
    KOR_FilesUtils() = delete;

    // The type bits of getType.
    static constexpr int kTypeFile = 1;
    static constexpr int kTypeFolder = 2;
    static constexpr int kTypePackage = 4;
    static constexpr int kTypeAlias = 16;
    static constexpr int kTypeSymbolicLink = 32;
    static constexpr int kTypeSocket = 64;
    static constexpr int kTypeOther = 512;
    // The status of a path that cannot be turned into a reference.
    static constexpr int kNoSuchItem = -43;

    // ---- volumes ----
    static bool isStartupVolume(const std::string& path);
    static bool isInStartupVolume(const std::string& path);
    static bool isRootOfVolume(const std::string& path);
    static std::optional<std::string> getVolumePathFor(const std::string& path);
    static std::string getVolumePathFor_OLD(const std::string& path);
    static std::uint64_t getVolumeRefNum(const std::string& path);
    static std::uint64_t getVolumeFreeSize(const std::string& path);
    static std::uint64_t getVolumeUsedSize(const std::string& path);
    static std::uint64_t getVolumeTotalSize(const std::string& path);
    static std::uint64_t getVolumeNbFiles(const std::string& path);
    static bool isVolumeMounted(const std::string& path);
    static bool isVolumeServer(const std::string& path);
    static bool isVolumeHFS(const std::string& path);
    static bool getFSVolumeInfo(const std::string& path, struct statvfs& info);
    static std::string getVolumeNameForPath(const std::string& path);
    static bool isVolumeNameValid(const std::string& name);
    static bool doesVolumeIgnorePermissions(const std::string& path);
    static bool setIgnorePermissions(bool ignore, const std::string& volumePath);
    static bool isTimeMachineDisk(const std::string& path);
    static bool isInTimeMachineBackups(const std::string& path);
    static bool volumeContainsASystem(const std::string& volumePath);
    static bool mountFromAliasFile(const std::string& aliasPath, std::string* mountedVolume);
    static int ejectVolume(const std::string& path);
    static std::vector<std::string> getFileVaultNamesOnStartupDisk();
    static bool blessOSXVolume(const std::string& volumePath, const std::string& architecture);

    // ---- items ----
    static bool fileExistsAtPath(const std::string& path);
    static bool fileExistsAtPath(const std::string& path, bool& isDirectory);
    static bool isApplication(const std::string& path);
    static int getType(const std::string& path);
    static int getType(const std::string& path, struct stat& catalogInfo);
    static bool isFolder(const std::string& path, bool acceptBundle);
    static bool isBundle(const std::string& path);
    static bool isAlias(const std::string& path);
    static bool isSymbolicLink(const std::string& path);
    // An O_PATH descriptor of the item itself (a final link is the link); invalid when there is none.
    static UniqueFd getFSRef(const std::string& path);
    static std::optional<std::string> getPathFromFSRef(int ref);
    static int getFinderInfo(const std::string& path, struct stat& info);
    // Sets the permission bits and, unless both are -1, the owner and group, never through a final link.
    static int setFinderInfo(const std::string& path, mode_t mode, uid_t owner, gid_t group);
    static std::uint64_t getSizeOf(const std::string& path);
    static void getSizeOfFolder(const std::string& path, std::uint64_t& size, std::uint64_t& quantity);
    static bool isPathInsidePath(const std::string& inner, const std::string& container);
    static bool createStandardFolder(const std::string& path);
    static std::optional<std::string> getOwnerNameForID(uid_t owner, const std::string& volume = {});
    static std::optional<std::string> getGroupNameForID(gid_t group, const std::string& volume = {});
    static bool isVisible(const std::string& path);
    // Hides or shows an item by renaming it with or without its leading dot; the new path in `renamed`.
    static int setVisible(const std::string& path, bool visible, std::string* renamed = nullptr);
    static int rename(const std::string& path, const std::string& newName);
    static int forceFolderToUpdate(const std::string& path);

    // ---- processes (from /proc) ----
    static std::vector<std::string> getListOfLaunchedProcess();
    static bool isProcessLaunchedWithPath(const std::string& path);
    static int numberOfProcessesLaunchedWithName(const std::string& name);
    static bool isProcessLaunchedWithName(const std::string& name);
    static bool isApplicationLaunchedWithPath(const std::string& path);
    static bool isApplicationLaunchedWithName(const std::string& name);
    static std::string getMachineArchitecture();

    // The same list and count over another process folder (tests hand in their own).
    static std::vector<std::string> launchedProcessPaths(const std::string& procRoot);
    static int countProcessesNamed(const std::vector<std::string>& paths, const std::string& name);
    // The volume queries over a given mount table.
    static std::optional<MountEntry> volumeOf(const std::string& path, const std::vector<MountEntry>& table);
    static bool isInStartupVolume(const std::string& path, const std::vector<MountEntry>& table);
    static bool isPathInsidePath(const std::string& inner, const std::string& container,
                                 const std::vector<MountEntry>& table);
    static bool doesVolumeIgnorePermissions(const std::string& path, const std::vector<MountEntry>& table);
};

} // namespace bw
