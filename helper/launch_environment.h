#pragma once
// The set-uid discipline of the helper: descriptors, environment, and the trust placed in the files it
// executes. Each function does one of the steps its program entry lists; the steps answer 0 or a
// negative errno and log nothing, so that the entry writes the one refusal line.

#include "files/unique_fd.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace bw::helper {

// Opens /dev/null on any of 0, 1, 2 that the caller closed, so that nothing written later lands in a
// file that happens to get one of those numbers.
int ensureStandardDescriptors();
// Marks every descriptor from 3 up close-on-exec.
int markDescriptorsCloseOnExec();
// Replaces the caller's environment by a fixed one: PATH, and HOME, USER and LOGNAME of `caller` as
// the password database gives them (a caller the database does not know gets PATH only).
int resetEnvironment(uid_t caller);
// The helper's own file, from /proc/self/exe (argument 0 is whatever the caller chose).
std::string ownExecutablePath();
// Logs one refusal of `what` to the authorisation log (and standard error); with `error` (a negative
// errno) the system's description follows the reason.
void logRefusal(uid_t caller, const std::string& why, const char* what = "a launch", int error = 0);

// The folder that holds the helper, opened only when it is a real folder owned by root and not writable
// by group or others; -1 (and `why`) otherwise.
int openTrustedFolder(const std::string& folder, std::string* why);
// Whether `name` in that folder is the file this process runs from (not something renamed into its
// place since it started).
bool holdsRunningImage(int folderFd, const std::string& name, std::string* why);
// Whether "bw2daemon" in that folder is a regular executable file owned by root and not writable by
// group or others.
bool isTrustedDaemon(int folderFd, std::string* why);
// Sets DBUS_SYSTEM_BUS_ADDRESS from the folder's "bus-address" file when that file is root-owned, not
// writable by group or others, and holds one address; leaves the environment alone otherwise.
void applyBusAddressFile(int folderFd);
// In a freshly forked child: default signal handling and nothing blocked, so that the daemon can be
// stopped; 0 or a negative errno.
int resetSignals();
// Executes "bw2daemon" of the folder with `args` after the daemon's path and umask 022. Returns only on
// failure, with a negative errno.
int executeDaemon(int folderFd, const std::string& daemonPath, const std::vector<std::string>& args);

} // namespace bw::helper
