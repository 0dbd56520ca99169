#include "settings/settings.h"

#include "plist/plist_guard.h"
#include "files/atomic_file.h"
#include "files/log_line.h"
#include "files/make_folders.h"
#include "files/unique_fd.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace bw {

namespace {

// The settings file is a few hundred bytes; these limits only keep a hostile file from hurting.
const PlistLimits kSettingsLimits{64, 1'000'000};
constexpr mode_t kNewFileMode = 0600;
constexpr mode_t kNewFolderMode = 0700;

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

enum class FileRead { Missing, Unreadable, Read };

struct FileData {
    std::string bytes;
    mode_t mode = kNewFileMode;
    uid_t owner = 0;
    gid_t group = 0;
};

FileRead readWholeFile(const std::string& path, FileData& out) {
    if (path.empty())
        return FileRead::Missing;
    // With raised privileges the file is the user's to control: never read it through a link. Without
    // them a linked settings file (kept with other dotfiles) is fine.
    WholeFile file = readFileAt(AT_FDCWD, path, kMaxSettingsFileBytes, geteuid() == getuid());
    switch (file.error) {
    case 0:
        break;
    case -ENOENT:
    case -ENOTDIR:
        return FileRead::Missing;
    case -EINVAL:
        logLine(LOG_ERR, "readSettingsFile: %s is not a regular file", path.c_str());
        return FileRead::Unreadable;
    case -EFBIG:
        logLine(LOG_ERR, "readSettingsFile: %s is larger than %zu bytes", path.c_str(), kMaxSettingsFileBytes);
        return FileRead::Unreadable;
    default:
        logLine(LOG_ERR, "readSettingsFile: cannot read %s: %s", path.c_str(), std::strerror(-file.error));
        return FileRead::Unreadable;
    }
    out.mode = file.facts.st_mode & 07777;
    out.owner = file.facts.st_uid;
    out.group = file.facts.st_gid;
    out.bytes.assign(file.bytes.begin(), file.bytes.end());
    return FileRead::Read;
}

// The root dictionary of file data; nothing (and one log line) when it is not a dictionary plist.
PlistPtr parseSettingsData(const std::string& path, const std::string& bytes) {
    if (bytes.empty())
        return nullptr;
    PlistPtr root = parsePlist(bytes, kSettingsLimits);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        logLine(LOG_ERR, "readSettingsFile: %s is not a property list dictionary; ignored", path.c_str());
        return nullptr;
    }
    return root;
}

std::string parentFolder(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// mkdir -p with private folders, as the base folders of the XDG layout are.
bool makeFolders(const std::string& folder) {
    if (folder.empty())
        return false;
    const int made = makeFolderPath(folder, kNewFolderMode);
    if (made == -ENOTDIR)
        logLine(LOG_ERR, "makeFolders: %s is not a folder", folder.c_str());
    else if (made != 0)
        logLine(LOG_ERR, "makeFolders: cannot create %s: %s", folder.c_str(), std::strerror(-made));
    return made == 0;
}

// Whole-file replacement that readers never see half done. With noReplace an existing target is kept.
ReplaceResult writeFileAtomically(const std::string& path, const std::string& data, const FileData& attributes,
                                  bool noReplace) {
    std::string folder = parentFolder(path), name = lastComponent(path);
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        logLine(LOG_ERR, "writeSettingsFile: cannot open folder %s: %s", folder.c_str(), std::strerror(errno));
        return ReplaceResult::Failed;
    }
    ReplaceOptions options;
    if (geteuid() == 0 && (attributes.owner != 0 || attributes.group != 0)) {
        options.owner = attributes.owner;
        options.group = attributes.group;
    }
    options.mode = attributes.mode;
    options.keepExisting = noReplace;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    return replaceFileAt(dir.get(), name, std::span<const std::uint8_t>(bytes, data.size()), options,
                         "writeSettingsFile");
}

std::string serialise(plist_t root, bool binary) {
    char* raw = nullptr;
    std::uint32_t length = 0;
    if (binary)
        plist_to_bin(root, &raw, &length);
    else
        plist_to_xml(root, &raw, &length);
    std::unique_ptr<char, FreeDeleter> owner(raw);
    return raw && length ? std::string(raw, length) : std::string();
}

