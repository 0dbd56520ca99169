#include "files/no_follow.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace bw {

UniqueFd openFolderNoFollow(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd openDirAt(int dirFd, const char* name) {
    return UniqueFd(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool lstatAt(int dirFd, const char* name, struct stat& st) {
    return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::vector<std::string> pathComponents(const std::string& path) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

namespace {

bool isTrustedLink(int folderFd, const struct stat& link) {
    struct stat folder;
    if (link.st_uid != 0 || ::fstat(folderFd, &folder) != 0 || folder.st_uid != 0)
        return false;
    return (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (folder.st_mode & S_ISVTX) != 0;
}

} // namespace

UniqueFd openFolderTrustingRootLinks(const std::string& path, int finalFlags) {
    constexpr int kMaxLinks = 40;
    const int common = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    if (path.empty() || path[0] != '/') {
        errno = EINVAL;
        return UniqueFd();
    }
    std::vector<std::string> parts = pathComponents(path);
    std::reverse(parts.begin(), parts.end()); // a stack: the next component at the back
    // The folders walked so far, so that ".." in a trusted link's target goes back one of them.
    std::vector<UniqueFd> walked;
    walked.emplace_back(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!walked.back())
        return UniqueFd();
    int links = 0;
    while (!parts.empty()) {
        const std::string name = std::move(parts.back());
        parts.pop_back();
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (walked.size() > 1)
                walked.pop_back();
            continue;
        }
        const int here = walked.back().get();
        // The last folder is opened as asked at once; a link (or anything else) is looked at as O_PATH.
        const bool last = parts.empty() && finalFlags != O_PATH;
        UniqueFd next(::openat(here, name.c_str(), last ? (finalFlags | common) : (O_PATH | O_NOFOLLOW | O_CLOEXEC)));
        if (!next && last && (errno == ELOOP || errno == ENOTDIR))
            next = UniqueFd(::openat(here, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
            return UniqueFd();
        struct stat st;
        if (::fstat(next.get(), &st) != 0)
            return UniqueFd();
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks || !isTrustedLink(here, st)) {
                errno = ELOOP;
                return UniqueFd();
            }
            // Read through the descriptor: exactly the link that was checked.
            char target[PATH_MAX];
            const ssize_t n = ::readlinkat(next.get(), "", target, sizeof target - 1);
            if (n <= 0) {
                errno = n == 0 ? ENOENT : errno;
                return UniqueFd();
            }
            const std::string text(target, static_cast<std::size_t>(n));
            if (text[0] == '/')
                walked.resize(1);
            std::vector<std::string> more = pathComponents(text);
            parts.insert(parts.end(), more.rbegin(), more.rend());
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return UniqueFd();
        }
        if (last && parts.empty())
            return next;
        walked.push_back(std::move(next));
    }
    if (finalFlags == O_PATH)
        return std::move(walked.back());
    return UniqueFd(::openat(walked.back().get(), ".", finalFlags | O_DIRECTORY | O_CLOEXEC));
}

namespace {

UniqueFd openDirectoryPathWith(const std::string& path, bool noFollow, bool searchOnly) {
    if (path.empty() || path[0] != '/') {
        errno = EINVAL;
        return UniqueFd();
    }
    if (!noFollow)
        return UniqueFd(::open(path.c_str(), (searchOnly ? O_PATH : O_RDONLY) | O_DIRECTORY | O_CLOEXEC));
    std::size_t pos = 1;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        if (path.compare(pos, slash - pos, "..") == 0) {
            errno = EINVAL;
            return UniqueFd();
        }
        pos = slash + 1;
    }
    return openFolderTrustingRootLinks(path, searchOnly ? O_PATH : O_RDONLY);
}

} // namespace

UniqueFd openDirectoryPath(const std::string& path, bool noFollow) {
    return openDirectoryPathWith(path, noFollow, false);
}

UniqueFd openDirectoryPathForSearch(const std::string& path, bool noFollow) {
    return openDirectoryPathWith(path, noFollow, true);
}

std::string procFdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string withoutTrailingSlashes(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    return path.substr(0, end);
}

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

UniqueFd openItemNoFollow(const std::string& path, int extraFlags) {
    UniqueFd parent;
    std::string name;
    if (!splitPath(path, parent, name))
        return UniqueFd();
    return UniqueFd(::openat(parent.get(), name.c_str(), extraFlags | O_NOFOLLOW | O_CLOEXEC));
}

} // namespace bw
