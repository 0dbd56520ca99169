#include "set_file_root_privileges.h"

#include "launch_environment.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

void writeLiteral(const char* text) {
    ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

} // namespace

void setFileRootPrivileges(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        writeLiteral("setFileRootPrivileges: Can't fstat\n");
        return;
    }
    if (st.st_uid != 0) {
        int ignored = ::fchown(fd, 0, st.st_gid);
        (void)ignored;
    }
    // A set-uid bit on a file that still belongs to an ordinary user would let anybody run it as that
    // user; add the bits only once root owns the file.
    struct stat now;
    if (::fstat(fd, &now) != 0 || now.st_uid != 0) {
        writeLiteral("setFileRootPrivileges: not owned by root, mode left unchanged\n");
        return;
    }
    if (::fchmod(fd, (st.st_mode & 07777) | 04755) != 0)
        std::perror("fchmod error");
}

namespace bw::helper {

bool repairRunningHelper(std::string* why) {
    // The running image itself: whatever names are swapped meanwhile, this is the code that runs now.
    // While it runs nobody can open it for writing, and once root owns it nobody but root can.
    UniqueFd image(::open("/proc/self/exe", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    // O_EXLOCK does not exist here; flock right after the open keeps two repairs from interleaving, and
    // like O_EXLOCK with O_NONBLOCK a second repair fails at once instead of waiting.
    if (image.get() < 0 || ::flock(image.get(), LOCK_EX | LOCK_NB) != 0) {
        writeLiteral("setFileRootPrivileges: Can't open\n");
        *why = "cannot open its own running file";
        return false;
    }
    struct stat self;
    if (::fstat(image.get(), &self) != 0 || !S_ISREG(self.st_mode)) {
        writeLiteral("setFileRootPrivileges: Can't fstat\n");
        *why = "cannot read the status of its own running file";
        return false;
    }
    const std::string path = ownExecutablePath();
    if (path.empty()) {
        *why = "its own file was replaced or removed while it ran";
        return false;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string name = path.substr(path.rfind('/') + 1);
    UniqueFd dir(openTrustedFolder(folder, why));
    if (dir.get() < 0) {
        *why += "; an administrator makes the folder, bw2daemon and helper root-owned first";
        return false;
    }
    if (!holdsRunningImage(dir.get(), name, why))
        return false;
    if (!isTrustedDaemon(dir.get(), why)) {
        *why += "; an administrator makes bw2daemon root-owned first";
        return false;
    }
    setFileRootPrivileges(image.get());
    return true;
}

} // namespace bw::helper
