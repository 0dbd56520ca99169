#include "set_file_root_privileges.h"

#include "launch_environment.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Captures errno at once: `error` is read by the caller right where the call failed.
int failed(std::string* why, const char* what, int error) {
    *why = std::string(what) + ": " + std::strerror(-error);
    return error;
}

} // namespace

int setFileRootPrivileges(int fd, std::string* why) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return failed(why, "setFileRootPrivileges: Can't fstat", -errno);
    int chownError = 0;
    if (st.st_uid != 0 && ::fchown(fd, 0, st.st_gid) != 0)
        chownError = -errno;
    // A set-uid bit on a file that still belongs to an ordinary user would let anybody run it as that
    // user; add the bits only once root owns the file.
    struct stat now;
    if (::fstat(fd, &now) != 0)
        return failed(why, "setFileRootPrivileges: Can't fstat", -errno);
    if (now.st_uid != 0)
        return failed(why, "setFileRootPrivileges: not owned by root, mode left unchanged",
                      chownError < 0 ? chownError : -EPERM);
    if (::fchmod(fd, (st.st_mode & 07777) | 04755) != 0)
        return failed(why, "fchmod error", -errno);
    return 0;
}

namespace bw::helper {

int repairRunningHelper(std::string* why) {
    // The running image itself: whatever names are swapped meanwhile, this is the code that runs now.
    // While it runs nobody can open it for writing, and once root owns it nobody but root can.
    UniqueFd image(::open("/proc/self/exe", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    // O_EXLOCK does not exist here; flock right after the open keeps two repairs from interleaving, and
    // like O_EXLOCK with O_NONBLOCK a second repair fails at once instead of waiting.
    if (image.get() < 0 || ::flock(image.get(), LOCK_EX | LOCK_NB) != 0)
        return failed(why, "setFileRootPrivileges: Can't open", -errno);
    struct stat self;
    if (::fstat(image.get(), &self) != 0)
        return failed(why, "setFileRootPrivileges: Can't fstat", -errno);
    if (!S_ISREG(self.st_mode))
        return failed(why, "its own running file is not a regular file", -EINVAL);
    const std::string path = ownExecutablePath();
    if (path.empty()) {
        *why = "its own file was replaced or removed while it ran";
        return -ENOENT;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string name = path.substr(path.rfind('/') + 1);
    UniqueFd dir(openTrustedFolder(folder, why));
    if (dir.get() < 0) {
        *why += "; an administrator makes the folder, bw2daemon and helper root-owned first";
        return -EPERM;
    }
    if (!holdsRunningImage(dir.get(), name, why))
        return -EPERM;
    if (!isTrustedDaemon(dir.get(), why)) {
        *why += "; an administrator makes bw2daemon root-owned first";
        return -EPERM;
    }
    return setFileRootPrivileges(image.get(), why);
}

} // namespace bw::helper