plist_t dictItem(plist_t dict, const char* key) {
    return dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
}

std::string stringValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return {};
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? std::string(text, length) : std::string();
}

bool isNumber(plist_t node) {
    if (!node)
        return false;
    plist_type type = plist_get_node_type(node);
    return type == PLIST_UINT || type == PLIST_REAL || type == PLIST_BOOLEAN;
}

// Length as the text length the agent tests: UTF-16 code units.
std::size_t utf16Length(const std::string& text) {
    std::size_t length = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80)
            length += c >= 0xF0 ? 2 : 1;
    }
    return length;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

// ---- values ----

std::int64_t leadingInteger(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // Accumulate toward the sign so that the most negative value fits; clamp instead of overflowing.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (negative) {
            if (value < (kMin + digit) / 10)
                return kMin;
            value = value * 10 - digit;
        } else {
            if (value > (kMax - digit) / 10)
                return kMax;
            value = value * 10 + digit;
        }
    }
    return value;
}

std::int64_t plistIntegerValue(plist_t node) {
    if (!node)
        return 0;
    switch (plist_get_node_type(node)) {
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return static_cast<std::int64_t>(value); // negative integers come back as their two's complement
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        if (std::isnan(value))
            return 0;
        if (value >= 9223372036854775807.0)
            return std::numeric_limits<std::int64_t>::max();
        if (value <= -9223372036854775808.0)
            return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(value);
    }
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value ? 1 : 0;
    }
    case PLIST_STRING:
        return leadingInteger(stringValue(node));
    default:
        return 0;
    }
}

bool plistBoolValue(plist_t node) {
    if (!node)
        return false;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value != 0;
    }
    case PLIST_UINT:
        return plistIntegerValue(node) != 0;
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return value != 0.0 && !std::isnan(value);
    }
    case PLIST_STRING: {
        std::string text = stringValue(node);
        std::size_t i = 0;
        while (i < text.size() && isBlank(text[i]))
            ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        while (i < text.size() && text[i] == '0')
            ++i;
        return i < text.size() && (std::strchr("YyTt", text[i]) || (text[i] >= '1' && text[i] <= '9'));
    }
    default:
        return false;
    }
}

// ---- the settings dictionary ----

Settings Settings::defaults() {
    return Settings{};
}

Settings Settings::agentFallback() {
    Settings settings;
    settings.volumes.clear();
    return settings;
}

Settings Settings::fromPlist(plist_t dict) {
    Settings settings;
    settings.updates = plistBoolValue(dictItem(dict, kUpdatesKey));
    settings.menu = plistBoolValue(dictItem(dict, kMenuKey));
    settings.pass = plistBoolValue(dictItem(dict, kPassKey));
    settings.showNotes = plistBoolValue(dictItem(dict, kShowNotesKey));
    settings.percent = plistIntegerValue(dictItem(dict, kPercentKey));
    settings.dataActivation = plistBoolValue(dictItem(dict, kDataActivationKey));
    settings.nbDays = plistIntegerValue(dictItem(dict, kNbDaysKey));
    settings.fileActivation = plistBoolValue(dictItem(dict, kFileActivationKey));
    settings.fileSize = plistIntegerValue(dictItem(dict, kFileSizeKey));
    settings.daemonMode = plistIntegerValue(dictItem(dict, kDaemonModeKey));
    settings.volumes.clear();
    plist_t list = dictItem(dict, kVolumesListKey);
    if (list && plist_get_node_type(list) == PLIST_ARRAY) {
        std::uint32_t count = plist_array_get_size(list);
        for (std::uint32_t i = 0; i < count; ++i) {
            plist_t entry = plist_array_get_item(list, i);
            if (!entry || plist_get_node_type(entry) != PLIST_DICT)
                continue;
            settings.volumes.push_back(
                {stringValue(dictItem(entry, kVolumePathKey)), plistBoolValue(dictItem(entry, kVolumeProtectedKey))});
        }
    }
    return settings;
}

