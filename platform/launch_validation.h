#pragma once
// The one check that both the set-uid helper and a privileged daemon apply to the daemon's command
// line before doing anything as root. Plain POSIX; no other project library.

#include <sys/types.h>

#include <string>
#include <vector>

namespace bw {

// args are the eight daemon arguments (program name excluded): surveyTime, trashPath, cacheRoot,
// fileMBSizeLimitation, percentFreeOnDisk, runningMode, daemonUID, nbDaysInCache.
// Accepts only when: daemonUID equals realUid; trashPath, with no untrusted symbolic link in any
// component, is either a folder ending in "/Trash/files/" inside the home folder of realUid (password
// database) or "<mount>/.Trash-<uid>/files/" or "<mount>/.Trash/<uid>/files/" of a real mount point,
// and it and the folder holding it are owned by realUid; cacheRoot is that home folder (first case) or
// that mount point (second), with a trailing slash. On refusal, `reason` (when given) says why in one line.
//
// Details a caller may meet:
// - daemonUID must be the decimal text of realUid exactly ("01000" or "+1000" are refused); the other
//   numbers must be plain decimal integers that fit a signed 64-bit integer (an optional "-", at most
//   19 digits).
// - A symbolic link on the way is followed only when root owns it and the folder holding it, and that
//   folder is not writable by others unless sticky ("/home -> /var/home"); any other link is refused.
// - Paths are taken as written: absolute, ending in "/", no empty, "." or ".." component. Nothing is
//   normalised, so the caller sends the same text it will later use.
// - A home folder of "/" never qualifies (it would make every folder of the machine "inside" it).
// - "/" is a real mount point: "/.Trash-<uid>/files/" with cache root "/" is accepted like any volume.
// - In the "<mount>/.Trash/<uid>/files/" form, ".Trash" must carry the sticky bit.
// - Mount points come from /proc/self/mountinfo of the calling process.
bool validateDaemonArguments(const std::vector<std::string>& args, uid_t realUid, std::string* reason = nullptr);

// Opens the folder at `path` (absolute, in the form above) for reading, walking it component by
// component from "/" so that no component may be an untrusted symbolic link (see above). Returns a
// close-on-exec descriptor, or -1 with errno set. Lets a privileged caller keep working on exactly the folder it checked.
int openFolderWithoutSymlinks(const std::string& path);
// The same walk, giving an O_PATH descriptor: enough to open or make entries inside a folder that may
// be searched but not listed (the shared cache folder of a volume).
int openFolderForSearchWithoutSymlinks(const std::string& path);

} // namespace bw
