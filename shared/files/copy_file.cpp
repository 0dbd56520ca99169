#include "files/copy_file.h"

#include "files/unique_fd.h"

#include <acl/libacl.h>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

namespace bw {

namespace {

// ---- Folder-descriptor helpers: every open is relative to a folder and never follows a link. ----

// How deep a copy or a removal goes; each level holds two or three descriptors.
constexpr int kMaxWalkDepth = 256;

// Lists an open folder without "." and ".."; the caller's descriptor stays open and usable.
class DirReader {
public:
    explicit DirReader(int dirFd) {
        // fdopendir takes the descriptor it is given, so it gets its own duplicate.
        int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 3);
        if (copy < 0)
            return;
        m_dir = ::fdopendir(copy);
        if (!m_dir) {
            ::close(copy);
            return;
        }
        ::rewinddir(m_dir); // the duplicate shares the caller's read position
    }
    ~DirReader() {
        if (m_dir)
            ::closedir(m_dir);
    }
    DirReader(const DirReader&) = delete;
    DirReader& operator=(const DirReader&) = delete;
    bool valid() const { return m_dir != nullptr; }
    const struct dirent* next() {
        while (m_dir) {
            const struct dirent* entry = ::readdir(m_dir);
            if (!entry)
                return nullptr;
            const char* n = entry->d_name;
            if (!(n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))))
                return entry;
        }
        return nullptr;
    }

private:
    DIR* m_dir = nullptr;
};

