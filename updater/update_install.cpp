#include "update_install.h"

#include "files/log_line.h"
#include "files/remove_tree.h"
#include "files/unique_fd.h"
#include "update_archive.h"
#include "user_trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace bw {

namespace {

std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == 0 ? "/" : slash == std::string::npos ? "." : path.substr(0, slash);
}

std::optional<std::vector<std::uint8_t>> readSignature(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return std::nullopt;
    std::vector<std::uint8_t> data(kUpdateSignatureSize + 1);
    size_t total = 0;
    while (total < data.size()) {
        ssize_t n = read(fd.get(), data.data() + total, data.size() - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += static_cast<size_t>(n);
    }
    data.resize(total);
    return data;
}

InstallOutcome failure(InstallError error, const std::string& detail) {
    bw::logLine(LOG_WARNING, "update not installed: %s", detail.c_str());
    return InstallOutcome{error, detail};
}

// Removes the download and its signature when it goes.
struct DownloadCleanup {
    std::string archive;
    ~DownloadCleanup() {
        unlink(archive.c_str());
        unlink((archive + ".sig").c_str());
    }
};

// A fresh private folder beside the tree, removed with its content unless it was handed over.
struct StagingFolder {
    std::string path;
    ~StagingFolder() {
        if (!path.empty())
            removeTree(path);
    }
};

} // namespace

InstallTreeState installTreeState(const std::string& root, uid_t owner) {
    struct stat st {};
    if (root.empty() || lstat(root.c_str(), &st) != 0)
        return InstallTreeState::Missing;
    // A tree root owns came from a package (or an administrator): its package manager updates it.
    if (!S_ISDIR(st.st_mode) || st.st_uid != owner || owner == 0)
        return InstallTreeState::NotOurs;
    struct stat parent {};
    std::string parentPath = parentOf(root);
    // The tree is replaced inside its parent folder, which must be ours to write as well.
    if (lstat(parentPath.c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode) ||
        access(parentPath.c_str(), W_OK | X_OK) != 0 || access(root.c_str(), W_OK | X_OK) != 0)
        return InstallTreeState::NotOurs;
    return InstallTreeState::Replaceable;
}

InstallOutcome installUpdateArchive(const InstallRequest& request) {
    DownloadCleanup cleanup{request.archivePath};
    if (installTreeState(request.root, request.owner) != InstallTreeState::Replaceable)
        return failure(InstallError::NotReplaceable,
                       "the installed copy at " + request.root + " does not belong to you; update it with its package");
    if (!request.key)
        return failure(InstallError::NoTrustedKey, "this build trusts no update signing key");
    UniqueFd archive(open(request.archivePath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!archive.valid())
        return failure(InstallError::BadArchive, "the downloaded archive cannot be opened");
    std::optional<std::vector<std::uint8_t>> signature = readSignature(request.archivePath + ".sig");
    if (!signature)
        return failure(InstallError::MissingSignature, "the update archive comes without a signature");
    if (!verifyFileSignature(archive.get(), *signature, *request.key))
        return failure(InstallError::BadSignature, "the update archive's signature does not match");

    StagingFolder staging{parentOf(request.root) + "/.binwarden2-update-XXXXXX"};
    std::vector<char> name(staging.path.begin(), staging.path.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        staging.path.clear();
        return failure(InstallError::CannotReplace,
                       std::string("no room beside the installed copy (") + std::strerror(errno) + ")");
    }
    staging.path = name.data();
    UnpackResult unpacked = unpackUpdateArchive(archive.get(), staging.path);
    if (!unpacked.ok)
        return failure(InstallError::BadArchive, "the update archive was refused: " + unpacked.error);
    struct stat st {};
    if (lstat((staging.path + "/bin/binwarden2-menu").c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return failure(InstallError::NotAnInstallTree, "the update archive holds no bin/binwarden2-menu");
    chmod(staging.path.c_str(), 0755);

    if (request.beforeReplace)
        request.beforeReplace();
    std::string why;
    std::optional<TrashedItem> trashed = moveToUserTrash(request.root, &why);
    if (!trashed)
        return failure(InstallError::CannotTrash, "the installed copy cannot go to the Trash: " + why);
    if (renameat2(AT_FDCWD, staging.path.c_str(), AT_FDCWD, request.root.c_str(), RENAME_NOREPLACE) != 0) {
        std::string reason = std::strerror(errno);
        bool restored = restoreFromUserTrash(*trashed);
        return failure(InstallError::CannotReplace,
                       "the new version cannot be put in place (" + reason + ")" +
                           (restored ? "; the old one was put back" : "; the old one is in the Trash"));
    }
    staging.path.clear();
    bw::logLine(LOG_NOTICE, "update installed into %s; the previous version is in %s", request.root.c_str(),
                trashed->trashedPath.c_str());
    return {};
}

} // namespace bw
