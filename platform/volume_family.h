#pragma once
// Which volumes can carry a protected trash: local file systems that keep POSIX owners and modes (the
// cache must belong to its user alone), and not a backup volume.

#include "files/mount_table.h"

#include <string>
#include <vector>

namespace bw {

// Whether the volume holding `path` is of that family, by the mount table; false when no mount holds it.
bool isVolumeHFS(const std::string& path, const std::vector<MountEntry>& table);
bool isVolumeHFS(const std::string& path);

// Whether a backup store ("Backups.backupdb") sits directly inside `path`.
bool isTimeMachineVolume(const std::string& path);

} // namespace bw
