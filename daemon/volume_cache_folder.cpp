#include "volume_cache_folder.h"

#include "store/cache_paths.h"
#include "fd_utils.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bw {

namespace {

constexpr mode_t kTopMode = 0711;
constexpr mode_t kUserMode = 0700;

bool failWith(std::string* why, const std::string& text) {
    if (why)
        *why = text + ": " + std::strerror(errno);
    return false;
}

// Moves whatever stands at `name` out of the way, under a name nobody can guess in advance.
bool moveAside(int topFd, const std::string& name, std::string* why) {
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return failWith(why, "no random name for " + name);
    char aside[64];
    std::snprintf(aside, sizeof aside, ".displaced-%s-%02x%02x%02x%02x%02x%02x%02x%02x", name.c_str(), bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]);
    if (::renameat2(topFd, name.c_str(), topFd, aside, RENAME_NOREPLACE) != 0)
        return failWith(why, "cannot move " + name + " aside");
    return true;
}

} // namespace

bool prepareVolumeCacheFolder(const std::string& cacheRoot, uid_t uid, gid_t gid, std::string* why) {
    UniqueFd root = openDirectoryPath(cacheRoot, true);
    if (!root)
        return failWith(why, "cannot open " + cacheRoot);
    if (::mkdirat(root.get(), kCacheFolderName, kTopMode) != 0 && errno != EEXIST)
        return failWith(why, "cannot create " + cacheRoot + kCacheFolderName);
    // A link or a file at that name is refused, not followed: only the volume's owner can have put it there.
    UniqueFd top = openDirAt(root.get(), kCacheFolderName);
    if (!top)
        return failWith(why, "cannot open " + cacheRoot + kCacheFolderName + " as a folder");
    struct stat st;
    if (::fstat(top.get(), &st) != 0)
        return failWith(why, "cannot read " + cacheRoot + kCacheFolderName);
    bool owned = st.st_uid == 0;
    // Taken over through the descriptor: a folder swapped in meanwhile is the one taken, and taking it from
    // a user gives nobody anything.
    if (!owned && ::fchown(top.get(), 0, 0) == 0)
        owned = true;
    if (owned && (st.st_mode & 07777) != kTopMode && ::fchmod(top.get(), kTopMode) != 0)
        return failWith(why, "cannot protect " + cacheRoot + kCacheFolderName);

    const std::string name = std::to_string(uid);
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (::fstatat(top.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode) && st.st_uid == uid)
                return true;
            // Not the user's: on a folder that is not root's it cannot be moved safely, so it is refused.
            if (!owned) {
                errno = EPERM;
                return failWith(why, cacheRoot + kCacheFolderName + "/" + name + " is not the user's");
            }
            if (!moveAside(top.get(), name, why))
                return false;
            continue;
        }
        if (errno != ENOENT)
            return failWith(why, "cannot look at " + cacheRoot + kCacheFolderName + "/" + name);
        if (::mkdirat(top.get(), name.c_str(), kUserMode) != 0) {
            if (errno == EEXIST)
                continue;
            return failWith(why, "cannot create " + cacheRoot + kCacheFolderName + "/" + name);
        }
        UniqueFd made = openDirAt(top.get(), name.c_str());
        // On a file system without owners the folder already is the user's (the volume's owner), or not.
        struct stat mine;
        if (!made || (::fchown(made.get(), uid, gid) != 0 &&
                      (::fstat(made.get(), &mine) != 0 || mine.st_uid != uid)))
            return failWith(why, "cannot give " + cacheRoot + kCacheFolderName + "/" + name + " to its user");
        ::fchmod(made.get(), kUserMode); // a file system without modes keeps its own
        return true;
    }
    errno = EAGAIN;
    return failWith(why, cacheRoot + kCacheFolderName + "/" + name + " keeps changing");
}

} // namespace bw
