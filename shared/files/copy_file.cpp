#include "files/copy_file.h"

#include "files/access_list.h"
#include "files/dir_handle.h"
#include "files/log_line.h"
#include "files/no_follow.h"
#include "files/remove_tree.h"
#include "files/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace bw {

namespace {

// How deep a copy goes; each level holds two or three descriptors.
constexpr int kMaxWalkDepth = 256;

} // namespace

// ---------------------------------------------------------------------------------------------------------
// Access control lists: kept under the engine's names, done in files/access_list.

bool KOR_CopyFile::clearACL(const std::string& path, bool clearFolderContents) {
    return bw::clearACL(path, clearFolderContents);
}
bool KOR_CopyFile::clearACLAt(int dirFd, const char* name, bool clearFolderContents) {
    return bw::clearACLAt(dirFd, name, clearFolderContents);
}
bool KOR_CopyFile::clearACLOfItem(int itemFd, const char* name) { return bw::clearACLOfItem(itemFd, name); }
bool KOR_CopyFile::clearACLWithTool(const std::string& path, bool clearFolderContents) {
    return bw::clearACLWithTool(path, clearFolderContents);
}
bool KOR_CopyFile::fileHasACL(const std::string& path) { return bw::fileHasACL(path); }
bool KOR_CopyFile::fileHasACLAt(int dirFd, const char* name) { return bw::fileHasACLAt(dirFd, name); }
bool KOR_CopyFile::copyACLFromItem(const std::string& source, const std::string& destination) {
    return bw::copyACLFromItem(source, destination);
}

// ---------------------------------------------------------------------------------------------------------
// Locked flag, ids and attributes

namespace {

std::atomic<bool> gFoldersReadWrite{false};

bool isNoSpace(int err) {
    return err == ENOSPC || err == EDQUOT;
}

// The inode flags of a file or folder; a link or a device is never opened for them.
bool readFlags(int dirFd, const char* name, int& flags, UniqueFd* keep = nullptr) {
    struct stat st;
    if (!lstatAt(dirFd, name, st) || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return false;
    UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    if (keep)
        *keep = std::move(fd);
    return true;
}

bool setLockedAt(int dirFd, const char* name, bool locked) {
    int flags = 0;
    UniqueFd fd;
    if (!readFlags(dirFd, name, flags, &fd))
        return !locked; // no flags at all: nothing is locked
    const int wanted = locked ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return wanted == flags || ::ioctl(fd.get(), FS_IOC_SETFLAGS, &wanted) == 0;
}

bool isLockedAt(int dirFd, const char* name) {
    int flags = 0;
    return readFlags(dirFd, name, flags) && (flags & FS_IMMUTABLE_FL);
}

// Unlocks a locked folder for as long as it lives and locks it again on every way out.
class UnlockedFolder {
public:
    UnlockedFolder(int parentFd, std::string name) : m_parent(parentFd), m_name(std::move(name)) {
        m_wasLocked = isLockedAt(m_parent, m_name.c_str()) && setLockedAt(m_parent, m_name.c_str(), false);
    }
    ~UnlockedFolder() {
        if (m_wasLocked)
            setLockedAt(m_parent, m_name.c_str(), true);
    }
    UnlockedFolder(const UnlockedFolder&) = delete;
    UnlockedFolder& operator=(const UnlockedFolder&) = delete;

private:
    int m_parent;
    std::string m_name;
    bool m_wasLocked = false;
};

// Splits a path for an operation on the item it names: parent folder descriptor and last component.
struct ItemPath {
    UniqueFd parent;
    std::string name;
    std::string parentName; // the parent's own name, for unlocking it
    UniqueFd grandParent;
    bool valid = false;
};

ItemPath itemPath(const std::string& path) {
    ItemPath item;
    item.valid = splitPath(path, item.parent, item.name);
    if (item.valid) {
        const std::string trimmed = withoutTrailingSlashes(path);
        const std::size_t slash = trimmed.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : trimmed.substr(0, slash));
        if (folder != "/")
            splitPath(folder, item.grandParent, item.parentName);
    }
    return item;
}

off_t freeBytesOf(int fd) {
    struct statvfs vfs;
    if (::fstatvfs(fd, &vfs) != 0)
        return std::numeric_limits<off_t>::max();
    const unsigned long long bytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
    return bytes > static_cast<unsigned long long>(std::numeric_limits<off_t>::max())
               ? std::numeric_limits<off_t>::max()
               : static_cast<off_t>(bytes);
}

} // namespace

