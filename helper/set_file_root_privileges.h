#pragma once
// The helper's repair: its own file becomes root-owned and set-uid, run by an administrator.

#include <string>

// Makes the open file `fd` root-owned (group unchanged) and adds 04755 to its mode. Reports failures
// on standard error and carries on.
void setFileRootPrivileges(int fd);

namespace bw::helper {

// The repair of the file actually running (reached through /proc/self/exe, never by its name). It
// goes ahead only when its folder is root-owned and not writable by group or others, the running file
// is the one that folder holds under the helper's name, and "bw2daemon" beside it is already a root
// daemon the launch would trust: an administrator's approval must never turn a file the user can still
// change, or swap, into code run as root. Nothing is adopted. False (and `why`) when refused.
bool repairRunningHelper(std::string* why);

} // namespace bw::helper
