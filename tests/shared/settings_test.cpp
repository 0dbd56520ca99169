#include "settings/settings.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>

using bw::PlistPtr;
using bw::Settings;
using bw::test::readFile;
using bw::test::TempDir;
using bw::test::writeFile;

namespace {

// Sets or clears one environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

PlistPtr parse(const std::string& data) {
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    return PlistPtr(root);
}

std::string toXml(plist_t root) {
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &raw, &length);
    std::string out(raw, length);
    free(raw);
    return out;
}

std::string toBinary(plist_t root) {
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &raw, &length);
    std::string out(raw, length);
    free(raw);
    return out;
}

std::string xmlPlist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

Settings settingsFromXml(const std::string& dictBody) {
    PlistPtr dict = parse(xmlPlist("<dict>" + dictBody + "</dict>"));
    EXPECT_TRUE(dict);
    return Settings::fromPlist(dict.get());
}

int64_t intAt(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    EXPECT_TRUE(PLIST_IS_UINT(node)) << key;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return static_cast<int64_t>(value);
}

bool boolAt(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    EXPECT_TRUE(PLIST_IS_BOOLEAN(node)) << key;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

} // namespace

TEST(SettingsFile, FreshFileHoldsOnlyTheDefaultsAsBinary) {
    TempDir home;
    std::string path = home / "config/sub/com.kor.Binwarden-2.plist"; // folders created on the way
    ASSERT_TRUE(bw::createSettingsFileIfMissing(path));
    std::string data = readFile(path);
    ASSERT_EQ(data.substr(0, 8), "bplist00");
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(home / "config"), 0700u);

    PlistPtr root = parse(data);
    ASSERT_TRUE(PLIST_IS_DICT(root.get()));
    EXPECT_EQ(plist_dict_get_size(root.get()), 1u); // no "BWS_filters", no flag
    plist_t dict = plist_dict_get_item(root.get(), "Binwarden Settings");
    ASSERT_TRUE(PLIST_IS_DICT(dict));
    EXPECT_EQ(plist_dict_get_size(dict), 11u);
    EXPECT_TRUE(boolAt(dict, "BWS_updates"));
    EXPECT_TRUE(boolAt(dict, "BWS_menu"));
    EXPECT_FALSE(boolAt(dict, "BWS_pass"));
    EXPECT_FALSE(boolAt(dict, "BWS_show notes"));
    EXPECT_EQ(intAt(dict, "BWS_percent"), 15);
    EXPECT_TRUE(boolAt(dict, "BWS_data activation"));
    EXPECT_EQ(intAt(dict, "BWS_nb days"), 3);
    EXPECT_TRUE(boolAt(dict, "BWS_file activation"));
    EXPECT_EQ(intAt(dict, "BWS_file size"), 700);
    EXPECT_EQ(intAt(dict, "BWS_daemon mode"), 1);
    plist_t volumes = plist_dict_get_item(dict, "BWS_volumes lists");
    ASSERT_TRUE(PLIST_IS_ARRAY(volumes));
    ASSERT_EQ(plist_array_get_size(volumes), 1u);
    plist_t entry = plist_array_get_item(volumes, 0);
    ASSERT_TRUE(PLIST_IS_DICT(entry));
    EXPECT_EQ(plist_dict_get_size(entry), 2u);
    EXPECT_TRUE(plist_string_val_compare(plist_dict_get_item(entry, "BWS_volumes paths"), "/") == 0);
    EXPECT_TRUE(boolAt(entry, "BWS_protected"));

    // An existing file, even one that does not parse, is left alone.
    writeFile(path, "not a property list");
    EXPECT_TRUE(bw::createSettingsFileIfMissing(path));
    EXPECT_EQ(readFile(path), "not a property list");
}