bool KOR_CopyFile::isObjectLocked(const std::string& path) {
    UniqueFd parent;
    std::string name;
    return splitPath(path, parent, name) && isLockedAt(parent.get(), name.c_str());
}

int KOR_CopyFile::modifyObjectLocked(const std::string& path, bool locked) {
    UniqueFd parent;
    std::string name;
    struct stat st;
    if (!splitPath(path, parent, name) || !lstatAt(parent.get(), name.c_str(), st))
        return kUnreachable;
    int flags = 0;
    if (!readFlags(parent.get(), name.c_str(), flags))
        return locked ? kCatalogInfo : kSuccess;
    if (!setLockedAt(parent.get(), name.c_str(), locked)) {
        bw::logLine(LOG_ERR, "KOR_CopyFile modifyObjectLocked: %s: %s", path.c_str(), std::strerror(errno));
        return kAttributes;
    }
    return kSuccess;
}

void KOR_CopyFile::setCurrentUserGroupTo(uid_t& owner, gid_t& group) {
    owner = ::getuid();
    group = ::getgid();
}

void KOR_CopyFile::setFoldersReadWrite(bool readWrite) {
    gFoldersReadWrite = readWrite;
}

int KOR_CopyFile::copyAttributes(const std::string& source, const std::string& destination) {
    // Times and extended attributes only: the destination keeps its owner and mode.
    struct stat before;
    UniqueFd dst = openItemNoFollow(destination);
    if (!dst || ::fstat(dst.get(), &before) != 0)
        return kUnreachable;
    const int result = copyAttributesAndPermissions(source, destination, false);
    if (result == kUnreachable || S_ISLNK(before.st_mode))
        return result;
    const std::string path = procFdPath(dst.get());
    if (::chown(path.c_str(), before.st_uid, before.st_gid) != 0 && errno != EPERM)
        return kAttributes;
    return ::chmod(path.c_str(), before.st_mode & 07777) == 0 ? result : kAttributes;
}

