#include "files/make_folders.h"

#include <sys/stat.h>

#include <cerrno>

namespace bw {

namespace {

int folderStandsAt(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

} // namespace

int makeFolderPath(const std::string& path, mode_t mode) {
    if (path.empty())
        return -ENOENT;
    if (const int there = folderStandsAt(path); there != -ENOENT)
        return there;
    // Each prefix ending before a slash, then the whole path; the root itself is never made.
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
            return -errno;
        if (end == std::string::npos)
            break;
    }
    return folderStandsAt(path);
}

} // namespace bw
