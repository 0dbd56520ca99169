#include "defaults_store.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <mutex>

namespace bw {

namespace {

// Every write reads the file, changes it and replaces it whole; two threads of this program writing at
// once (a frame on the main thread, "FirstLaunch" on the launch thread) would otherwise lose one key.
std::mutex& writeMutex() {
    static std::mutex mutex;
    return mutex;
}

bool edit(const std::string& path, const std::function<bool(plist_t)>& change) {
    std::lock_guard lock(writeMutex());
    return editSettingsFile(path, change, true);
}

} // namespace

DefaultsStore::DefaultsStore(std::string path) : m_path(path.empty() ? settingsFilePath() : std::move(path)) {}

bool DefaultsStore::fileExists() const {
    struct stat st {};
    return stat(m_path.c_str(), &st) == 0;
}

bool DefaultsStore::registerDefaults() const {
    std::lock_guard lock(writeMutex());
    return createSettingsFileIfMissing(m_path);
}

Settings DefaultsStore::settings() const {
    return loadSettings(m_path).value_or(Settings::defaults());
}

std::vector<FilterEntry> DefaultsStore::filters() const {
    return loadFilters(m_path);
}

bool DefaultsStore::storeSettings(const Settings& settings, const std::vector<FilterEntry>& filters) const {
    // A failed write is logged with its reason by the settings file's writer.
    return edit(m_path, [&](plist_t root) {
        plist_dict_set_item(root, kFiltersKey, filtersToPlist(filters).release());
        plist_dict_set_item(root, kSettingsDictKey, settings.toPlist().release());
        return true;
    });
}

std::optional<std::string> DefaultsStore::stringValue(const std::string& key) const {
    PlistPtr root = readSettingsFile(m_path);
    plist_t node = root ? plist_dict_get_item(root.get(), key.c_str()) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string text = value ? value : "";
    std::free(value);
    return text;
}

bool DefaultsStore::setString(const std::string& key, const std::string& value) const {
    return edit(m_path, [&](plist_t root) {
        plist_dict_set_item(root, key.c_str(), plist_new_string(value.c_str()));
        return true;
    });
}

std::optional<std::int64_t> DefaultsStore::integerValue(const std::string& key) const {
    PlistPtr root = readSettingsFile(m_path);
    plist_t node = root ? plist_dict_get_item(root.get(), key.c_str()) : nullptr;
    if (!node)
        return std::nullopt;
    return plistIntegerValue(node);
}

bool DefaultsStore::setInteger(const std::string& key, std::int64_t value) const {
    return edit(m_path, [&](plist_t root) {
        plist_dict_set_item(root, key.c_str(), plist_new_uint(static_cast<std::uint64_t>(value)));
        return true;
    });
}

} // namespace bw