int KOR_CopyFile::copyAttributesAndPermissions(const std::string& source, const std::string& destination,
                                               bool copyPermissions) {
    ItemPath src = itemPath(source), dst = itemPath(destination);
    struct stat sst, dstSt;
    if (!src.valid || !dst.valid || !lstatAt(src.parent.get(), src.name.c_str(), sst) ||
        !lstatAt(dst.parent.get(), dst.name.c_str(), dstSt))
        return kUnreachable;
    if ((sst.st_mode & S_IFMT) != (dstSt.st_mode & S_IFMT))
        return kAttributes;
    if (S_ISLNK(sst.st_mode)) {
        // A link has times and an owner, nothing else.
        struct timespec times[2] = {sst.st_atim, sst.st_mtim};
        if (copyPermissions &&
            ::fchownat(dst.parent.get(), dst.name.c_str(), sst.st_uid, sst.st_gid, AT_SYMLINK_NOFOLLOW) != 0 &&
            errno != EPERM)
            return kAttributes;
        return ::utimensat(dst.parent.get(), dst.name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? kSuccess
                                                                                                  : kAttributes;
    }
    if (!(S_ISREG(sst.st_mode) || S_ISDIR(sst.st_mode)))
        return kAttributes;
    UniqueFd from(::openat(src.parent.get(), src.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    UniqueFd to(::openat(dst.parent.get(), dst.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!from || !to)
        return kUnreachable;
    KOR_CopyFile engine;
    engine.mCopyPermissions = copyPermissions;
    engine.copyAttributes(from.get(), to.get(), sst);
    if (engine.mFirstError != 0)
        return kAttributes;
    if (isLockedAt(src.parent.get(), src.name.c_str()) && !setLockedAt(dst.parent.get(), dst.name.c_str(), true))
        return kAttributes;
    return kSuccess;
}

// ---------------------------------------------------------------------------------------------------------
// Copy

int KOR_CopyFile::fail(int code, int err) {
    if (mFirstError == 0)
        mFirstError = -err;
    return code;
}

bool KOR_CopyFile::waitWhilePaused() {
    while (mPause && !mMustInterrupt)
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    return !mMustInterrupt;
}

void KOR_CopyFile::progress() {
    if (mDelegate)
        mDelegate(*this);
}

std::string KOR_CopyFile::getDestFileNameFromSource(const std::string& source) {
    const std::string trimmed = withoutTrailingSlashes(source);
    const std::size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

int KOR_CopyFile::copyItemAt(int srcDirFd, const char* srcName, int dstDirFd, const std::string& destName,
                             bool copyPermissions, std::string* error) {
    mCopyPermissions = copyPermissions;
    mFirstError = 0;
    mFileName = srcName;
    mFileTotalSize = 0;
    mAlreadyDoneSize = 0;
    const int result = copyInto(srcDirFd, srcName, dstDirFd, destName);
    if (error && result != kSuccess)
        *error = mFirstError ? std::strerror(-mFirstError) : (result == kInterrupted ? "interrupted" : "failed");
    return result;
}

int KOR_CopyFile::copyInto(int srcDirFd, const char* srcName, int dstDirFd, const std::string& destName) {
    mReplaceFile = false;
    const char* temporary = getKOREVTemporaryFile();
    // A leftover of an interrupted copy is never part of anything.
    if (!removeTreeAt(dstDirFd, temporary))
        return fail(kDeleteFailed, errno);

    struct stat st;
    if (!lstatAt(srcDirFd, srcName, st))
        return fail(errno == ENOENT ? kUnreachable : kCatalogInfo, errno);

    int result = copyEntry(srcDirFd, srcName, dstDirFd, temporary, 0);
    if (result != kSuccess) {
        removeTreeAt(dstDirFd, temporary);
        return result;
    }

    struct stat existing;
    if (lstatAt(dstDirFd, destName.c_str(), existing)) {
        mReplaceFile = true;
        setLockedAt(dstDirFd, destName.c_str(), false); // a locked item would refuse to go
        if (!removeTreeAt(dstDirFd, destName.c_str())) {
            int err = errno;
            removeTreeAt(dstDirFd, temporary);
            return fail(kDeleteFailed, err);
        }
    }
    if (::renameat(dstDirFd, temporary, dstDirFd, destName.c_str()) != 0) {
        int err = errno;
        removeTreeAt(dstDirFd, temporary);
        return fail(kRenameFailed, err);
    }
    return kSuccess;
}

int KOR_CopyFile::copyFile(const std::string& source, const std::string& destinationParent, bool copyPermissions) {
    mCopyPermissions = copyPermissions;
    mFirstError = 0;
    mFileTotalSize = 0;
    mAlreadyDoneSize = 0;
    mReplaceFile = false;
    mFileName = getDestFileNameFromSource(source);

    ItemPath src = itemPath(source);
    struct stat st;
    if (!src.valid)
        return kUnreachable;
    if (!lstatAt(src.parent.get(), src.name.c_str(), st))
        return errno == ENOENT ? kUnreachable : kCatalogInfo;

    ItemPath dst = itemPath(destinationParent);
    if (!dst.valid)
        return kUnreachable;
    UniqueFd folder = openDirAt(dst.parent.get(), dst.name.c_str());
    if (!folder && errno == ENOENT) {
        const std::string trimmed = withoutTrailingSlashes(source);
        const std::size_t slash = trimmed.rfind('/');
        if (slash != std::string::npos && slash > 0)
            copyFolderHierarchy(trimmed.substr(0, slash), destinationParent, copyPermissions);
        folder = openDirAt(dst.parent.get(), dst.name.c_str());
    }
    if (!folder)
        return kCopyFailed;
    UnlockedFolder unlocked(dst.parent.get(), dst.name);

    if (S_ISREG(st.st_mode))
        mFileTotalSize = st.st_size;
    const off_t freeBytes = freeBytesOf(folder.get());
    struct stat existing;
    if (mFileTotalSize > freeBytes && lstatAt(folder.get(), mFileName.c_str(), existing) &&
        mFileTotalSize < existing.st_size + freeBytes) {
        // Only without the old item is there room for the new one.
        mReplaceFile = true;
        if (!removeTreeAt(folder.get(), mFileName.c_str()))
            return kDeleteFailed;
    }
    const bool replacedFirst = mReplaceFile;
    const off_t total = mFileTotalSize;
    mFileTotalSize = 0; // counted again file by file

    int result = copyInto(src.parent.get(), src.name.c_str(), folder.get(), mFileName);
    mReplaceFile = mReplaceFile || replacedFirst;
    if (result == kCopyFailed && total >= freeBytes)
        result = kNoSpace;
    if (result != kSuccess)
        return result;

    if (copyPermissions && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        copyACLFromItem(source, withoutTrailingSlashes(destinationParent) + "/" + mFileName);
    // The lock goes last: a locked item can be neither written nor renamed.
    if (isLockedAt(src.parent.get(), src.name.c_str()))
        setLockedAt(folder.get(), mFileName.c_str(), true);
    return kSuccess;
}

int KOR_CopyFile::copyEntry(int srcDirFd, const char* srcName, int dstDirFd, const char* dstName, int depth) {
    if (mMustInterrupt)
        return kInterrupted;
    struct stat st;
    if (!lstatAt(srcDirFd, srcName, st))
        return fail(kCatalogInfo, errno);
    if (S_ISDIR(st.st_mode))
        return copyFolder(srcDirFd, srcName, st, dstDirFd, dstName, depth);
    if (S_ISLNK(st.st_mode)) {
        ++mNbFiles;
        return copyLink(srcDirFd, srcName, st, dstDirFd, dstName);
    }
    if (S_ISREG(st.st_mode)) {
        // O_NONBLOCK: if the entry was swapped for a FIFO meanwhile, the open must not hang.
        UniqueFd src(::openat(srcDirFd, srcName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (!src)
            return fail(kUnreachable, errno);
        struct stat opened;
        if (::fstat(src.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
            return fail(kCatalogInfo, errno ? errno : EINVAL);
        ++mNbFiles;
        mFileTotalSize += opened.st_size;
        return copyRegularFile(src.get(), opened, dstDirFd, dstName);
    }
    if (S_ISFIFO(st.st_mode)) {
        ++mNbFiles;
        if (::mkfifoat(dstDirFd, dstName, 0600) != 0)
            return fail(isNoSpace(errno) ? kNoSpace : kCopyFailed, errno);
        setOwnerModeAndTimesAt(dstDirFd, dstName, st);
        return kSuccess;
    }
    // Devices and sockets are not copied: a device node made by root in a user's cache would be a door
    // into the system, and a socket is nothing without the process behind it. Inside a folder they are
    // left out so that the rest of the folder is still kept.
    if (depth > 0) {
        bw::logLine(LOG_NOTICE, "KOR_CopyFile: %s %s is not copied", S_ISSOCK(st.st_mode) ? "the socket" : "the device",
               srcName);
        return kSuccess;
    }
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
            return fail(isNoSpace(errno) ? kNoSpace : kCopyFailed, errno);
        }
        if (n == 0)
            break; // the file ended early (it shrank meanwhile)
        position += n;
        reached = std::max(reached, position);
        mAlreadyDoneSize += n;
        progress();
    }
    return kSuccess;
}

int KOR_CopyFile::copyData(int srcFd, int dstFd, off_t size) {
    if (!waitWhilePaused())
        return kInterrupted;
    if (mSpaceCheck && !mSpaceCheck(dstFd))
        return fail(kNoSpace, ENOSPC);
    // A reflink shares the data (holes included) and costs neither time nor space.
    if (size > 0 && ::ioctl(dstFd, FICLONE, srcFd) == 0) {
        mAlreadyDoneSize += size;
        progress();
        return kSuccess;
    }
    // Otherwise only the data regions are copied, so a sparse file stays sparse instead of filling the
    // volume with its holes; the size is set at the end.
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
        return fail(isNoSpace(errno) ? kNoSpace : kCopyFailed, errno);
    return kSuccess;
}

void KOR_CopyFile::copyAttributes(int srcFd, int dstFd, const struct stat& st) {
    uid_t uid = st.st_uid;
    gid_t gid = st.st_gid;
    mode_t mode = st.st_mode & 01777; // set-id bits never travel: a root-made copy of a set-uid program must not be one
    if (!mCopyPermissions) {
        setCurrentUserGroupTo(uid, gid);
        mode |= S_ISDIR(st.st_mode) ? 0700 : 0600;
    }
    if (S_ISDIR(st.st_mode) && gFoldersReadWrite)
        mode |= 0700;
    // Only root may give an item away; for anyone else the copy stays the caller's, as with cp -a.
    if (::fchown(dstFd, uid, gid) != 0 && errno != EPERM)
        fail(kAttributes, errno);
    if (::fchmod(dstFd, mode) != 0)
        fail(kAttributes, errno);

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
        // Trusted and security attributes are root's alone; their refusal is no failure of the copy.
        if (length >= 0 && ::fsetxattr(dstFd, name, value.data(), static_cast<std::size_t>(length), 0) != 0 &&
            errno != EPERM && errno != ENOTSUP)
            fail(kAttributes, errno);
    }

    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(dstFd, times) != 0)
        fail(kAttributes, errno);
}

int KOR_CopyFile::copyRegularFile(int srcFd, const struct stat& st, int dstDirFd, const char* dstName) {
    UniqueFd dst(::openat(dstDirFd, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!dst)
        return fail(isNoSpace(errno) ? kNoSpace : kCopyFailed, errno);
    int result = copyData(srcFd, dst.get(), st.st_size);
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
        return fail(isNoSpace(errno) ? kNoSpace : kCopyFailed, errno);
    ++mNbFiles;
    UniqueFd dst = openDirAt(dstDirFd, dstName);
    if (!dst)
        return fail(kCopyFailed, errno);

    DirHandle reader = DirHandle::listing(src.get());
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

void KOR_CopyFile::setOwnerModeAndTimesAt(int dstDirFd, const char* dstName, const struct stat& st) {
    // Owner changes fail for anyone but root, and that is as intended (see copyAttributes). Nothing here
    // follows a link: the name lies in a folder its user may change meanwhile.
    uid_t uid = st.st_uid;
    gid_t gid = st.st_gid;
    if (!mCopyPermissions)
        setCurrentUserGroupTo(uid, gid);
    [[maybe_unused]] int owned = ::fchownat(dstDirFd, dstName, uid, gid, AT_SYMLINK_NOFOLLOW);
    if (!S_ISLNK(st.st_mode)) {
        [[maybe_unused]] int moded = ::fchmodat(dstDirFd, dstName, st.st_mode & 01777, AT_SYMLINK_NOFOLLOW);
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(dstDirFd, dstName, times, AT_SYMLINK_NOFOLLOW);
}

int KOR_CopyFile::copyLink(int srcDirFd, const char* srcName, const struct stat& st, int dstDirFd,
                           const char* dstName) {
    std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n = ::readlinkat(srcDirFd, srcName, target.data(), target.size());
    if (n < 0)
        return fail(kCatalogInfo, errno);
    if (static_cast<std::size_t>(n) >= target.size())
        return fail(kCatalogInfo, ENAMETOOLONG); // the link changed under us
    target[static_cast<std::size_t>(n)] = '\0';
    if (::symlinkat(target.data(), dstDirFd, dstName) != 0)
        return fail(isNoSpace(errno) ? kNoSpace : kCopyFailed, errno);
    setOwnerModeAndTimesAt(dstDirFd, dstName, st);
    return kSuccess;
}

// ---------------------------------------------------------------------------------------------------------
// Folder chains, single folders and links by path

int KOR_CopyFile::createFolder(const std::string& sourceFolder, const std::string& destinationParent,
                               bool copyPermissions) {
    ItemPath src = itemPath(sourceFolder), dst = itemPath(destinationParent);
    struct stat st;
    if (!src.valid || !dst.valid || !lstatAt(src.parent.get(), src.name.c_str(), st) || !S_ISDIR(st.st_mode))
        return kUnreachable;
    UniqueFd parent = openDirAt(dst.parent.get(), dst.name.c_str());
    UniqueFd from = openDirAt(src.parent.get(), src.name.c_str());
    if (!parent || !from)
        return kUnreachable;
    UnlockedFolder unlocked(dst.parent.get(), dst.name);
    if (::mkdirat(parent.get(), src.name.c_str(), 0700) != 0)
        return kCopyFailed;
    UniqueFd made = openDirAt(parent.get(), src.name.c_str());
    if (!made)
        return kCopyFailed;
    mCopyPermissions = copyPermissions;
    copyAttributes(from.get(), made.get(), st);
    return kSuccess;
}

int KOR_CopyFile::copyFolderHierarchy(const std::string& source, const std::string& destinationFolder,
                                      bool copyPermissions) {
    if (destinationFolder.empty() || destinationFolder[0] != '/')
        return kUnreachable;
    // The components of both paths, matched from their ends.
    const std::vector<std::string> dst = pathComponents(destinationFolder);
    const std::vector<std::string> src = pathComponents(source);
    for (const std::string& part : dst)
        if (part == "..")
            return kUnreachable;
    mCopyPermissions = copyPermissions;
    UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (std::size_t i = 0; i < dst.size() && current; ++i) {
        const char* name = dst[i].c_str();
        UniqueFd next = openDirAt(current.get(), name);
        if (!next) {
            struct stat st;
            if (lstatAt(current.get(), name, st))
                return kCopyFailed; // a file or a link stands where the folder goes
            if (::mkdirat(current.get(), name, 0700) != 0)
                return kCopyFailed;
            next = openDirAt(current.get(), name);
            if (!next)
                return kCopyFailed;
            // Attributes of the source folder at the same distance from the end, when there is one.
            const std::size_t fromEnd = dst.size() - i;
            UniqueFd from;
            struct stat fromSt;
            if (fromEnd <= src.size()) {
                std::string path;
                for (std::size_t k = 0; k < src.size() - fromEnd + 1; ++k)
                    path += "/" + src[k];
                from.reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            }
            if (from && ::fstat(from.get(), &fromSt) == 0)
                copyAttributes(from.get(), next.get(), fromSt);
        }
        current = std::move(next);
    }
    return current ? kSuccess : kCopyFailed;
}

int KOR_CopyFile::copySymbolicLink(const std::string& source, const std::string& destinationParent) {
    ItemPath src = itemPath(source), dst = itemPath(destinationParent);
    struct stat st;
    if (!src.valid || !dst.valid || !lstatAt(src.parent.get(), src.name.c_str(), st) || !S_ISLNK(st.st_mode))
        return kUnreachable;
    UniqueFd folder = openDirAt(dst.parent.get(), dst.name.c_str());
    if (!folder)
        return kUnreachable;
    mCopyPermissions = true;
    return copyInto(src.parent.get(), src.name.c_str(), folder.get(), src.name) == kSuccess ? kSuccess : kCopyFailed;
}

int KOR_CopyFile::verifyCopyFile(const std::string& source, const std::string& destinationParent,
                                 bool copyPermissions) {
    ItemPath src = itemPath(source), dst = itemPath(destinationParent);
    struct stat sst, cst;
    if (!src.valid || !dst.valid || !lstatAt(src.parent.get(), src.name.c_str(), sst))
        return kUnreachable;
    UniqueFd folder = openDirAt(dst.parent.get(), dst.name.c_str());
    if (!folder || !lstatAt(folder.get(), src.name.c_str(), cst))
        return kUnreachable;
    if (S_ISREG(sst.st_mode) && sst.st_size != cst.st_size)
        return kDiffers;
    uid_t uid = sst.st_uid;
    gid_t gid = sst.st_gid;
    if (!copyPermissions)
        setCurrentUserGroupTo(uid, gid);
    return cst.st_uid == uid ? kSuccess : kPermissionsDiffer;
}

// ---------------------------------------------------------------------------------------------------------
// Compare

int KOR_CopyFile::compareFile(const std::string& source, const std::string& destination, bool checkDate,
                              bool checkPermissions) {
    mFirstError = 0;
    mAlreadyDoneSize = 0;
    mFileTotalSize = 0;
    mFileName = getDestFileNameFromSource(source);
    ItemPath a = itemPath(source), b = itemPath(destination);
    if (!a.valid || !b.valid)
        return kUnreachable;
    return compareAt(a.parent.get(), a.name.c_str(), b.parent.get(), b.name.c_str(), checkDate, checkPermissions, 0);
}

int KOR_CopyFile::compareData(int aFd, int bFd, off_t size) {
    constexpr std::size_t kBuffer = 1 << 20;
    std::vector<char> a(kBuffer), b(kBuffer);
    for (off_t position = 0; position < size;) {
        if (!waitWhilePaused())
            return kInterrupted;
        // A hole in both at the same place is alike without reading its zeros.
        const off_t aData = ::lseek(aFd, position, SEEK_DATA);
        const off_t bData = ::lseek(bFd, position, SEEK_DATA);
        if (aData < 0 && bData < 0 && errno == ENXIO)
            break;
        if (aData > position && bData > position) {
            mAlreadyDoneSize += std::min(aData, bData) - position;
            position = std::min(aData, bData);
            continue;
        }
        const std::size_t want = static_cast<std::size_t>(std::min<off_t>(size - position, kBuffer));
        ssize_t na = ::pread(aFd, a.data(), want, position);
        ssize_t nb = ::pread(bFd, b.data(), want, position);
        if (na < 0 || nb < 0)
            return fail(kUnreachable, errno);
        if (na != nb || std::memcmp(a.data(), b.data(), static_cast<std::size_t>(na)) != 0)
            return kDiffers;
        if (na == 0)
            break; // both shrank alike
        position += na;
        mAlreadyDoneSize += na;
        progress();
    }
    return kSuccess;
}

int KOR_CopyFile::compareAt(int aDirFd, const char* aName, int bDirFd, const char* bName, bool checkDate,
                            bool checkPermissions, int depth) {
    if (mMustInterrupt)
        return kInterrupted;
    if (depth > kMaxWalkDepth)
        return fail(kUnreachable, ELOOP);
    struct stat as, bs;
    if (!lstatAt(aDirFd, aName, as) || !lstatAt(bDirFd, bName, bs))
        return fail(kUnreachable, errno);
    if ((as.st_mode & S_IFMT) != (bs.st_mode & S_IFMT))
        return kDiffers;
    int result = kSuccess;
    if (S_ISREG(as.st_mode)) {
        mFileTotalSize += as.st_size;
        if (as.st_size != bs.st_size)
            return kDiffers;
        UniqueFd a(::openat(aDirFd, aName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        UniqueFd b(::openat(bDirFd, bName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (!a || !b)
            return fail(kUnreachable, errno);
        result = compareData(a.get(), b.get(), as.st_size);
    } else if (S_ISLNK(as.st_mode)) {
        char at[PATH_MAX], bt[PATH_MAX];
        ssize_t na = ::readlinkat(aDirFd, aName, at, sizeof at);
        ssize_t nb = ::readlinkat(bDirFd, bName, bt, sizeof bt);
        if (na < 0 || nb < 0)
            return fail(kUnreachable, errno);
        if (na != nb || std::memcmp(at, bt, static_cast<std::size_t>(na)) != 0)
            return kDiffers;
    } else if (S_ISDIR(as.st_mode)) {
        UniqueFd a = openDirAt(aDirFd, aName), b = openDirAt(bDirFd, bName);
        if (!a || !b)
            return fail(kUnreachable, errno);
        auto list = [](int fd, std::vector<std::string>& names) {
            DirHandle reader = DirHandle::listing(fd);
            if (!reader.valid())
                return false;
            while (const struct dirent* entry = reader.next())
                names.emplace_back(entry->d_name);
            std::sort(names.begin(), names.end());
            return true;
        };
        std::vector<std::string> an, bn;
        if (!list(a.get(), an) || !list(b.get(), bn))
            return fail(kUnreachable, errno);
        if (an != bn)
            return kDiffers;
        // Contents first: a difference inside weighs more than a date or a mode of the folder itself.
        for (const std::string& name : an) {
            const int inner = compareAt(a.get(), name.c_str(), b.get(), name.c_str(), checkDate, checkPermissions,
                                        depth + 1);
            if (inner == kDiffers || inner == kInterrupted || inner == kUnreachable)
                return inner;
            if (result == kSuccess)
                result = inner;
        }
    }
    if (result != kSuccess)
        return result;
    // Links take their times from when they were made; only their targets count.
    if (checkDate && !S_ISLNK(as.st_mode) &&
        (as.st_mtim.tv_sec != bs.st_mtim.tv_sec || as.st_mtim.tv_nsec != bs.st_mtim.tv_nsec))
        return kDatesDiffer;
    if (checkPermissions && (as.st_uid != bs.st_uid || as.st_gid != bs.st_gid ||
                             (!S_ISLNK(as.st_mode) && (as.st_mode & 07777) != (bs.st_mode & 07777))))
        return kPermissionsDiffer;
    return kSuccess;
}

// ---------------------------------------------------------------------------------------------------------
// Delete, rename, dates and owners

int KOR_CopyFile::deleteObject(const std::string& path) {
    ItemPath item = itemPath(path);
    struct stat st;
    if (!item.valid || !lstatAt(item.parent.get(), item.name.c_str(), st))
        return kUnreachable;
    std::optional<UnlockedFolder> parentUnlocked;
    if (item.grandParent)
        parentUnlocked.emplace(item.grandParent.get(), item.parentName);
    setLockedAt(item.parent.get(), item.name.c_str(), false);
    if (!removeTreeAt(item.parent.get(), item.name.c_str())) {
        bw::logLine(LOG_ERR, "KOR_CopyFile deleteObject: %s: %s", path.c_str(), std::strerror(errno));
        return kDeleteFailed;
    }
    return kSuccess;
}

int KOR_CopyFile::deleteFolderContents(const std::string& path) {
    ItemPath item = itemPath(path);
    if (!item.valid)
        return kUnreachable;
    UniqueFd folder = openDirAt(item.parent.get(), item.name.c_str());
    if (!folder)
        return kUnreachable;
    UnlockedFolder unlocked(item.parent.get(), item.name);
    DirHandle reader = DirHandle::listing(folder.get());
    if (!reader.valid())
        return kDeleteFailed;
    bool removed = true;
    while (const struct dirent* entry = reader.next())
        removed = removeTreeAt(folder.get(), entry->d_name) && removed;
    return removed ? kSuccess : kDeleteFailed;
}

int KOR_CopyFile::renameFile(const std::string& path, const std::string& newName) {
    ItemPath item = itemPath(path);
    struct stat st;
    if (!item.valid || newName.empty() || newName.find('/') != std::string::npos || newName == "." ||
        newName == ".." || !lstatAt(item.parent.get(), item.name.c_str(), st))
        return kUnreachable;
    // A locked folder refuses renames inside it as much as a locked item refuses its own.
    std::optional<UnlockedFolder> parentUnlocked;
    if (item.grandParent)
        parentUnlocked.emplace(item.grandParent.get(), item.parentName);
    const bool locked = isLockedAt(item.parent.get(), item.name.c_str());
    if (locked)
        setLockedAt(item.parent.get(), item.name.c_str(), false);
    const bool renamed = ::renameat(item.parent.get(), item.name.c_str(), item.parent.get(), newName.c_str()) == 0;
    if (locked)
        setLockedAt(item.parent.get(), renamed ? newName.c_str() : item.name.c_str(), true);
    return renamed ? kSuccess : kRenameFailed;
}

int KOR_CopyFile::modifyObjectDate(const std::string& path, const struct timespec& date) {
    ItemPath item = itemPath(path);
    if (!item.valid)
        return kUnreachable;
    struct timespec times[2] = {date, date};
    if (::utimensat(item.parent.get(), item.name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0)
        return kSuccess;
    return errno == ENOENT ? kUnreachable : kAttributes;
}

int KOR_CopyFile::modifyObjectOwner(const std::string& path, uid_t owner, gid_t group) {
    ItemPath item = itemPath(path);
    if (!item.valid)
        return kUnreachable;
    if (::fchownat(item.parent.get(), item.name.c_str(), owner, group, AT_SYMLINK_NOFOLLOW) == 0)
        return kSuccess;
    return errno == ENOENT ? kUnreachable : kAttributes;
}

} // namespace bw