PlistPtr Settings::toPlist() const {
    PlistPtr dict(plist_new_dict());
    plist_t d = dict.get();
    plist_dict_set_item(d, kUpdatesKey, plist_new_bool(updates));
    plist_dict_set_item(d, kMenuKey, plist_new_bool(menu));
    plist_dict_set_item(d, kPassKey, plist_new_bool(pass));
    plist_dict_set_item(d, kShowNotesKey, plist_new_bool(showNotes));
    plist_dict_set_item(d, kPercentKey, plist_new_uint(static_cast<std::uint64_t>(percent)));
    plist_dict_set_item(d, kDataActivationKey, plist_new_bool(dataActivation));
    plist_dict_set_item(d, kNbDaysKey, plist_new_uint(static_cast<std::uint64_t>(nbDays)));
    plist_dict_set_item(d, kFileActivationKey, plist_new_bool(fileActivation));
    plist_dict_set_item(d, kFileSizeKey, plist_new_uint(static_cast<std::uint64_t>(fileSize)));
    plist_dict_set_item(d, kDaemonModeKey, plist_new_uint(static_cast<std::uint64_t>(daemonMode)));
    plist_t list = plist_new_array();
    for (const auto& volume : volumes) {
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, kVolumePathKey, plist_new_string(volume.path.c_str()));
        plist_dict_set_item(entry, kVolumeProtectedKey, plist_new_bool(volume.isProtected));
        plist_array_append_item(list, entry);
    }
    plist_dict_set_item(d, kVolumesListKey, list);
    return dict;
}

std::int64_t Settings::cacheLifeDays() const {
    return dataActivation ? nbDays : 0;
}

std::int64_t Settings::maxFileSizeMB() const {
    return fileActivation ? fileSize : 0;
}

std::vector<std::string> Settings::protectedFolders(const std::string& homeFolder) const {
    std::vector<std::string> folders;
    for (const auto& volume : volumes) {
        if (!volume.isProtected || volume.path.empty())
            continue;
        std::string folder = utf16Length(volume.path) == 1 ? homeFolder : volume.path;
        // One daemon per trash: a folder listed twice would get two daemons racing for the same items.
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(std::move(folder));
    }
    if (folders.empty())
        folders.push_back(homeFolder);
    return folders;
}

// ---- filters ----

std::vector<FilterEntry> filtersFromPlist(plist_t array) {
    std::vector<FilterEntry> filters;
    if (!array || plist_get_node_type(array) != PLIST_ARRAY)
        return filters;
    std::uint32_t count = plist_array_get_size(array);
    for (std::uint32_t i = 0; i < count; ++i) {
        plist_t entry = plist_array_get_item(array, i);
        plist_t type = dictItem(entry, kFilterTypeKey);
        plist_t rule = dictItem(entry, kFilterRuleKey);
        if (!isNumber(type) || !rule || plist_get_node_type(rule) != PLIST_STRING)
            continue;
        filters.push_back({plistIntegerValue(type), stringValue(rule)});
    }
    return filters;
}

PlistPtr filtersToPlist(const std::vector<FilterEntry>& filters) {
    PlistPtr array(plist_new_array());
    for (const auto& filter : filters) {
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, kFilterTypeKey, plist_new_uint(static_cast<std::uint64_t>(filter.type)));
        plist_dict_set_item(entry, kFilterRuleKey, plist_new_string(filter.rule.c_str()));
        plist_array_append_item(array.get(), entry);
    }
    return array;
}

// ---- where the file lives ----

