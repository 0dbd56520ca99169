// Lock bit, folder size and the free-space rule: file-system helpers of the daemon that need no cache store.

#include "daemon.h"
#include "files/folder_size.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return 0;
    // Reopen exactly the item checked above; the flags calls need a real descriptor.
    UniqueFd fd(::open(procFdPath(itemFd).c_str(),
                       O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0)));
    int flags = 0;
    if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
        if (!fd || errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)
            return 0; // no flags on this file system: nothing to do
        return errno;
    }
    int wanted = locked ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    if (wanted == flags)
        return 0;
    if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &wanted) != 0) {
        int err = errno;
        syslog(LOG_ERR,
               locked ? "setLock: error trying to lock file %s: %d (%s)"
                      : "setLock: error trying to unlock file %s: %d (%s)",
               name, err, std::strerror(err));
        return err;
    }
    return 0;
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
