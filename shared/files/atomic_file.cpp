#include "files/atomic_file.h"
#include "files/log_line.h"

#include <fcntl.h>
#include <sys/random.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace bw {

WholeFile readFileAt(int dirFd, const std::string& name, std::size_t maxSize, bool followFinalLink) {
    WholeFile file;
    // O_NONBLOCK: a FIFO planted under the file's name must not hang the reader.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (followFinalLink ? 0 : O_NOFOLLOW);
    UniqueFd fd(::openat(dirFd, name.c_str(), flags));
    if (!fd || ::fstat(fd.get(), &file.facts) != 0) {
        file.error = -errno;
        return file;
    }
    if (!S_ISREG(file.facts.st_mode)) {
        file.error = -EINVAL;
        return file;
    }
    if (static_cast<unsigned long long>(file.facts.st_size) > maxSize) {
        file.error = -EFBIG;
        return file;
    }
    file.bytes.reserve(static_cast<std::size_t>(file.facts.st_size));
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            file.error = -errno;
            break;
        }
        if (got == 0)
            break;
        if (file.bytes.size() + static_cast<std::size_t>(got) > maxSize) {
            file.error = -EFBIG; // grew while we read
            break;
        }
        file.bytes.insert(file.bytes.end(), buffer, buffer + got);
    }
    if (file.error != 0)
        file.bytes.clear();
    return file;
}

std::optional<Bytes> readWholeFileAt(int dirFd, const std::string& name, std::size_t maxSize) {
    WholeFile file = readFileAt(dirFd, name, maxSize);
    if (file.error == -EFBIG)
        bw::logLine(LOG_ERR, "readWholeFileAt: %s is %lld bytes, more than the %zu accepted", name.c_str(),
                    static_cast<long long>(file.facts.st_size), maxSize);
    if (file.error != 0)
        return std::nullopt;
    return std::move(file.bytes);
}

namespace {

std::string temporaryNameFor(const std::string& name) {
    std::uint8_t random[8] = {};
    if (::getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
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

// Creates the temporary file: the given name, or fresh names until one is free (a name already taken,
// left over or planted, is skipped).
UniqueFd createTemporary(int dirFd, const std::string& name, const std::string& given, std::string& temporary) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < 16; ++attempt) {
        temporary = given.empty() ? temporaryNameFor(name) : given;
        // O_EXCL|O_NOFOLLOW: whatever already stands at the temporary name, a link included, is never opened.
        UniqueFd fd(::openat(dirFd, temporary.c_str(), flags, 0644));
        if (fd || errno != EEXIST || !given.empty())
            return fd;
    }
    return UniqueFd();
}

// renameat2 with RENAME_NOREPLACE, or a hard link and an unlink where the file system lacks it.
int renameKeepingExisting(int dirFd, const std::string& from, const std::string& to) {
    int renamed = ::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && errno == EINVAL)
        renamed = ::linkat(dirFd, from.c_str(), dirFd, to.c_str(), 0) == 0 ? ::unlinkat(dirFd, from.c_str(), 0) : -1;
    return renamed;
}

} // namespace

ReplaceResult replaceFileAt(int dirFd, const std::string& name, std::span<const std::uint8_t> data,
                            const ReplaceOptions& options, const char* who, const std::string& temporaryName) {
    std::string temporary;
    UniqueFd fd = createTemporary(dirFd, name, temporaryName, temporary);
    if (!fd) {
        bw::logLine(LOG_ERR, "%s: cannot create %s for %s: %s", who, temporary.c_str(), name.c_str(),
                    std::strerror(errno));
        return ReplaceResult::Failed;
    }
    const char* failure = nullptr;
    if (!writeAll(fd.get(), data))
        failure = "write";
    else if (::fsync(fd.get()) != 0)
        failure = "fsync";
    else if ((options.owner != static_cast<uid_t>(-1) || options.group != static_cast<gid_t>(-1)) &&
             ::fchown(fd.get(), options.owner, options.group) != 0)
        failure = "fchown";
    else if (options.mode != static_cast<mode_t>(-1) && ::fchmod(fd.get(), options.mode) != 0)
        failure = "fchmod";
    else if (!fd.close())
        failure = "close";
    else if ((options.keepExisting ? renameKeepingExisting(dirFd, temporary, name)
                                   : ::renameat(dirFd, temporary.c_str(), dirFd, name.c_str())) != 0)
        failure = "rename";
    if (failure) {
        const int error = errno;
        fd.reset();
        ::unlinkat(dirFd, temporary.c_str(), 0);
        if (options.keepExisting && error == EEXIST)
            return ReplaceResult::AlreadyExists;
        bw::logLine(LOG_ERR, "%s: %s of %s failed: %s", who, failure, name.c_str(), std::strerror(error));
        errno = error;
        return ReplaceResult::Failed;
    }
    // The rename lives in the folder: without this a crash could bring back the old file or none. A folder
    // held as O_PATH cannot be synced; its file system then flushes it on its own schedule.
    ::fsync(dirFd);
    return ReplaceResult::Written;
}

bool writeFileAtomicallyAt(int dirFd, const std::string& name, std::span<const std::uint8_t> data, uid_t owner,
                           gid_t group, const char* who) {
    ReplaceOptions options;
    options.owner = owner;
    options.group = group;
    return replaceFileAt(dirFd, name, data, options, who) == ReplaceResult::Written;
}

bool writeFileAtomicallyVia(int dirFd, const std::string& name, const std::string& temporary,
                            std::span<const std::uint8_t> data, uid_t owner, gid_t group, const char* who) {
    ReplaceOptions options;
    options.owner = owner;
    options.group = group;
    return replaceFileAt(dirFd, name, data, options, who, temporary) == ReplaceResult::Written;
}

} // namespace bw
