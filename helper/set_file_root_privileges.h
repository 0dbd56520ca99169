#pragma once
// The helper's repair: its own file becomes root-owned and set-uid, run by an administrator.

#include <string>

// Makes the open file `fd` root-owned (group unchanged) and adds 04755 to its mode. 0, or a negative
// errno with what failed, and the system's description, in `why`; the caller writes the one line.
int setFileRootPrivileges(int fd, std::string* why);

namespace bw::helper {

// The repair of the file actually running (reached through /proc/self/exe, never by its name). It
// goes ahead only when its folder is root-owned and not writable by group or others, the running file
// is the one that folder holds under the helper's name, and "bw2daemon" beside it is already a root
// daemon the launch would trust: an administrator's approval must never turn a file the user can still
// change, or swap, into code run as root. Nothing is adopted. 0, or (refused or failed) a negative errno
// with the whole reason in `why`.
int repairRunningHelper(std::string* why);

} // namespace bw::helper
