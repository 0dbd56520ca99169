#include "set_file_root_privileges.h"

#include "launch_environment.h"

#include <dirent.h>
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

void setFileRootPrivileges(const char* path) {
    // O_EXLOCK does not exist here; flock right after the open keeps two repairs from interleaving, and
    // like O_EXLOCK with O_NONBLOCK a second repair fails at once instead of waiting.
    bw::UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        writeLiteral("setFileRootPrivileges: Can't open\n");
        return;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        fd.reset();
        writeLiteral("setFileRootPrivileges: Can't fstat\n");
        return;
    }
    if (st.st_uid != 0) {
        int ignored = ::fchown(fd.get(), 0, st.st_gid);
        (void)ignored;
    }
    // A set-uid bit on a file that still belongs to an ordinary user would let anybody run it as that
    // user; add the bits only once root owns the file.
    struct stat now;
    if (::fstat(fd.get(), &now) != 0 || now.st_uid != 0) {
        writeLiteral("setFileRootPrivileges: not owned by root, mode left unchanged\n");
        return;
    }
    if (::fchmod(fd.get(), (st.st_mode & 07777) | 04755) != 0)
        std::perror("fchmod error");
}

namespace bw::helper {

namespace {

// True when the folder holds only the product's launcher files, so that adopting it cannot take a
// user's own folder away from them.
bool holdsOnlyLauncherFiles(int folderFd, const std::string& helperName) {
    int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return false;
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return false;
    }
    bool only = true;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != ".." && name != helperName && name != "bw2daemon" && name != "bus-address")
            only = false;
    }
    ::closedir(dir);
    return only;
}

} // namespace

void giveDaemonToRoot(const std::string& folder, const std::string& helperName) {
    if (::geteuid() != 0)
        return;
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0)
        return;
    UniqueFd daemon(::openat(dir.get(), "bw2daemon", O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (daemon.get() >= 0 && ::fstat(daemon.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (::fchown(daemon.get(), 0, static_cast<gid_t>(-1)) != 0)
            std::perror("bw2daemon: fchown error");
        if (::fchmod(daemon.get(), 0755) != 0)
            std::perror("bw2daemon: fchmod error");
    }
    if (::fstat(dir.get(), &st) == 0 && (st.st_uid != 0 || (st.st_mode & 022)) &&
        holdsOnlyLauncherFiles(dir.get(), helperName)) {
        if (::fchown(dir.get(), 0, static_cast<gid_t>(-1)) != 0 || ::fchmod(dir.get(), st.st_mode & 07755) != 0)
            std::perror("helper folder: change error");
    }
}

} // namespace bw::helper
