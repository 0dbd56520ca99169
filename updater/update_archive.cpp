#include "update_archive.h"

#include "files/no_follow.h"
#include "files/unique_fd.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace bw {

namespace {

constexpr std::uint64_t kMaxEntries = 200'000;
constexpr size_t kMaxPathLength = 4096;

struct ArchiveReadDeleter {
    void operator()(struct archive* a) const { archive_read_free(a); }
};
using ArchiveReader = std::unique_ptr<struct archive, ArchiveReadDeleter>;

// An entry's path as components; nothing when it is absolute or holds "..". "./" and empty
// components are dropped, so "./bin//x" is {"bin", "x"} and "./" is {}.
std::optional<std::vector<std::string>> entryComponents(const char* path) {
    if (!path || !*path || std::strlen(path) > kMaxPathLength || path[0] == '/')
        return std::nullopt;
    std::vector<std::string> parts;
    for (std::string& part : pathComponents(path)) {
        if (part == "..")
            return std::nullopt;
        if (part != ".")
            parts.push_back(std::move(part));
    }
    return parts;
}

// Whether a symbolic link at depth `depth` (number of folders between the root and the link) with
// this target stays inside the root. ".." may only lead the target, and no further up than the root:
// every later component descends, and the links it may pass were checked the same way.
bool linkTargetStaysInside(const char* target, size_t depth) {
    if (!target || !*target || target[0] == '/' || std::strlen(target) > kMaxPathLength)
        return false;
    std::string text(target);
    size_t ups = 0;
    bool descending = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t slash = text.find('/', start);
        std::string part = text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..") {
            if (descending || ++ups > depth)
                return false;
        } else if (!part.empty() && part != ".") {
            descending = true;
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return true;
}

class Unpacker {
public:
    explicit Unpacker(UniqueFd root) : m_root(std::move(root)) {}

    UnpackResult run(int archiveFd) {
        UnpackResult result;
        if (lseek(archiveFd, 0, SEEK_SET) != 0)
            return fail("the archive cannot be read");
        ArchiveReader reader(archive_read_new());
        if (!reader)
            return fail("out of memory");
        archive_read_support_filter_gzip(reader.get());
        archive_read_support_format_tar(reader.get());
        if (archive_read_open_fd(reader.get(), archiveFd, 64 * 1024) != ARCHIVE_OK)
            return fail(std::string("not a readable archive: ") + archiveError(reader.get()));
        while (true) {
            struct archive_entry* entry = nullptr;
            int status = archive_read_next_header(reader.get(), &entry);
            if (status == ARCHIVE_EOF)
                break;
            if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
                return fail(std::string("damaged archive: ") + archiveError(reader.get()));
            if (++m_entries > kMaxEntries)
                return fail("too many entries");
            if (!unpackEntry(reader.get(), entry))
                return fail(m_error);
        }
        for (auto& [path, mode] : m_folderModes) {
            UniqueFd folder = openFolder(path, false);
            if (folder.valid())
                fchmod(folder.get(), mode);
        }
        result.ok = true;
        result.bytes = m_bytes;
        result.entries = m_entries;
        return result;
    }

private:
    static const char* archiveError(struct archive* a) {
        const char* text = archive_error_string(a);
        return text ? text : "unknown error";
    }

    UnpackResult fail(const std::string& why) {
        UnpackResult result;
        result.error = why;
        result.bytes = m_bytes;
        result.entries = m_entries;
        return result;
    }

    bool refuse(const std::string& why, const char* path) {
        m_error = why + ": " + (path ? path : "(no name)");
        return false;
    }

    // The folder at `parts` below the root, never through a link; missing folders are made when asked.
    UniqueFd openFolder(const std::vector<std::string>& parts, bool create) {
        UniqueFd current(fcntl(m_root.get(), F_DUPFD_CLOEXEC, 0));
        for (const auto& part : parts) {
            if (!current.valid())
                return {};
            if (create && mkdirat(current.get(), part.c_str(), 0700) != 0 && errno != EEXIST)
                return {};
            current = openDirAt(current.get(), part.c_str());
        }
        return current;
    }

