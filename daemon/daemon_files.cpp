// Lock bit, folder size and the free-space rule: file-system helpers of the daemon that need no cache store.

#include "daemon.h"
#include "files/folder_size.h"
#include "files/lock_flag.h"

#include "files/log_line.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bw {

bool Daemon::diskIsFull(std::uint64_t freeBytes, std::uint64_t totalBytes, std::int64_t percentFreeOnDisk) {
    const double f = static_cast<double>(freeBytes) / 1000000.0;
    const double t = static_cast<double>(totalBytes) / 1000000.0;
    const double p = (f > 0 && t > 0) ? f / t * 100.0 : 0.0;
    return f == 0.0 || static_cast<double>(percentFreeOnDisk) > p;
}

// ---------------------------------------------------------------------------------------------------------
// Lock bit and folder size

std::int32_t Daemon::setLockAt(bool locked, int dirFd, const char* name) {
    UniqueFd item(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!item)
        return -35;
    return setLockOfItem(locked, item.get(), name);
}

std::int32_t Daemon::setLockOfItem(bool locked, int itemFd, const char* name) {
    struct stat st;
    if (::fstat(itemFd, &st) != 0)
        return -35;
    // The design's interface answers the system's error code itself, not its negation.
    const int err = -setLockedFlag(itemFd, locked);
    if (err != 0)
        bw::logLine(LOG_ERR,
                    locked ? "setLock: error trying to lock file %s: %d (%s)"
                           : "setLock: error trying to unlock file %s: %d (%s)",
                    name, err, std::strerror(err));
    return err;
}

std::int32_t Daemon::setLock(bool locked, const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return -35;
    std::string trimmed = withoutTrailingSlashes(path);
    std::size_t slash = trimmed.rfind('/');
    std::string last = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (path.find("/dev/") == std::string::npos && last.find("dev") != std::string::npos)
        return 0;
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : trimmed.substr(0, slash));
    UniqueFd parent(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent)
        return -35;
    return setLockAt(locked, parent.get(), last.c_str());
}

std::uint64_t Daemon::folderSizeAt(int folderFd) {
    return FolderSizer().measureFolder(folderFd).bytes;
}

std::uint64_t Daemon::getFolderSize(const std::string& path) {
    return FolderSizer().getFolderSize(path);
}

} // namespace bw