TEST(SettingsFile, ProtectionFlagWriteBackKeepsFormatKeysAndMode) {
    TempDir home;
    std::string path = home / "com.kor.Binwarden-2.plist";
    PlistPtr original(plist_new_dict());
    Settings custom = Settings::defaults();
    custom.percent = 25;
    custom.volumes.push_back({"/media/usb", true});
    plist_dict_set_item(original.get(), "Binwarden Settings", custom.toPlist().release());
    plist_dict_set_item(original.get(), "BWS_filters", bw::filtersToPlist({{2, "iso"}}).release());
    plist_dict_set_item(original.get(), "FirstLaunch", plist_new_uint(200));
    plist_dict_set_item(original.get(), "NSWindow settings frame", plist_new_string("{{10, 20}, {640, 480}}"));

    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "xml");
        writeFile(path, binary ? toBinary(original.get()) : toXml(original.get()));
        ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        ASSERT_TRUE(bw::writeProtectionStatusOnStart(path, true));
        std::string data = readFile(path);
        EXPECT_EQ(data.substr(0, 8) == "bplist00", binary);
        EXPECT_EQ(data.rfind("<?xml", 0) == 0, !binary);
        EXPECT_EQ(modeOf(path), 0640u);
        EXPECT_TRUE(bw::readProtectionStatusOnStart(path));

        PlistPtr root = parse(data);
        ASSERT_TRUE(root);
        plist_t flag = plist_dict_get_item(root.get(), "BWProtectionStatusOnStart");
        ASSERT_TRUE(PLIST_IS_BOOLEAN(flag));
        plist_dict_remove_item(root.get(), "BWProtectionStatusOnStart");
        EXPECT_EQ(toXml(root.get()), toXml(original.get())) << "other keys changed";

        ASSERT_TRUE(bw::writeProtectionStatusOnStart(path, false));
        EXPECT_FALSE(bw::readProtectionStatusOnStart(path));
        EXPECT_EQ(readFile(path).substr(0, 8) == "bplist00", binary);
        std::optional<Settings> loaded = bw::loadSettings(path);
        ASSERT_TRUE(loaded);
        EXPECT_EQ(loaded->percent, 25);
        ASSERT_EQ(loaded->volumes.size(), 2u);
        EXPECT_EQ(loaded->volumes[1].path, "/media/usb");
    }
    // No temporary file is left beside it.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(home.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"com.kor.Binwarden-2.plist"});
}

TEST(SettingsFile, MissingEmptyOrUnparsableFileCountsAsMissing) {
    TempDir home;
    std::string path = home / "com.kor.Binwarden-2.plist";

    EXPECT_FALSE(bw::writeProtectionStatusOnStart(path, true));
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "write-back created a missing file";
    EXPECT_FALSE(bw::readSettingsFile(path));
    EXPECT_FALSE(bw::loadSettings(path));
    EXPECT_TRUE(bw::loadFilters(path).empty());
    EXPECT_FALSE(bw::readProtectionStatusOnStart(path));

    const std::string unusable[] = {
        "",
        "garbage that is not a plist",
        "bplist00 truncated",
        xmlPlist("<array><string>root is not a dictionary</string></array>"),
        xmlPlist("<dict><key>Binwarden Settings</key><string>not a dictionary</string></dict>"),
    };
    for (const std::string& content : unusable) {
        SCOPED_TRACE(content);
        writeFile(path, content);
        EXPECT_FALSE(bw::loadSettings(path));
        EXPECT_TRUE(bw::loadFilters(path).empty());
        EXPECT_FALSE(bw::readProtectionStatusOnStart(path));
    }
    // An unparsable file is not overwritten by the agent's one-key write-back.
    writeFile(path, "garbage that is not a plist");
    EXPECT_FALSE(bw::writeProtectionStatusOnStart(path, true));
    EXPECT_EQ(readFile(path), "garbage that is not a plist");

    // A folder where the file should be reads as unusable, never as a crash.
    std::string folder = home / "folder.plist";
    bw::test::makeDirs(folder);
    EXPECT_FALSE(bw::readSettingsFile(folder));
}

TEST(SettingsFile, OversizedFileIsNotRead) {
    TempDir home;
    std::string path = home / "com.kor.Binwarden-2.plist";
    std::string body = "<dict><key>Binwarden Settings</key><dict/><key>pad</key><string>";
    body += std::string(bw::kMaxSettingsFileBytes, 'x');
    body += "</string></dict>";
    writeFile(path, xmlPlist(body));
    EXPECT_FALSE(bw::loadSettings(path));
}