std::string configFolderPath(const std::string& homeFolder) {
    auto withoutTrailingSlashes = [](std::string path) {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        return path;
    };
    const char* xdg = secure_getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return withoutTrailingSlashes(xdg);
    std::string home = homeFolder;
    if (home.empty()) {
        const char* env = secure_getenv("HOME");
        if (env && env[0] == '/')
            home = env;
    }
    if (home.empty()) {
        long size = sysconf(_SC_GETPW_R_SIZE_MAX);
        std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
        struct passwd entry {};
        struct passwd* found = nullptr;
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
            found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    if (home.empty())
        return {};
    home = withoutTrailingSlashes(home);
    return (home == "/" ? std::string() : home) + "/.config";
}

std::string settingsFilePath(const std::string& homeFolder) {
    std::string folder = configFolderPath(homeFolder);
    return folder.empty() ? std::string() : folder + "/" + kSettingsFileName;
}

std::string menuSettingsFilePath(const std::string& homeFolder) {
    std::string folder = configFolderPath(homeFolder);
    return folder.empty() ? std::string() : folder + "/" + kMenuSettingsFileName;
}

// ---- reading ----

PlistPtr readSettingsFile(const std::string& path) {
    FileData file;
    if (readWholeFile(path, file) != FileRead::Read)
        return nullptr;
    return parseSettingsData(path, file.bytes);
}

std::optional<Settings> loadSettings(const std::string& path) {
    PlistPtr root = readSettingsFile(path);
    plist_t dict = dictItem(root.get(), kSettingsDictKey);
    if (!dict || plist_get_node_type(dict) != PLIST_DICT)
        return std::nullopt;
    return Settings::fromPlist(dict);
}

std::vector<FilterEntry> loadFilters(const std::string& path) {
    PlistPtr root = readSettingsFile(path);
    return filtersFromPlist(dictItem(root.get(), kFiltersKey));
}

bool readProtectionStatusOnStart(const std::string& path) {
    PlistPtr root = readSettingsFile(path);
    return plistBoolValue(dictItem(root.get(), kProtectionStatusOnStartKey));
}

// ---- writing ----

bool createSettingsFileIfMissing(const std::string& path) {
    if (path.empty()) {
        logLine(LOG_ERR, "createSettingsFileIfMissing: no settings file is known (no home folder)");
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0)
        return true;
    if (errno != ENOENT) {
        logLine(LOG_ERR, "createSettingsFileIfMissing: cannot look at %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    PlistPtr root(plist_new_dict());
    plist_dict_set_item(root.get(), kSettingsDictKey, Settings::defaults().toPlist().release());
    std::string data = serialise(root.get(), true);
    if (data.empty()) {
        logLine(LOG_ERR, "createSettingsFileIfMissing: the defaults could not be serialised");
        return false;
    }
    if (!makeFolders(parentFolder(path)))
        return false;
    FileData attributes;
    attributes.owner = getuid();
    attributes.group = getgid();
    return writeFileAtomically(path, data, attributes, true) != ReplaceResult::Failed;
}

bool editSettingsFile(const std::string& path, const std::function<bool(plist_t root)>& edit, bool createIfMissing) {
    FileData file;
    file.owner = getuid();
    file.group = getgid();
    PlistPtr root;
    bool binary = true;
    switch (readWholeFile(path, file)) {
    case FileRead::Missing:
        if (!createIfMissing)
            return false;
        if (path.empty()) {
            logLine(LOG_ERR, "editSettingsFile: no settings file is known (no home folder)");
            return false;
        }
        root.reset(plist_new_dict());
        if (!makeFolders(parentFolder(path)))
            return false;
        break;
    case FileRead::Unreadable:
        return false;
    case FileRead::Read:
        // An unparsable file counts as missing, but is never overwritten by a reader's one-key edit.
        root = parseSettingsData(path, file.bytes);
        if (!root) {
            if (!createIfMissing)
                return false;
            root.reset(plist_new_dict());
        } else {
            binary = isBinaryPlist(file.bytes);
        }
        break;
    }
    if (!edit(root.get()))
        return false;
    std::string data = serialise(root.get(), binary);
    if (data.empty()) {
        logLine(LOG_ERR, "editSettingsFile: %s could not be serialised", path.c_str());
        return false;
    }
    return writeFileAtomically(path, data, file, false) == ReplaceResult::Written;
}

bool writeProtectionStatusOnStart(const std::string& path, bool on) {
    return editSettingsFile(
        path,
        [on](plist_t root) {
            plist_dict_set_item(root, kProtectionStatusOnStartKey, plist_new_bool(on));
            return true;
        },
        false);
}

} // namespace bw
