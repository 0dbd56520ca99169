#pragma once
// The one check that both the set-uid helper and a privileged daemon apply to the daemon's command
// line before doing anything as root. Plain POSIX; no other project library.

#include <sys/types.h>

#include <string>
#include <vector>

namespace bw {

// args are the eight daemon arguments (program name excluded): surveyTime, trashPath, cacheRoot,
// fileMBSizeLimitation, percentFreeOnDisk, runningMode, daemonUID, nbDaysInCache.
// Accepts only when: daemonUID equals realUid; trashPath, with no symbolic link in any component,
// is either a folder ending in "/Trash/files/" inside the home folder of realUid (password
// database) or "<mount>/.Trash-<uid>/files/" or "<mount>/.Trash/<uid>/files/" of a real mount point,
// and is owned by realUid; cacheRoot is that home folder (first case) or that mount point (second),
// with a trailing slash. On refusal, `reason` (when given) says why in one line.
bool validateDaemonArguments(const std::vector<std::string>& args, uid_t realUid, std::string* reason = nullptr);

} // namespace bw
