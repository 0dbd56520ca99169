#include "files/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace bw {

UniqueFd openFolderNoFollow(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::optional<Bytes> readWholeFileAt(int dirFd, const std::string& name, std::size_t maxSize) {
    // O_NONBLOCK: a FIFO planted under the file's name must not hang the reader.
    UniqueFd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid())
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    if (static_cast<unsigned long long>(st.st_size) > maxSize) {
        syslog(LOG_ERR, "readWholeFileAt: %s is %lld bytes, more than the %zu accepted", name.c_str(),
               static_cast<long long>(st.st_size), maxSize);
        return std::nullopt;
    }
    Bytes data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            break;
        if (data.size() + static_cast<std::size_t>(got) > maxSize)
            return std::nullopt; // grew while we read
        data.insert(data.end(), buffer, buffer + got);
    }
    return data;
}

namespace {

std::string temporaryNameFor(const std::string& name) {
    std::uint8_t random[8] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // Only the uniqueness matters here (O_EXCL guards the creation); fall back to time and pid.
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t mix = static_cast<std::uint64_t>(now.tv_nsec) ^
                                  (static_cast<std::uint64_t>(::getpid()) << 32) ^
                                  static_cast<std::uint64_t>(now.tv_sec);
        std::memcpy(random, &mix, sizeof random);
    }
    char suffix[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(suffix + 2 * i, 3, "%02x", random[i]);
    return "." + name + "." + suffix + ".tmp";
}

bool writeAll(int fd, std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

} // namespace

bool writeFileAtomicallyVia(int dirFd, const std::string& name, const std::string& temporary,
                            std::span<const std::uint8_t> data, uid_t owner, gid_t group, const char* who) {
    // O_EXCL|O_NOFOLLOW: whatever already stands at the temporary name, a link included, is never opened.
    UniqueFd fd(::openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        syslog(LOG_ERR, "%s: cannot create %s for %s: %s", who, temporary.c_str(), name.c_str(), std::strerror(errno));
        return false;
    }
    const char* failure = nullptr;
    if (!writeAll(fd.get(), data))
        failure = "write";
    else if (::fsync(fd.get()) != 0)
        failure = "fsync";
    else if ((owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)) &&
             ::fchown(fd.get(), owner, group) != 0)
        failure = "fchown";
    else if (::close(fd.release()) != 0)
        failure = "close";
    else if (::renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) != 0)
        failure = "rename";
    if (failure) {
        const int error = errno;
        fd.reset();
        ::unlinkat(dirFd, temporary.c_str(), 0);
        syslog(LOG_ERR, "%s: %s of %s failed: %s", who, failure, name.c_str(), std::strerror(error));
        return false;
    }
    return true;
}

bool writeFileAtomicallyAt(int dirFd, const std::string& name, std::span<const std::uint8_t> data, uid_t owner,
                           gid_t group, const char* who) {
    // A name already taken (left over, or planted) is skipped for a fresh one.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string temporary = temporaryNameFor(name);
        struct stat st {};
        if (::fstatat(dirFd, temporary.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        return writeFileAtomicallyVia(dirFd, name, temporary, data, owner, group, who);
    }
    syslog(LOG_ERR, "%s: no free temporary name for %s", who, name.c_str());
    return false;
}

} // namespace bw
