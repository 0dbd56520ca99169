#pragma once
// The settings file "com.kor.Binwarden-2.plist" in $XDG_CONFIG_HOME (default ~/.config), its keys,
// types and defaults, and how each program reads them.

#include "plist/plist_ptr.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bw {

inline constexpr char kSettingsFileName[] = "com.kor.Binwarden-2.plist";
inline constexpr char kMenuSettingsFileName[] = "com.kor.Binwarden-2-Menu.plist";
inline constexpr char kSettingsDictKey[] = "Binwarden Settings";
inline constexpr char kFiltersKey[] = "BWS_filters";
inline constexpr char kProtectionStatusOnStartKey[] = "BWProtectionStatusOnStart";
inline constexpr char kFirstLaunchKey[] = "FirstLaunch";
inline constexpr char kSettingsFlagFileName[] = ".settingsFlag";

// Keys of the "Binwarden Settings" dictionary, its volume entries and the filter entries.
inline constexpr char kUpdatesKey[] = "BWS_updates";
inline constexpr char kMenuKey[] = "BWS_menu";
inline constexpr char kPassKey[] = "BWS_pass";
inline constexpr char kShowNotesKey[] = "BWS_show notes";
inline constexpr char kPercentKey[] = "BWS_percent";
inline constexpr char kDataActivationKey[] = "BWS_data activation";
inline constexpr char kNbDaysKey[] = "BWS_nb days";
inline constexpr char kFileActivationKey[] = "BWS_file activation";
inline constexpr char kFileSizeKey[] = "BWS_file size";
inline constexpr char kDaemonModeKey[] = "BWS_daemon mode";
inline constexpr char kVolumesListKey[] = "BWS_volumes lists";
inline constexpr char kVolumePathKey[] = "BWS_volumes paths";
inline constexpr char kVolumeProtectedKey[] = "BWS_protected";
inline constexpr char kFilterTypeKey[] = "BWS_filter type";
inline constexpr char kFilterRuleKey[] = "BWS_filter rule";

struct VolumeEntry {
    std::string path;         // "BWS_volumes paths"; "/" stands for the home trash
    bool isProtected = false; // "BWS_protected"
};

struct FilterEntry {
    std::int64_t type = 1; // "BWS_filter type": 1 = name fragment, 2 = extension
    std::string rule;      // "BWS_filter rule"
};

// The "Binwarden Settings" dictionary, typed. Defaults are the registered defaults.
struct Settings {
    bool updates = true;                           // "BWS_updates"
    bool menu = true;                              // "BWS_menu"
    bool pass = false;                             // "BWS_pass"
    bool showNotes = false;                        // "BWS_show notes"
    std::int64_t percent = 15;                     // "BWS_percent"
    bool dataActivation = true;                    // "BWS_data activation"
    std::int64_t nbDays = 3;                       // "BWS_nb days"
    bool fileActivation = true;                    // "BWS_file activation"
    std::int64_t fileSize = 700;                   // "BWS_file size", megabytes of 1,000,000 bytes
    std::int64_t daemonMode = 1;                   // "BWS_daemon mode": 1 move, 2 copy
    std::vector<VolumeEntry> volumes{{"/", true}}; // "BWS_volumes lists"

    // The registered defaults (one volume entry "/", protected).
    static Settings defaults();
    // The agent's own fallback when the file or the dictionary is missing: defaults with no volume list.
    static Settings agentFallback();

    // From a "Binwarden Settings" dictionary (a key missing from a stored dictionary reads as false, 0
    // or an empty list) and back to one (every key written).
    static Settings fromPlist(plist_t dict);
    PlistPtr toPlist() const;

    // The agent's reading: cache life in days (0 when the age limit is off), largest file in megabytes
    // (0 when the size limit is off), and the protected folders: every protected entry's path, a path of
    // one character standing for homeFolder, in list order, each folder once, empty paths skipped; with
    // none, homeFolder alone.
    std::int64_t cacheLifeDays() const;
    std::int64_t maxFileSizeMB() const;
    std::vector<std::string> protectedFolders(const std::string& homeFolder) const;
};

// $XDG_CONFIG_HOME when set and absolute; otherwise the given home (else $HOME, else the password
// database's home of the real user) + "/.config".
std::string configFolderPath(const std::string& homeFolder = {});
// $XDG_CONFIG_HOME (or ~/.config, or the given home's .config) + file name.
std::string settingsFilePath(const std::string& homeFolder = {});
std::string menuSettingsFilePath(const std::string& homeFolder = {});

// A whole settings file is never read beyond this size; a bigger one counts as unreadable.
inline constexpr std::size_t kMaxSettingsFileBytes = 8u << 20;

// The whole file parsed (binary or XML); nothing when missing, empty, unparsable, not a dictionary,
// larger than kMaxSettingsFileBytes or not a regular file (and, with raised privileges, a link).
PlistPtr readSettingsFile(const std::string& path);
// The "Binwarden Settings" dictionary of the file, typed; nothing when the file or the dictionary is missing.
std::optional<Settings> loadSettings(const std::string& path);
// The top-level "BWS_filters" list; missing, unreadable or empty = no filter.
std::vector<FilterEntry> loadFilters(const std::string& path);
// Creates the file with only "Binwarden Settings" = defaults, as a binary property list, when it does
// not exist. True when it exists afterwards.
bool createSettingsFileIfMissing(const std::string& path);
// Sets "BWProtectionStatusOnStart" and writes the whole file back atomically in the format it was
// read in (binary or XML). Does nothing and answers false when the file does not exist.
bool writeProtectionStatusOnStart(const std::string& path, bool on);

// The agent's reading of "BWProtectionStatusOnStart" (missing file, unparsable file or missing key = false).
bool readProtectionStatusOnStart(const std::string& path);
// Reads the whole file, lets `edit` change the root dictionary, and writes the whole file back atomically
// in the format it was read in, keeping its mode. A missing or unparsable file is left alone (false), or,
// with createIfMissing, replaced by a binary file built from an empty dictionary (the folder is created
// too). Nothing is written when `edit` answers false. True when the file was written.
bool editSettingsFile(const std::string& path, const std::function<bool(plist_t root)>& edit, bool createIfMissing);

// The filter list from a "BWS_filters" array: dictionaries with a number under "BWS_filter type" and a
// string under "BWS_filter rule"; anything else is skipped. And back to an array.
std::vector<FilterEntry> filtersFromPlist(plist_t array);
PlistPtr filtersToPlist(const std::vector<FilterEntry>& filters);

// Lenient readers for values other writers may have stored with another type: an integer, a real
// (truncated toward zero, clamped), a boolean (0 or 1) or a string (its leading integer); anything else
// or nothing reads as 0 / false. A string is true when it starts, after blanks, an optional sign and
// zeros, with Y, y, T, t or a digit 1-9.
std::int64_t plistIntegerValue(plist_t node);
bool plistBoolValue(plist_t node);

// The leading decimal number of a text typed in a field ("12abc" → 12, "abc" → 0, "  -5x" → -5), after
// leading blanks as atoll skips them; clamped to the 64-bit range instead of overflowing.
std::int64_t leadingInteger(const std::string& text);

} // namespace bw
