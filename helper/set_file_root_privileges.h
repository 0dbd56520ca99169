#pragma once
// Ownership changes made by the helper's repair: its own file, and the daemon beside it.

#include <string>

// Makes the file at `path` root-owned (group unchanged) and adds 04755 to its mode. Reports failures
// on standard error and carries on.
void setFileRootPrivileges(const char* path);

namespace bw::helper {

// Gives "bw2daemon" in `folder` to root with mode 0755, and the folder itself to root without group
// or other write when it holds nothing but the helper's own files, so that a repaired install passes
// the launch checks. Does nothing without root rights.
void giveDaemonToRoot(const std::string& folder, const std::string& helperName);

} // namespace bw::helper
