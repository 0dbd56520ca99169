#include "files/lock_flag.h"

#include "files/no_follow.h"
#include "files/unique_fd.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>

namespace bw {

namespace {

// The flags calls need a real descriptor: reopen exactly the item behind the given one.
UniqueFd flagsDescriptor(int itemFd) {
    struct stat st {};
    if (::fstat(itemFd, &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)))
        return UniqueFd();
    return UniqueFd(::open(procFdPath(itemFd).c_str(),
                           O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0)));
}

bool noFlagsHere(int error) {
    return error == ENOTTY || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

} // namespace

int setLockedFlag(int itemFd, bool locked) {
    UniqueFd fd = flagsDescriptor(itemFd);
    int flags = 0;
    if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0)
        return !fd || noFlagsHere(errno) ? 0 : -errno; // no flags on this file system: nothing to do
    int wanted = locked ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    if (wanted == flags)
        return 0;
    return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &wanted) == 0 ? 0 : -errno;
}

bool isLockedItem(int itemFd) {
    UniqueFd fd = flagsDescriptor(itemFd);
    int flags = 0;
    return fd && ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL);
}

} // namespace bw
