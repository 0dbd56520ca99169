#include "store/trash_info.h"

#include "files/atomic_file.h"
#include "files/log_line.h"
#include "files/no_follow.h"
#include "plist/json_writer.h"
#include "files/unique_fd.h"
#include "files/utf8.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

namespace bw {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// The path rebuilt from its components with single slashes; nothing when a component is unsafe.
std::optional<std::string> normalizedAbsolutePath(std::string_view path) {
    std::string out;
    for (const std::string& component : pathComponents(std::string(path))) {
        if (component == "." || component == ".." || component.size() > NAME_MAX)
            return std::nullopt;
        out += '/';
        out += component;
    }
    if (out.empty() || out.size() >= PATH_MAX)
        return std::nullopt;
    return out;
}

// Switches the calling thread's file-system ids to the user's for as long as it lives (root only), so
// that what is opened is what the user could open.
class UserFileSystemIds {
public:
    UserFileSystemIds(uid_t user, gid_t group) {
        if (::geteuid() != 0 || user == 0)
            return;
        m_oldGroup = static_cast<gid_t>(::setfsgid(group));
        m_oldUser = static_cast<uid_t>(::setfsuid(user));
        m_switched = true;
        // setfsuid answers the previous id whether it worked or not; asking again tells.
        m_ok = static_cast<uid_t>(::setfsuid(user)) == user && static_cast<gid_t>(::setfsgid(group)) == group;
    }
    ~UserFileSystemIds() {
        if (!m_switched)
            return;
        ::setfsuid(m_oldUser);
        ::setfsgid(m_oldGroup);
    }
    UserFileSystemIds(const UserFileSystemIds&) = delete;
    UserFileSystemIds& operator=(const UserFileSystemIds&) = delete;
    bool ok() const { return m_ok; }
    bool switched() const { return m_switched; }

private:
    bool m_switched = false;
    bool m_ok = true;
    uid_t m_oldUser = 0;
    gid_t m_oldGroup = 0;
};

} // namespace

std::optional<std::string> originalPathFromTrashInfo(std::string_view text, const std::string& volumeTop) {
    if (text.size() > kMaxTrashInfoSize)
        return std::nullopt;
    bool inGroup = false;
    std::optional<std::string_view> encoded;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inGroup = line == "[Trash Info]";
            continue;
        }
        if (!inGroup)
            continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || trimmed(line.substr(0, equals)) != "Path")
            continue;
        if (encoded)
            return std::nullopt; // two answers: trust neither
        encoded = trimmed(line.substr(equals + 1));
    }
    if (!encoded || encoded->empty())
        return std::nullopt;
    std::optional<std::string> decoded = percentDecoded(*encoded);
    if (!decoded || decoded->empty())
        return std::nullopt;
    if (decoded->front() != '/') {
        if (volumeTop.empty() || volumeTop.front() != '/')
            return std::nullopt;
        *decoded = volumeTop + "/" + *decoded;
    }
    return safeOriginalPath(*decoded);
}

std::optional<std::string> safeOriginalPath(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.size() >= PATH_MAX || !isValidUtf8(path))
        return std::nullopt;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return std::nullopt;
    }
    return normalizedAbsolutePath(path);
}

std::optional<std::string> readTrashInfoOriginalPathAt(int infoDirFd, const std::string& itemName,
                                                       const std::string& volumeTop, uid_t user, gid_t group) {
    if (infoDirFd < 0 || itemName.empty() || itemName.find('/') != std::string::npos)
        return std::nullopt;
    const std::string name = itemName + ".trashinfo";
    std::string content;
    {
        UserFileSystemIds ids(user, group);
        if (!ids.ok()) {
            bw::logLine(LOG_ERR, "readTrashInfo: cannot take the file-system ids of user %d", static_cast<int>(user));
            return std::nullopt;
        }
        WholeFile file = readFileAt(infoDirFd, name, kMaxTrashInfoSize);
        if (file.error != 0 || (ids.switched() && file.facts.st_uid != user))
            return std::nullopt;
        content.assign(file.bytes.begin(), file.bytes.end());
    }
    return originalPathFromTrashInfo(content, volumeTop);
}

} // namespace bw