UniqueFd openDirAt(int dirFd, const char* name) {
    return UniqueFd(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool lstatAt(int dirFd, const char* name, struct stat& st) {
    return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// A name for exactly the item behind a descriptor, for the calls that only take paths.
std::string procFdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string withoutTrailingSlashes(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    return path.substr(0, end);
}

bool removeContents(int dirFd, int depth) {
    if (depth > kMaxWalkDepth) {
        errno = ELOOP;
        return false;
    }
    bool ok = true;
    DirReader reader(dirFd);
    if (!reader.valid())
        return false;
    while (const struct dirent* entry = reader.next()) {
        struct stat st;
        const bool isDir = entry->d_type == DT_DIR ||
                           (entry->d_type == DT_UNKNOWN && lstatAt(dirFd, entry->d_name, st) && S_ISDIR(st.st_mode));
        if (isDir) {
            UniqueFd child = openDirAt(dirFd, entry->d_name);
            if (!child || !removeContents(child.get(), depth + 1) || ::unlinkat(dirFd, entry->d_name, AT_REMOVEDIR) != 0)
                ok = false;
        } else if (::unlinkat(dirFd, entry->d_name, 0) != 0) {
            ok = false;
        }
    }
    return ok;
}

// The engine's one tree removal: an entry and, for a folder, everything in it, never following links.
// True when it is gone.
bool removeTreeAt(int dirFd, const char* name) {
    struct stat st;
    if (!lstatAt(dirFd, name, st))
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT;
    UniqueFd child = openDirAt(dirFd, name);
    if (!child || !removeContents(child.get(), 0))
        return false;
    return ::unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

struct AclDeleter {
    void operator()(void* acl) const {
        if (acl)
            acl_free(acl);
    }
};
using AclPtr = std::unique_ptr<std::remove_pointer_t<acl_t>, AclDeleter>;

bool aclUnsupported(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS;
}

// Splits an absolute or relative path into its folder (opened normally) and last component.
bool splitPath(const std::string& path, UniqueFd& parent, std::string& name) {
    std::string trimmed = withoutTrailingSlashes(path);
    if (trimmed.empty() || trimmed == "/")
        return false;
    std::size_t slash = trimmed.rfind('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : trimmed.substr(0, slash));
    name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    parent.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return parent.valid();
}

// The folder of this program, from /proc/self/exe.
std::string programFolder() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    std::string exe(buffer, static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

} // namespace

// ---------------------------------------------------------------------------------------------------------
// Access control lists

bool KOR_CopyFile::clearACLOfItem(int itemFd, const char* name) {
    struct stat st;
    if (::fstat(itemFd, &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
        return true;
    const std::string path = procFdPath(itemFd);
    bool success = removeListsOf(path, st, name);
    if (acl_extended_file(path.c_str()) > 0)
        return clearACLWithTool(path, false);
    return success;
}

bool KOR_CopyFile::removeListsOf(const std::string& path, const struct stat& st, const char* name) {
    bool success = true;
    AclPtr minimal(acl_from_mode(st.st_mode & 07777));
    if (!minimal) {
        syslog(LOG_ERR, "clearACL: acl_from_mode() failed");
        return false;
    }
    if (acl_set_file(path.c_str(), ACL_TYPE_ACCESS, minimal.get()) != 0 && !aclUnsupported(errno)) {
        syslog(LOG_ERR, "clearACL: acl_set_file() failed for %s: %s", name, std::strerror(errno));
        success = false;
    }
    if (S_ISDIR(st.st_mode) && acl_delete_def_file(path.c_str()) != 0 && !aclUnsupported(errno) && errno != ENODATA) {
        syslog(LOG_ERR, "clearACL: acl_delete_def_file() failed for %s: %s", name, std::strerror(errno));
        success = false;
    }
    return success;
}

bool KOR_CopyFile::clearACLAt(int dirFd, const char* name, bool clearFolderContents) {
    UniqueFd item(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!item)
        return false;
    struct stat st;
    if (::fstat(item.get(), &st) != 0)
        return false;
    // A link carries no list of its own, and what it points at is none of our business.
    if (S_ISLNK(st.st_mode))
        return true;

    // The magic /proc name reaches exactly the opened item, never whatever the path names later.
    const std::string path = procFdPath(item.get());
    bool success = removeListsOf(path, st, name);

    if (acl_extended_file(path.c_str()) > 0)
        return clearACLWithTool(path, clearFolderContents);

    if (!clearFolderContents || !S_ISDIR(st.st_mode))
        return success;
    UniqueFd folder = openDirAt(dirFd, name);
    if (!folder)
        return false;
    DirReader reader(folder.get());
    if (!reader.valid())
        return false;
    while (const struct dirent* entry = reader.next()) {
        if (!clearACLAt(folder.get(), entry->d_name, true))
            success = false;
    }
    return success;
}

bool KOR_CopyFile::clearACL(const std::string& path, bool clearFolderContents) {
    UniqueFd parent;
    std::string name;
    if (!splitPath(path, parent, name))
        return false;
    return clearACLAt(parent.get(), name.c_str(), clearFolderContents);
}

bool KOR_CopyFile::clearACLWithTool(const std::string& path, bool clearFolderContents) {
    static constexpr char kTool[] = "kortool_acl1";
    std::string folder = programFolder();
    if (folder.empty())
        return false;
    std::string tool = folder + "/" + kTool;
    if (::access(tool.c_str(), X_OK) != 0) {
        std::size_t slash = folder.rfind('/');
        tool = (slash == std::string::npos ? std::string() : folder.substr(0, slash)) + "/" + kTool;
        if (::access(tool.c_str(), X_OK) != 0)
            return false;
    }
    struct passwd pwd;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(::getuid(), &pwd, buffer, sizeof buffer, &found) != 0 || !found)
        return false;
    const uid_t uid = found->pw_uid;
    const gid_t gid = found->pw_gid;

    pid_t child = ::fork();
    if (child < 0)
        return false; // a tool that never ran cleared nothing
    if (child == 0) {
        if (::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(127);
        char* const environment[] = {nullptr};
        ::execle(tool.c_str(), tool.c_str(), path.c_str(), clearFolderContents ? "0" : "1", static_cast<char*>(nullptr),
                 environment);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return status == 0;
}

bool KOR_CopyFile::fileHasACLAt(int dirFd, const char* name) {
    UniqueFd item(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!item)
        return false;
    struct stat st;
    if (::fstat(item.get(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return false;
    const std::string path = procFdPath(item.get());
    if (acl_extended_file(path.c_str()) > 0)
        return true;
    // A folder's default list is an access list too.
    if (S_ISDIR(st.st_mode)) {
        AclPtr def(acl_get_file(path.c_str(), ACL_TYPE_DEFAULT));
        return def && acl_entries(def.get()) > 0;
    }
    return false;
}

bool KOR_CopyFile::fileHasACL(const std::string& path) {
    UniqueFd parent;
    std::string name;
    if (!splitPath(path, parent, name))
        return false;
    return fileHasACLAt(parent.get(), name.c_str());
}

// ---------------------------------------------------------------------------------------------------------
// Copy

int KOR_CopyFile::fail(int code, int err) {
    if (mFirstErrno == 0)
        mFirstErrno = err;
    return code;
}

bool KOR_CopyFile::waitWhilePaused() {
    while (mPause && !mMustInterrupt)
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    return !mMustInterrupt;
}

int KOR_CopyFile::copyItemAt(int srcDirFd, const char* srcName, int dstDirFd, const std::string& destName,
                             bool copyPermissions, std::string* error) {
    mCopyPermissions = copyPermissions;
    mReplaceFile = false;
    mFirstErrno = 0;
    mFileName = srcName;
    mFileTotalSize = 0;
    mAlreadyDoneSize = 0;
    const char* temporary = getKOREVTemporaryFile();

    auto report = [&](int code) {
        if (error)
            *error = mFirstErrno ? std::strerror(mFirstErrno) : (code == kInterrupted ? "interrupted" : "failed");
        return code;
    };

    // A leftover of an interrupted copy is never part of anything.
    if (!removeTreeAt(dstDirFd, temporary))
        return report(fail(kDeleteFailed, errno));

    struct stat st;
    if (!lstatAt(srcDirFd, srcName, st))
        return report(fail(errno == ENOENT ? kUnreachable : kCatalogInfo, errno));
    if (S_ISREG(st.st_mode))
        mFileTotalSize = st.st_size;

    int result = copyEntry(srcDirFd, srcName, dstDirFd, temporary, 0);
    if (result != kSuccess) {
        removeTreeAt(dstDirFd, temporary);
        return report(result);
    }

    struct stat existing;
    if (lstatAt(dstDirFd, destName.c_str(), existing)) {
        mReplaceFile = true;
        if (!removeTreeAt(dstDirFd, destName.c_str())) {
            int err = errno;
            removeTreeAt(dstDirFd, temporary);
            return report(fail(kDeleteFailed, err));
        }
    }
    if (::renameat(dstDirFd, temporary, dstDirFd, destName.c_str()) != 0) {
        int err = errno;
        removeTreeAt(dstDirFd, temporary);
        return report(fail(kRenameFailed, err));
    }
    return kSuccess;
}

int KOR_CopyFile::copyEntry(int srcDirFd, const char* srcName, int dstDirFd, const char* dstName, int depth) {
    if (mMustInterrupt)
        return kInterrupted;
    struct stat st;
    if (!lstatAt(srcDirFd, srcName, st))
        return fail(kCatalogInfo, errno);
    ++mNbFiles;
    if (S_ISDIR(st.st_mode))
        return copyFolder(srcDirFd, srcName, st, dstDirFd, dstName, depth);
    if (S_ISLNK(st.st_mode))
        return copySymbolicLink(srcDirFd, srcName, st, dstDirFd, dstName);
    if (S_ISREG(st.st_mode)) {
        // O_NONBLOCK: if the entry was swapped for a FIFO meanwhile, the open must not hang.
        UniqueFd src(::openat(srcDirFd, srcName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (!src)
            return fail(kUnreachable, errno);
        struct stat opened;
        if (::fstat(src.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
            return fail(kCatalogInfo, errno ? errno : EINVAL);
        return copyRegularFile(src.get(), opened, dstDirFd, dstName);
    }
    if (S_ISFIFO(st.st_mode)) {
        if (::mkfifoat(dstDirFd, dstName, 0600) != 0)
            return fail(kCopyFailed, errno);
        // Owner changes fail for anyone but root, and that is as intended (see copyAttributes).
        if (mCopyPermissions) {
            [[maybe_unused]] int owned = ::fchownat(dstDirFd, dstName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
        }
        [[maybe_unused]] int moded = ::fchmodat(dstDirFd, dstName, st.st_mode & 01777, AT_SYMLINK_NOFOLLOW);
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::utimensat(dstDirFd, dstName, times, AT_SYMLINK_NOFOLLOW);
        return kSuccess;
    }
    // Devices and sockets are not copied: a device node made by root in a user's cache would be a
    // door into the system.
    return fail(kCopyFailed, ENOTSUP);
}

int KOR_CopyFile::copyRange(int srcFd, int dstFd, off_t start, off_t end, bool& useRange, std::vector<char>& buffer,
                            off_t& reached) {
    off_t position = start;
    while (position < end) {
        if (!waitWhilePaused())
            return kInterrupted;
        // Before every chunk: a volume filling up (this copy, or anyone) stops the copy under the limit.
        if (mSpaceCheck && !mSpaceCheck(dstFd))
            return fail(kNoSpace, ENOSPC);
        const std::size_t chunk = static_cast<std::size_t>(std::min<off_t>(end - position, kCopyChunkBytes));
        ssize_t n;
        if (useRange) {
            loff_t in = position, out = position;
            n = ::copy_file_range(srcFd, &in, dstFd, &out, chunk, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                          errno == EBADF || errno == EPERM)) {
                useRange = false;
                continue;
            }
        } else {
            buffer.resize(std::min<std::size_t>(chunk, 1u << 20));
            n = ::pread(srcFd, buffer.data(), std::min(chunk, buffer.size()), position);
            for (ssize_t written = 0; n > 0 && written < n;) {
                ssize_t w = ::pwrite(dstFd, buffer.data() + written, static_cast<std::size_t>(n - written),
                                     position + written);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0) {
                    n = -1;
                    break;
                }
                written += w;
            }
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno == ENOSPC || errno == EDQUOT ? kNoSpace : kCopyFailed, errno);
        }
        if (n == 0)
            break; // the file ended early (it shrank meanwhile)
        position += n;
        reached = std::max(reached, position);
        mAlreadyDoneSize += n;
    }
    return kSuccess;
}

int KOR_CopyFile::copyData(int srcFd, int dstFd) {
    // Only the data regions are copied, so a sparse file stays sparse instead of filling the volume with
    // its holes; the size is set at the end.
    bool useRange = true;
    bool sparseAware = true;
    std::vector<char> buffer;
    off_t offset = 0;
    off_t reached = 0;
    for (;;) {
        struct stat st;
        if (::fstat(srcFd, &st) != 0)
            return fail(kCatalogInfo, errno);
        off_t dataStart = offset;
        off_t dataEnd = std::numeric_limits<off_t>::max();
        if (sparseAware) {
            dataStart = ::lseek(srcFd, offset, SEEK_DATA);
            if (dataStart < 0 && errno == ENXIO) {
                reached = std::max<off_t>(reached, st.st_size); // only a hole is left
                break;
            }
            if (dataStart >= 0)
                dataEnd = ::lseek(srcFd, dataStart, SEEK_HOLE);
            if (dataStart < 0 || dataEnd < 0) {
                sparseAware = false; // no hole information here: everything is data
                dataStart = offset;
                dataEnd = std::numeric_limits<off_t>::max();
            }
        }
        const off_t before = reached;
        int result = copyRange(srcFd, dstFd, dataStart, dataEnd, useRange, buffer, reached);
        if (result != kSuccess)
            return result;
        if (!sparseAware || reached < dataEnd || reached == before)
            break; // the end of the file
        offset = dataEnd;
    }
    if (::ftruncate(dstFd, reached) != 0)
        return fail(errno == ENOSPC || errno == EDQUOT ? kNoSpace : kCopyFailed, errno);
    return kSuccess;
}

void KOR_CopyFile::copyAttributes(int srcFd, int dstFd, const struct stat& st) {
    if (mCopyPermissions) {
        // Only root may give an item away; for anyone else the copy stays the caller's, as with cp -a.
        [[maybe_unused]] int owned = ::fchown(dstFd, st.st_uid, st.st_gid);
    }
    // Set-id bits never travel: a root-made copy of a set-uid program must not be one.
    ::fchmod(dstFd, mCopyPermissions ? (st.st_mode & 01777) : ((st.st_mode & 01777) | 0700));

    // Extended attributes, access lists included (they go after the mode, which they refine).
    char stackNames[1024];
    std::vector<char> heapNames;
    char* names = stackNames;
    ssize_t size = ::flistxattr(srcFd, names, sizeof stackNames);
    if (size < 0 && errno == ERANGE) {
        ssize_t needed = ::flistxattr(srcFd, nullptr, 0);
        if (needed > 0) {
            heapNames.resize(static_cast<std::size_t>(needed));
            names = heapNames.data();
            size = ::flistxattr(srcFd, names, heapNames.size());
        }
    }
    std::vector<char> value;
    for (ssize_t pos = 0; size > 0 && pos < size;) {
        const char* name = names + pos;
        pos += static_cast<ssize_t>(std::strlen(name)) + 1;
        if (std::strcmp(name, "security.capability") == 0)
            continue; // capabilities are privileges, like set-id bits
        if (!mCopyPermissions && std::strncmp(name, "system.posix_acl_", 17) == 0)
            continue;
        ssize_t length = ::fgetxattr(srcFd, name, nullptr, 0);
        if (length < 0)
            continue;
        value.resize(static_cast<std::size_t>(length));
        length = ::fgetxattr(srcFd, name, value.data(), value.size());
        if (length >= 0)
            ::fsetxattr(dstFd, name, value.data(), static_cast<std::size_t>(length), 0);
    }

    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(dstFd, times);
}

int KOR_CopyFile::copyRegularFile(int srcFd, const struct stat& st, int dstDirFd, const char* dstName) {
    UniqueFd dst(::openat(dstDirFd, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!dst)
        return fail(errno == ENOSPC || errno == EDQUOT ? kNoSpace : kCopyFailed, errno);
    int result = copyData(srcFd, dst.get());
    if (result != kSuccess)
        return result;
    copyAttributes(srcFd, dst.get(), st);
    return kSuccess;
}

int KOR_CopyFile::copyFolder(int srcDirFd, const char* srcName, const struct stat& st, int dstDirFd,
                             const char* dstName, int depth) {
    if (depth > kMaxWalkDepth)
        return fail(kCopyFailed, ELOOP);
    UniqueFd src = openDirAt(srcDirFd, srcName);
    if (!src)
        return fail(kUnreachable, errno);
    if (::mkdirat(dstDirFd, dstName, 0700) != 0)
        return fail(errno == ENOSPC || errno == EDQUOT ? kNoSpace : kCopyFailed, errno);
    UniqueFd dst = openDirAt(dstDirFd, dstName);
    if (!dst)
        return fail(kCopyFailed, errno);

    DirReader reader(src.get());
    if (!reader.valid())
        return fail(kUnreachable, errno);
    while (const struct dirent* entry = reader.next()) {
        int result = copyEntry(src.get(), entry->d_name, dst.get(), entry->d_name, depth + 1);
        if (result != kSuccess)
            return result;
    }
    // Attributes last: the times would move with every child, and a read-only mode would lock us out.
    copyAttributes(src.get(), dst.get(), st);
    return kSuccess;
}

int KOR_CopyFile::copySymbolicLink(int srcDirFd, const char* srcName, const struct stat& st, int dstDirFd,
                                   const char* dstName) {
    std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n = ::readlinkat(srcDirFd, srcName, target.data(), target.size());
    if (n < 0)
        return fail(kCatalogInfo, errno);
    if (static_cast<std::size_t>(n) >= target.size())
        return fail(kCatalogInfo, ENAMETOOLONG); // the link changed under us
    target[static_cast<std::size_t>(n)] = '\0';
    if (::symlinkat(target.data(), dstDirFd, dstName) != 0)
        return fail(errno == ENOSPC || errno == EDQUOT ? kNoSpace : kCopyFailed, errno);
    if (mCopyPermissions) {
        [[maybe_unused]] int owned = ::fchownat(dstDirFd, dstName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(dstDirFd, dstName, times, AT_SYMLINK_NOFOLLOW);
    return kSuccess;
}

} // namespace bw