    bool unpackEntry(struct archive* reader, struct archive_entry* entry) {
        const char* path = archive_entry_pathname(entry);
        std::optional<std::vector<std::string>> parts = entryComponents(path);
        if (!parts)
            return refuse("absolute path or \"..\"", path);
        mode_t mode = archive_entry_mode(entry);
        if (mode & (S_ISUID | S_ISGID))
            return refuse("set-id bit", path);
        const char* hardlink = archive_entry_hardlink(entry);
        mode_t type = archive_entry_filetype(entry);
        if (parts->empty()) {
            if (type != AE_IFDIR || hardlink)
                return refuse("the root is not a folder", path);
            m_folderModes.emplace_back(std::vector<std::string>{}, (mode & 0777) | 0700);
            return true;
        }
        std::string name = parts->back();
        std::vector<std::string> parentParts(parts->begin(), parts->end() - 1);
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0) {
            auto size = static_cast<std::uint64_t>(archive_entry_size(entry));
            if (size > kMaxUnpackedUpdateSize || m_bytes + size > kMaxUnpackedUpdateSize)
                return refuse("more than 2 GiB unpacked", path);
        }
        UniqueFd parent = openFolder(parentParts, true);
        if (!parent.valid())
            return refuse("its folder cannot be made (a link on the way?)", path);
        if (hardlink)
            return unpackHardLink(parent.get(), name, hardlink, path);
        switch (type) {
        case AE_IFDIR: {
            if (mkdirat(parent.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
                return refuse(std::string("cannot make folder (") + std::strerror(errno) + ")", path);
            struct stat st {};
            if (fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
                return refuse("a folder's name is taken", path);
            m_folderModes.emplace_back(*parts, (mode & 0777) | 0700);
            return true;
        }
        case AE_IFLNK: {
            const char* target = archive_entry_symlink(entry);
            if (!linkTargetStaysInside(target, parentParts.size()))
                return refuse("link leaves the tree", path);
            if (symlinkat(target, parent.get(), name.c_str()) != 0)
                return refuse(std::string("cannot make link (") + std::strerror(errno) + ")", path);
            return true;
        }
        case AE_IFREG:
            return unpackFile(reader, parent.get(), name, mode, path);
        default:
            return refuse("device or special file", path);
        }
    }

    bool unpackFile(struct archive* reader, int parent, const std::string& name, mode_t mode, const char* path) {
        UniqueFd file(openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file.valid())
            return refuse(std::string("cannot make file (") + std::strerror(errno) + ")", path);
        std::vector<char> buffer(256 * 1024);
        while (true) {
            la_ssize_t n = archive_read_data(reader, buffer.data(), buffer.size());
            if (n == 0)
                break;
            if (n < 0)
                return refuse(std::string("damaged data: ") + archiveError(reader), path);
            m_bytes += static_cast<std::uint64_t>(n);
            if (m_bytes > kMaxUnpackedUpdateSize)
                return refuse("more than 2 GiB unpacked", path);
            for (la_ssize_t done = 0; done < n;) {
                ssize_t w = write(file.get(), buffer.data() + done, static_cast<size_t>(n - done));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    return refuse(std::string("cannot write (") + std::strerror(errno) + ")", path);
                done += w;
            }
        }
        if (fchmod(file.get(), mode & 0777) != 0 || !file.close())
            return refuse(std::string("cannot finish file (") + std::strerror(errno) + ")", path);
        return true;
    }

    bool unpackHardLink(int parent, const std::string& name, const char* target, const char* path) {
        std::optional<std::vector<std::string>> targetParts = entryComponents(target);
        if (!targetParts || targetParts->empty())
            return refuse("hard link leaves the tree", path);
        std::string targetName = targetParts->back();
        targetParts->pop_back();
        UniqueFd targetParent = openFolder(*targetParts, false);
        struct stat st {};
        if (!targetParent.valid() || fstatat(targetParent.get(), targetName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            return refuse("hard link to nothing unpacked", path);
        if (linkat(targetParent.get(), targetName.c_str(), parent, name.c_str(), 0) != 0)
            return refuse(std::string("cannot make hard link (") + std::strerror(errno) + ")", path);
        return true;
    }

    UniqueFd m_root;
    std::string m_error;
    std::uint64_t m_bytes = 0;
    std::uint64_t m_entries = 0;
    std::vector<std::pair<std::vector<std::string>, mode_t>> m_folderModes;
};

} // namespace

UnpackResult unpackUpdateArchive(int archiveFd, const std::string& folder) {
    UniqueFd root = openFolderNoFollow(folder);
    if (!root.valid()) {
        UnpackResult result;
        result.error = "the unpack folder cannot be opened";
        return result;
    }
    return Unpacker(std::move(root)).run(archiveFd);
}

} // namespace bw
