#pragma once
// The rows of the protected-volume table: the home trash first, then every mounted volume that can carry
// a protected trash, and the protected volumes that are unplugged now.

#include "settings/settings.h"

#include <functional>
#include <string>
#include <vector>

namespace bw {

struct VolumeChecks {
    // A mounted volume other than "/" may be listed (POSIX-owned local file system, not a backup volume).
    std::function<bool(const std::string& path)> qualifies;
    // The path exists on disk now.
    std::function<bool(const std::string& path)> exists;
    // The real ones: the mount table, "Backups.backupdb", lstat.
    static VolumeChecks system();
};

// In order: every mounted volume except "/", one whose last component is "eDrive" in any case, and one
// that does not qualify, with its stored "BWS_protected" (false when not stored); every stored entry whose
// path does not exist now (a protected volume that is unplugged), as stored; sorted by the last component
// of the path (byte order); then {"/", protected} inserted first.
std::vector<VolumeEntry> protectedVolumeRows(const std::vector<std::string>& mountedVolumes,
                                             const std::vector<VolumeEntry>& stored, const VolumeChecks& checks);

// The last component of a path ("/media/u/Photos" → "Photos", "/media/u/Photos/" → "Photos").
std::string lastPathComponent(const std::string& path);

// What the name column shows: `homeTrashText` for a one-character path, else the last component.
std::string volumeRowName(const VolumeEntry& row, const std::string& homeTrashText);

} // namespace bw
