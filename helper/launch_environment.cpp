#include "launch_environment.h"

#include "files/log_line.h"
#include "launch_validation.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace bw::helper {

int ensureStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1)
            continue;
        if (errno != EBADF)
            return -errno;
        // The lowest free number, so this one: 0, 1 and 2 are filled in order.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened < 0)
            return -errno;
        if (opened != fd) {
            ::close(opened);
            return -EBADF;
        }
    }
    return 0;
}

namespace {

// A descriptor that is gone by now (the directory walk's own one) is no failure.
int markCloseOnExec(int fd) {
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 || errno == EBADF ? 0 : -errno;
}

} // namespace

int markDescriptorsCloseOnExec() {
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return 0;
    // Kernels before 5.11: walk the descriptor table instead.
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) {
        for (int fd = 3; fd < 65536; ++fd)
            if (int r = markCloseOnExec(fd); r < 0)
                return r;
        return 0;
    }
    int result = 0;
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(dir);
        if (!entry) {
            result = -errno;
            break;
        }
        const int fd = std::atoi(entry->d_name);
        if (fd >= 3 && (result = markCloseOnExec(fd)) < 0)
            break;
    }
    ::closedir(dir);
    return result;
}

int resetEnvironment(uid_t caller) {
    if (::clearenv() != 0)
        return -ENOMEM;
    if (::setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 1) != 0)
        return -errno;
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    int r = 0;
    while ((r = ::getpwuid_r(caller, &pw, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (r != 0)
        return -r;
    if (!found)
        return 0;
    if (found->pw_dir && *found->pw_dir && ::setenv("HOME", found->pw_dir, 1) != 0)
        return -errno;
    if (found->pw_name && *found->pw_name &&
        (::setenv("USER", found->pw_name, 1) != 0 || ::setenv("LOGNAME", found->pw_name, 1) != 0))
        return -errno;
    return 0;
}

std::string ownExecutablePath() {
    std::vector<char> buffer(4096);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size())
        return {};
    std::string path(buffer.data(), static_cast<size_t>(n));
    // A file replaced since it was started shows as "… (deleted)"; it is no longer ours to trust.
    if (path.empty() || path[0] != '/' || path.ends_with(" (deleted)"))
        return {};
    return path;
}

void logRefusal(uid_t caller, const std::string& why, const char* what, int error) {
    // The reason quotes the caller's arguments; the log line keeps them on one line.
    const std::string reason = error < 0 ? why + ": " + std::strerror(-error) : why;
    bw::logLine(LOG_WARNING, "refused %s for uid %u: %s", what, static_cast<unsigned>(caller), reason.c_str());
}

int openTrustedFolder(const std::string& folder, std::string* why) {
    UniqueFd fd(openFolderWithoutSymlinks(folder));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        *why = "cannot open its folder " + folder;
        return -1;
    }
    if (st.st_uid != 0 || (st.st_mode & 022)) {
        *why = "its folder " + folder + " is not root-owned or is writable by group or others";
        return -1;
    }
    return fd.release();
}

bool holdsRunningImage(int folderFd, const std::string& name, std::string* why) {
    struct stat self, entry;
    if (::stat("/proc/self/exe", &self) != 0 ||
        ::fstatat(folderFd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 || self.st_dev != entry.st_dev ||
        self.st_ino != entry.st_ino) {
        *why = "its file " + name + " was renamed or replaced while it ran";
        return false;
    }
    return true;
}

bool isTrustedDaemon(int folderFd, std::string* why) {
    UniqueFd fd(::openat(folderFd, "bw2daemon", O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "bw2daemon is missing or not a regular file";
        return false;
    }
    if (st.st_uid != 0 || (st.st_mode & 022)) {
        *why = "bw2daemon is not root-owned or is writable by group or others";
        return false;
    }
    if (!(st.st_mode & S_IXUSR)) {
        *why = "bw2daemon is not executable";
        return false;
    }
    return true;
}

void applyBusAddressFile(int folderFd) {
    UniqueFd fd(::openat(folderFd, "bus-address", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022) ||
        st.st_size > 4096)
        return;
    char buffer[4097];
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer - 1);
    if (n <= 0)
        return;
    std::string address(buffer, static_cast<size_t>(n));
    while (!address.empty() && (address.back() == '\n' || address.back() == '\r' || address.back() == ' '))
        address.pop_back();
    if (address.empty())
        return;
    for (char c : address)
        if (c < 0x21 || c > 0x7e)
            return;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
}

int resetSignals() {
    // Dispositions set to "ignore" and blocked signals survive exec; the daemon must be stoppable.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        // SIGKILL, SIGSTOP and the C library's own signals refuse a change, and need none.
        if (::sigaction(sig, &defaults, nullptr) != 0 && errno != EINVAL)
            return -errno;
    }
    sigset_t none;
    sigemptyset(&none);
    return ::sigprocmask(SIG_SETMASK, &none, nullptr) == 0 ? 0 : -errno;
}

int executeDaemon(int folderFd, const std::string& daemonPath, const std::vector<std::string>& args) {
    ::umask(022);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(daemonPath.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // By name relative to the checked folder, so the process is called bw2daemon and the file run is
    // the one that was checked.
    ::execveat(folderFd, "bw2daemon", argv.data(), environ, AT_SYMLINK_NOFOLLOW);
    return -errno;
}

} // namespace bw::helper
