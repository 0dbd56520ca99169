#pragma once
// Opening folders without following symbolic links: by path, relative to a folder descriptor, or
// along a whole path where only links root made (and only root can replace) are followed.

#include "files/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace bw {

// A folder by path, refusing a final symbolic link; invalid on failure (errno set).
UniqueFd openFolderNoFollow(const std::string& path);

// A folder relative to a folder descriptor, never through a symbolic link.
UniqueFd openDirAt(int dirFd, const char* name);

// fstatat without following a final link.
bool lstatAt(int dirFd, const char* name, struct stat& st);

// Walks the absolute `path` from "/" one component at a time. A symbolic link on the way is followed
// only when root made it and nobody but root can replace it: the link and the folder holding it belong
// to root, and that folder is not writable by others unless it is sticky ("/home -> /var/home"); any
// other link is refused (ELOOP). The last folder is opened with `finalFlags` (O_RDONLY, or O_PATH for a
// folder that is searched but not listed). Empty, "." and ".." components are taken as the system does.
UniqueFd openFolderTrustingRootLinks(const std::string& path, int finalFlags);

// Opens a folder by absolute path. With noFollow, through openFolderTrustingRootLinks, refusing a ".."
// component (a path that climbs could leave the folders that were checked); otherwise the path is opened
// as the system resolves it. A trailing slash is allowed. Sets errno on failure.
UniqueFd openDirectoryPath(const std::string& path, bool noFollow);
// The same as an O_PATH descriptor, for folders that are searched but not listed.
UniqueFd openDirectoryPathForSearch(const std::string& path, bool noFollow);

// The components of a path, empty ones (from "//" or a trailing slash) left out.
std::vector<std::string> pathComponents(const std::string& path);

// "/proc/self/fd/<fd>": a name for exactly the item behind a descriptor, for the calls that only take
// paths. The kernel resolves it to the open item itself, whatever happens to the path meanwhile. For a
// folder handed to code that refuses a final link, append "/.".
std::string procFdPath(int fd);

// The path without trailing slashes; "/" stays "/".
std::string withoutTrailingSlashes(const std::string& path);

// Splits an absolute or relative path into its folder (opened normally) and last component; false for
// an empty path, "/", or a folder that cannot be opened.
bool splitPath(const std::string& path, UniqueFd& parent, std::string& name);

// The item itself, never through a final link: an O_PATH descriptor (plus extraFlags) opened in its
// parent folder.
UniqueFd openItemNoFollow(const std::string& path, int extraFlags = O_PATH);

} // namespace bw