TEST(SettingsValues, LeadingIntegerReadsAsTypedFieldsAre) {
    struct Case {
        const char* text;
        int64_t value;
    } cases[] = {
        {"12abc", 12},
        {"abc", 0},
        {"-5x", -5},
        {"  42", 42},
        {"\t+7 days", 7},
        {"", 0},
        {"- 5", 0},
        {"007", 7},
        {"99999999999999999999", std::numeric_limits<int64_t>::max()},
        {"-99999999999999999999", std::numeric_limits<int64_t>::min()},
        {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bw::leadingInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(SettingsValues, StoredDictionaryMissingKeysReadsFalseZeroAndEmpty) {
    Settings settings = settingsFromXml("<key>BWS_percent</key><integer>20</integer>");
    EXPECT_FALSE(settings.updates);
    EXPECT_FALSE(settings.menu);
    EXPECT_FALSE(settings.pass);
    EXPECT_FALSE(settings.showNotes);
    EXPECT_EQ(settings.percent, 20);
    EXPECT_FALSE(settings.dataActivation);
    EXPECT_EQ(settings.nbDays, 0);
    EXPECT_FALSE(settings.fileActivation);
    EXPECT_EQ(settings.fileSize, 0);
    EXPECT_EQ(settings.daemonMode, 0);
    EXPECT_TRUE(settings.volumes.empty());
    EXPECT_EQ(settings.cacheLifeDays(), 0);
    EXPECT_EQ(settings.maxFileSizeMB(), 0);
    EXPECT_EQ(settings.protectedFolders("/home/ann"), std::vector<std::string>{"/home/ann"});

    // Unlike a missing key, a missing dictionary means the defaults.
    TempDir home;
    std::string path = home / "com.kor.Binwarden-2.plist";
    writeFile(path, xmlPlist("<dict><key>FirstLaunch</key><integer>200</integer></dict>"));
    EXPECT_FALSE(bw::loadSettings(path));
    Settings fallback = Settings::agentFallback();
    EXPECT_TRUE(fallback.updates && fallback.menu && fallback.dataActivation && fallback.fileActivation);
    EXPECT_FALSE(fallback.pass || fallback.showNotes);
    EXPECT_EQ(fallback.percent, 15);
    EXPECT_EQ(fallback.nbDays, 3);
    EXPECT_EQ(fallback.fileSize, 700);
    EXPECT_EQ(fallback.daemonMode, 1);
    EXPECT_TRUE(fallback.volumes.empty());
    ASSERT_EQ(Settings::defaults().volumes.size(), 1u);
    EXPECT_EQ(Settings::defaults().volumes[0].path, "/");
    EXPECT_TRUE(Settings::defaults().volumes[0].isProtected);
}

TEST(SettingsValues, NumbersAndBooleansOfOtherTypesAreReadLeniently) {
    Settings settings = settingsFromXml("<key>BWS_percent</key><real>12.9</real>"
                                        "<key>BWS_nb days</key><true/>"
                                        "<key>BWS_file size</key><string>250MB</string>"
                                        "<key>BWS_daemon mode</key><integer>-2</integer>"
                                        "<key>BWS_updates</key><integer>1</integer>"
                                        "<key>BWS_menu</key><string>YES</string>"
                                        "<key>BWS_pass</key><string>no</string>"
                                        "<key>BWS_show notes</key><real>0.0</real>"
                                        "<key>BWS_data activation</key><string> +0001</string>"
                                        "<key>BWS_file activation</key><date>2026-01-01T00:00:00Z</date>");
    EXPECT_EQ(settings.percent, 12);
    EXPECT_EQ(settings.nbDays, 1);
    EXPECT_EQ(settings.fileSize, 250);
    EXPECT_EQ(settings.daemonMode, -2);
    EXPECT_TRUE(settings.updates);
    EXPECT_TRUE(settings.menu);
    EXPECT_FALSE(settings.pass);
    EXPECT_FALSE(settings.showNotes);
    EXPECT_TRUE(settings.dataActivation);
    EXPECT_FALSE(settings.fileActivation);

    PlistPtr real(plist_new_real(-1e300));
    EXPECT_EQ(bw::plistIntegerValue(real.get()), std::numeric_limits<int64_t>::min());
}

TEST(SettingsValues, RoundTripThroughBothFormatsKeepsEveryValue) {
    Settings s;
    s.updates = false;
    s.menu = false;
    s.pass = true;
    s.showNotes = true;
    s.percent = -3;
    s.dataActivation = false;
    s.nbDays = 45;
    s.fileActivation = false;
    s.fileSize = 5'000'000'000LL;
    s.daemonMode = 2;
    s.volumes = {{"/", true}, {"/media/ann/Ünïcode disk", true}, {"/mnt/off", false}};
    PlistPtr dict = s.toPlist();
    for (const std::string& data : {toBinary(dict.get()), toXml(dict.get())}) {
        PlistPtr back = parse(data);
        Settings r = Settings::fromPlist(back.get());
        EXPECT_EQ(r.updates, s.updates);
        EXPECT_EQ(r.menu, s.menu);
        EXPECT_EQ(r.pass, s.pass);
        EXPECT_EQ(r.showNotes, s.showNotes);
        EXPECT_EQ(r.percent, -3);
        EXPECT_EQ(r.dataActivation, s.dataActivation);
        EXPECT_EQ(r.nbDays, 45);
        EXPECT_EQ(r.fileActivation, s.fileActivation);
        EXPECT_EQ(r.fileSize, 5'000'000'000LL);
        EXPECT_EQ(r.daemonMode, 2);
        ASSERT_EQ(r.volumes.size(), 3u);
        EXPECT_EQ(r.volumes[1].path, "/media/ann/Ünïcode disk");
        EXPECT_FALSE(r.volumes[2].isProtected);
    }
}

TEST(SettingsValues, AgentReadsLimitsAndProtectedFolders) {
    const std::string home = "/home/ann";
    Settings s = Settings::defaults();
    EXPECT_EQ(s.cacheLifeDays(), 3);
    EXPECT_EQ(s.maxFileSizeMB(), 700);
    s.dataActivation = false;
    s.fileActivation = false;
    EXPECT_EQ(s.cacheLifeDays(), 0);
    EXPECT_EQ(s.maxFileSizeMB(), 0);

    using Folders = std::vector<std::string>;
    EXPECT_EQ(s.protectedFolders(home), Folders{home}); // "/" is the home folder, never the root
    s.volumes = {{"/", true}, {"/media/usb", true}, {"/media/off", false}, {"/media/usb", true}, {"/", true}};
    EXPECT_EQ(s.protectedFolders(home), (Folders{home, "/media/usb"}));
    s.volumes = {{"/media/off", false}};
    EXPECT_EQ(s.protectedFolders(home), Folders{home});
    s.volumes.clear();
    EXPECT_EQ(s.protectedFolders(home), Folders{home});
    s.volumes = {{"x", true}, {"", true}, {"/media/usb", true}}; // any one-character path; empty ones skipped
    EXPECT_EQ(s.protectedFolders(home), (Folders{home, "/media/usb"}));
    EXPECT_EQ(Settings::agentFallback().protectedFolders(home), Folders{home});

    // Entries that are not dictionaries are dropped; a path that is not text reads as empty.
    Settings stored = settingsFromXml("<key>BWS_volumes lists</key><array>"
                                      "<string>junk</string>"
                                      "<dict><key>BWS_volumes paths</key><integer>4</integer>"
                                      "<key>BWS_protected</key><true/></dict>"
                                      "<dict><key>BWS_volumes paths</key><string>/media/b</string>"
                                      "<key>BWS_protected</key><true/></dict>"
                                      "</array>");
    ASSERT_EQ(stored.volumes.size(), 2u);
    EXPECT_EQ(stored.protectedFolders(home), Folders{"/media/b"});
}

TEST(SettingsFilters, ReadsBothTypesAndSkipsMalformedEntries) {
    TempDir home;
    std::string path = home / "com.kor.Binwarden-2.plist";
    writeFile(path, xmlPlist("<dict><key>BWS_filters</key><array>"
                             "<dict><key>BWS_filter type</key><integer>1</integer>"
                             "<key>BWS_filter rule</key><string>draft</string></dict>"
                             "<dict><key>BWS_filter type</key><integer>2</integer>"
                             "<key>BWS_filter rule</key><string>tmp</string></dict>"
                             "<dict><key>BWS_filter type</key><integer>7</integer>"
                             "<key>BWS_filter rule</key><string>kept, matches nothing</string></dict>"
                             "<dict><key>BWS_filter type</key><real>2.0</real>"
                             "<key>BWS_filter rule</key><string>iso</string></dict>"
                             "<string>not a dictionary</string>"
                             "<dict><key>BWS_filter type</key><integer>1</integer></dict>"
                             "<dict><key>BWS_filter rule</key><string>no type</string></dict>"
                             "<dict><key>BWS_filter type</key><string>1</string>"
                             "<key>BWS_filter rule</key><string>type is text</string></dict>"
                             "<dict><key>BWS_filter type</key><integer>1</integer>"
                             "<key>BWS_filter rule</key><integer>5</integer></dict>"
                             "</array></dict>"));
    std::vector<bw::FilterEntry> filters = bw::loadFilters(path);
    ASSERT_EQ(filters.size(), 4u);
    EXPECT_EQ(filters[0].type, 1);
    EXPECT_EQ(filters[0].rule, "draft");
    EXPECT_EQ(filters[1].type, 2);
    EXPECT_EQ(filters[1].rule, "tmp");
    EXPECT_EQ(filters[2].type, 7);
    EXPECT_EQ(filters[3].type, 2);
    EXPECT_EQ(filters[3].rule, "iso");

    writeFile(path, xmlPlist("<dict><key>BWS_filters</key><string>not a list</string></dict>"));
    EXPECT_TRUE(bw::loadFilters(path).empty());

    // The filter list written by the application reads back the same, in a binary file too.
    PlistPtr root(plist_new_dict());
    plist_dict_set_item(root.get(), "BWS_filters", bw::filtersToPlist({{1, "a"}, {2, "b"}}).release());
    writeFile(path, toBinary(root.get()));
    filters = bw::loadFilters(path);
    ASSERT_EQ(filters.size(), 2u);
    EXPECT_EQ(filters[1].type, 2);
    EXPECT_EQ(filters[1].rule, "b");
}

TEST(SettingsFile, EditCreatesOrUpdatesTheWholeFile) {
    TempDir home;
    std::string path = home / "new/com.kor.Binwarden-2.plist";
    auto setLaunch = [](plist_t root) {
        plist_dict_set_item(root, "FirstLaunch", plist_new_uint(201));
        return true;
    };
    EXPECT_FALSE(bw::editSettingsFile(path, setLaunch, false));
    ASSERT_TRUE(bw::editSettingsFile(path, setLaunch, true));
    EXPECT_EQ(readFile(path).substr(0, 8), "bplist00");
    PlistPtr root = bw::readSettingsFile(path);
    ASSERT_TRUE(root);
    EXPECT_EQ(intAt(root.get(), "FirstLaunch"), 201);
    std::string before = readFile(path);
    EXPECT_FALSE(bw::editSettingsFile(
        path, [](plist_t) { return false; }, true));
    EXPECT_EQ(readFile(path), before);
}

TEST(SettingsPaths, ConfigHomeWinsWhenAbsolute) {
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/tmp/xdg-config//");
        EXPECT_EQ(bw::settingsFilePath("/home/ann"), "/tmp/xdg-config/com.kor.Binwarden-2.plist");
        EXPECT_EQ(bw::menuSettingsFilePath(), "/tmp/xdg-config/com.kor.Binwarden-2-Menu.plist");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/config");
        ScopedEnv homeEnv("HOME", "/home/bob");
        EXPECT_EQ(bw::settingsFilePath("/home/ann/"), "/home/ann/.config/com.kor.Binwarden-2.plist");
        EXPECT_EQ(bw::settingsFilePath(), "/home/bob/.config/com.kor.Binwarden-2.plist");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv homeEnv("HOME", nullptr);
        std::string path = bw::settingsFilePath();
        EXPECT_FALSE(path.empty()); // the password database's home
        EXPECT_EQ(path.substr(path.size() - 34), "/.config/com.kor.Binwarden-2.plist");
    }
}

namespace {

struct RunResult {
    int status = -1;
    std::string out;
};

// Runs bw2ctl from the build tree with the given config folder and a throw-away HOME.
RunResult runBw2ctl(const std::string& configHome, const std::string& home, std::vector<std::string> args) {
    RunResult result;
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return result;
    std::string exe = bw::test::buildDir() + "/bin/bw2ctl";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        setenv("HOME", home.c_str(), 1);
        std::vector<char*> argv{exe.data()};
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        result.out.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace

TEST(SettingsCli, ShowPrintsTheFileWithDefaultsApplied) {
    TempDir home;
    std::string config = home / ".config";
    RunResult missing = runBw2ctl(config, home.path(), {"settings", "show"});
    ASSERT_EQ(missing.status, 0) << missing.out;
    EXPECT_NE(missing.out.find("\"Binwarden Settings\": {"), std::string::npos) << missing.out;
    EXPECT_NE(missing.out.find("\"BWS_percent\": 15,"), std::string::npos);
    EXPECT_NE(missing.out.find("\"BWS_file size\": 700,"), std::string::npos);
    EXPECT_NE(missing.out.find("{\"BWS_volumes paths\": \"/\", \"BWS_protected\": true}"), std::string::npos);
    EXPECT_EQ(missing.out.find("BWS_filters"), std::string::npos);
    EXPECT_EQ(missing.out.find("BWProtectionStatusOnStart"), std::string::npos);

    bw::test::makeDirs(config);
    std::string path = config + "/com.kor.Binwarden-2.plist";
    writeFile(path, xmlPlist("<dict><key>Binwarden Settings</key><dict>"
                             "<key>BWS_nb days</key><integer>9</integer></dict>"
                             "<key>BWS_filters</key><array><dict><key>BWS_filter type</key><integer>2</integer>"
                             "<key>BWS_filter rule</key><string>a\"b\\c&#9;</string></dict>"
                             "<dict><key>BWS_filter type</key><integer>1</integer>"
                             "<key>BWS_filter rule</key><string>caf\xc3\xa9 \xff</string></dict></array>"
                             "<key>BWProtectionStatusOnStart</key><true/></dict>"));
    RunResult stored = runBw2ctl(config, home.path(), {"settings", "show"});
    ASSERT_EQ(stored.status, 0) << stored.out;
    EXPECT_NE(stored.out.find("\"BWS_nb days\": 9,"), std::string::npos) << stored.out;
    EXPECT_NE(stored.out.find("\"BWS_updates\": false,"), std::string::npos); // missing key reads false
    EXPECT_NE(stored.out.find("\"BWS_volumes lists\": []"), std::string::npos);
    EXPECT_NE(stored.out.find("{\"BWS_filter type\": 2, \"BWS_filter rule\": \"a\\\"b\\\\c\\t\"}"), std::string::npos);
    EXPECT_NE(stored.out.find("\"BWS_filter rule\": \"caf\xc3\xa9 \\ufffd\"}"), std::string::npos);
    EXPECT_NE(stored.out.find("\"BWProtectionStatusOnStart\": true\n}"), std::string::npos);

    RunResult where = runBw2ctl(config, home.path(), {"settings", "path"});
    EXPECT_EQ(where.out, path + "\n");
    RunResult help = runBw2ctl(config, home.path(), {"settings", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: bw2ctl settings show"), std::string::npos);
    EXPECT_EQ(runBw2ctl(config, home.path(), {"settings", "bogus"}).status, 2);
}
