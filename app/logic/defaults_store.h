#pragma once
// The main application's defaults store: the settings file read and written whole (atomically) through
// the shared settings code, with the registered defaults standing in for a missing dictionary. Every
// write reads the file again first, so keys other programs wrote meanwhile (the agent's start-at-login
// flag) are kept.

#include "settings/settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bw {

class DefaultsStore {
public:
    // The shared settings file (settingsFilePath()) unless told otherwise.
    explicit DefaultsStore(std::string path = {});

    const std::string& path() const { return m_path; }
    bool fileExists() const;

    // Class initialisation of the application: creates the file with the defaults when it is missing.
    bool registerDefaults() const;

    // "Binwarden Settings", or the registered defaults when none is stored.
    Settings settings() const;
    // "BWS_filters"; empty when none is stored.
    std::vector<FilterEntry> filters() const;
    // Stores the filter list and the settings dictionary in one write.
    bool storeSettings(const Settings& settings, const std::vector<FilterEntry>& filters) const;

    std::optional<std::string> stringValue(const std::string& key) const;
    bool setString(const std::string& key, const std::string& value) const;
    std::optional<std::int64_t> integerValue(const std::string& key) const;
    bool setInteger(const std::string& key, std::int64_t value) const;

private:
    std::string m_path;
};

} // namespace bw
