// The main application's plain logic: version numbers, size texts, window frames, the volume table's
// rows, the settings form, the filter list, the defaults store, the cache-size worker and the strings.

#include "app_strings.h"
#include "app_version.h"
#include "cache_size_worker.h"
#include "defaults_store.h"
#include "filter_list.h"
#include "infos_texts.h"
#include "settings_form.h"
#include "temp_dir.h"
#include "volume_family.h"
#include "volume_rows.h"
#include "window_frames.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>

using namespace bw;
using bw::test::TempDir;
namespace fs = std::filesystem;

TEST(AppVersion, TurnsTheBundleVersionIntoOneNumber) {
    struct Case {
        const char* version;
        std::int64_t number;
    } cases[] = {
        {"2.1.3b4", 201034},  {"2.1", 201000000},        {"2", 200000000},
        {"2.0.0", 200000000}, {"10.12.1", 1012010000},   {"1.2.3.4", 0},
        {"2.1b", 20100},      {"2.1.3b0012", 201030012}, {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(appVersionNumber(c.version), c.number) << c.version;
    EXPECT_GT(APPVersion(), 0);
}

TEST(InfosTexts, CacheSizeUsesTheGenericByteFormatThenOneDecimal) {
    struct Case {
        std::uint64_t bytes;
        char separator;
        const char* text;
    } cases[] = {
        {0, '.', "0 bytes"},         {1000, '.', "1000 bytes"},   {1001, '.', "1.1 KB"},
        {999949, '.', "1000 KB"},    {1500000, ',', "1,5 MB"},    {2000000, '.', "2 MB"},
        {1500000000, '.', "1.5 GB"}, {1500000000, ',', "1,5 GB"}, {1000000000, '.', "1000 MB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(infosCacheSizeText(c.bytes, c.separator), c.text) << c.bytes;
    EXPECT_EQ(infosDisksText(2), "2");
}

TEST(WindowFrames, StoredAsTextAndPlacedAtTheTopEdge) {
    FrameRect frame{120, 80, 640, 480};
    EXPECT_EQ(frameToString(frame), "{{120, 80}, {640, 480}}");
    EXPECT_EQ(frameFromString(frameToString(frame)), frame);
    struct Case {
        const char* text;
        std::optional<FrameRect> frame;
    } cases[] = {
        {"{{-10, 5}, {300, 200}}", FrameRect{-10, 5, 300, 200}},
        {"{{1.6, 2}, {300.9, 200}}", FrameRect{1, 2, 300, 200}},
        {"", std::nullopt},
        {"garbage", std::nullopt},
        {"{{1, 2}}", std::nullopt},              // no size
        {"{{1, 2}, {0, 200}}", std::nullopt},    // empty width
        {"{{1, 2}, {1e300, 200}}", std::nullopt} // absurd numbers
    };
    for (const auto& c : cases)
        EXPECT_EQ(frameFromString(c.text), c.frame) << c.text;
    EXPECT_EQ(frameWithSavedSize({10, 20, 500, 400}, {900, 900, 700, 600}), (FrameRect{10, 20, 700, 600}));
    EXPECT_EQ(frameAtMinimum({10, 20, 700, 600}, 480, 360), (FrameRect{10, 20, 480, 360}));
    EXPECT_EQ(savedFrameKey(kTabInformation), "");
    EXPECT_EQ(savedFrameKey(kTabSettings), "NSWindow settings frame");
    EXPECT_EQ(savedFrameKey(kTabRecovery), "NSWindow recovery frame");
    EXPECT_EQ(savedFrameKey(kTabAdvanced), "NSWindow advanced frame");
}

TEST(VolumeRows, ListsQualifyingVolumesAndKeepsUnpluggedProtectedOnes) {
    TempDir media("bw2media");
    for (const char* name : {"Photos", "Archive", "EDRIVE", "eDrive", "Backup", "Camera", "Music"})
        bw::test::makeDirs(media / name);
    bw::test::makeDirs(media / "Backup/Backups.backupdb");
    // A fake mount table: Camera is a FAT card (no POSIX owners); the others are ext4 or btrfs.
    std::vector<MountEntry> table = {{"/", "ext4", "/dev/sda1"},
                                     {media / "Photos", "ext4", "/dev/sdb1"},
                                     {media / "Archive", "btrfs", "/dev/sdc1"},
                                     {media / "EDRIVE", "ext4", "/dev/sdd1"},
                                     {media / "eDrive", "xfs", "/dev/sdd2"},
                                     {media / "Backup", "ext4", "/dev/sde1"},
                                     {media / "Camera", "vfat", "/dev/sdf1"}};
    VolumeChecks checks = VolumeChecks::system();
    checks.qualifies = [&](const std::string& path) { return isVolumeHFS(path, table) && !isTimeMachineVolume(path); };
    std::vector<std::string> mounted;
    for (const auto& entry : table)
        mounted.push_back(entry.mountPoint);

    struct Case {
        const char* what;
        std::vector<VolumeEntry> stored;
        std::vector<VolumeEntry> rows;
    } cases[] = {
        {"nothing stored", {{"/", true}}, {{"/", true}, {media / "Archive", false}, {media / "Photos", false}}},
        {"a stored volume keeps its box",
         {{"/", true}, {media / "Photos", true}},
         {{"/", true}, {media / "Archive", false}, {media / "Photos", true}}},
        {"an unplugged protected volume stays listed, sorted by name",
         {{"/", true}, {"/media/u/Blue Disk", true}, {media / "Archive", true}},
         {{"/", true}, {media / "Archive", true}, {"/media/u/Blue Disk", true}, {media / "Photos", false}}},
        {"a stored volume that no longer qualifies is dropped",
         {{"/", true}, {media / "Camera", true}, {media / "Backup", true}, {media / "eDrive", true}},
         {{"/", true}, {media / "Archive", false}, {media / "Photos", false}}},
        {"no stored list at all still gives the home trash row first",
         {},
         {{"/", true}, {media / "Archive", false}, {media / "Photos", false}}},
    };
    for (const auto& c : cases) {
        auto rows = protectedVolumeRows(mounted, c.stored, checks);
        ASSERT_EQ(rows.size(), c.rows.size()) << c.what;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].path, c.rows[i].path) << c.what << " row " << i;
            EXPECT_EQ(rows[i].isProtected, c.rows[i].isProtected) << c.what << " row " << i;
        }
    }
    EXPECT_EQ(volumeRowName({"/", true}, "Home Trash"), "Home Trash");
    EXPECT_EQ(volumeRowName({"/media/u/Photos/", true}, "Home Trash"), "Photos");
    EXPECT_FALSE(isPosixOwnershipFileSystem("vfat"));
    EXPECT_TRUE(isPosixOwnershipFileSystem("btrfs"));
}

TEST(SettingsForm, DetectsChangesAndBuildsTheSavedDictionary) {
    Settings stored = Settings::defaults();
    SettingsForm loaded = formFromSettings(stored, false);
    EXPECT_FALSE(formDiffersFrom(loaded, stored));
    // The keychain, not the stored flag, decides the password box.
    EXPECT_TRUE(formFromSettings(stored, true).pass);

    struct Change {
        const char* what;
        void (*edit)(SettingsForm&);
        bool differs;
    } changes[] = {
        {"updates", [](SettingsForm& f) { f.updates = false; }, true},
        {"menu", [](SettingsForm& f) { f.menu = false; }, true},
        {"password", [](SettingsForm& f) { f.pass = true; }, true},
        {"notes", [](SettingsForm& f) { f.showNotes = true; }, true},
        {"percent", [](SettingsForm& f) { f.percentText = "20"; }, true},
        {"percent with letters after the same digits", [](SettingsForm& f) { f.percentText = "15%"; }, false},
        {"age limit", [](SettingsForm& f) { f.dataActivation = false; }, true},
        {"days", [](SettingsForm& f) { f.nbDaysText = "7"; }, true},
        {"size limit", [](SettingsForm& f) { f.fileActivation = false; }, true},
        {"size", [](SettingsForm& f) { f.fileSizeText = "abc"; }, true},
        {"mode", [](SettingsForm& f) { f.modeTag = 2; }, true},
    };
    for (const auto& c : changes) {
        SettingsForm form = loaded;
        c.edit(form);
        EXPECT_EQ(formDiffersFrom(form, stored), c.differs) << c.what;
    }

    SettingsForm form = loaded;
    form.fileSizeText = "250MB";
    form.nbDaysText = "days";
    form.modeTag = -1; // no cell selected
    Settings saved = settingsFromForm(form, {{"/", true}, {"/media/u/A", false}, {"/media/u/B", true}});
    EXPECT_EQ(saved.fileSize, 250);
    EXPECT_EQ(saved.nbDays, 0);
    EXPECT_EQ(saved.daemonMode, 2);
    ASSERT_EQ(saved.volumes.size(), 2u);
    EXPECT_EQ(saved.volumes[0].path, "/");
    EXPECT_EQ(saved.volumes[1].path, "/media/u/B");

    struct Decision {
        bool filters, differs, force;
        SaveButtonsChange change;
    } decisions[] = {
        {true, false, false, SaveButtonsChange::Enable}, {false, true, false, SaveButtonsChange::Enable},
        {false, false, true, SaveButtonsChange::Keep},   {false, false, false, SaveButtonsChange::Disable},
        {true, true, true, SaveButtonsChange::Enable},
    };
    for (const auto& d : decisions)
        EXPECT_EQ(saveButtonsChange(d.filters, d.differs, d.force), d.change) << d.filters << d.differs << d.force;
}

TEST(FilterList, ExtensionRulesNeverKeepADot) {
    FilterList list;
    EXPECT_FALSE(list.wasModified());
    list.addFilter();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.filters()[0].type, 1);
    EXPECT_EQ(list.filters()[0].rule, "");
    EXPECT_TRUE(list.wasModified());

    struct Step {
        const char* what;
        int typeIndex;     // -1: type unchanged
        const char* typed; // nullptr: rule unchanged
        std::int64_t type;
        const char* rule;
    } steps[] = {
        {"a name fragment keeps its dots", -1, "draft.v2", 1, "draft.v2"},
        {"switching to the extension type removes them", 1, nullptr, 2, "draftv2"},
        {"an extension typed with a leading dot", -1, ".tmp", 2, "tmp"},
        {"two extensions joined by a dot", -1, "tar.gz", 2, "targz"},
        {"back to a name fragment keeps the dot-less rule", 0, nullptr, 1, "targz"},
        {"a fragment typed again keeps its dots", -1, "a.b", 1, "a.b"},
    };
    for (const auto& s : steps) {
        if (s.typeIndex >= 0)
            list.setTypeIndex(0, s.typeIndex);
        if (s.typed)
            list.setRule(0, s.typed);
        EXPECT_EQ(list.filters()[0].type, s.type) << s.what;
        EXPECT_EQ(list.filters()[0].rule, s.rule) << s.what;
    }

    FilterList many({{1, "a"}, {2, "b"}, {1, "c"}, {2, "d"}});
    many.removeFilters({0, 2, 17});
    ASSERT_EQ(many.size(), 2u);
    EXPECT_EQ(many.filters()[0].rule, "b");
    EXPECT_EQ(many.filters()[1].rule, "d");
    EXPECT_TRUE(many.wasModified());
}

TEST(DefaultsStore, KeepsOtherKeysAndStandsInWithDefaults) {
    TempDir home("bw2app");
    DefaultsStore store(home / ".config/com.kor.Binwarden-2.plist");
    EXPECT_FALSE(store.fileExists());
    EXPECT_EQ(store.settings().fileSize, 700);
    EXPECT_TRUE(store.filters().empty());
    EXPECT_FALSE(store.integerValue(kFirstLaunchKey));

    ASSERT_TRUE(store.registerDefaults());
    ASSERT_TRUE(writeProtectionStatusOnStart(store.path(), true));
    Settings changed = Settings::defaults();
    changed.fileSize = 250;
    changed.volumes = {{"/", true}, {"/media/u/Photos", true}};
    ASSERT_TRUE(store.storeSettings(changed, {{2, "tmp"}}));
    ASSERT_TRUE(store.setString("NSWindow settings frame", "{{1, 2}, {600, 500}}"));
    ASSERT_TRUE(store.setInteger(kFirstLaunchKey, 201034));

    EXPECT_TRUE(readProtectionStatusOnStart(store.path())); // the agent's key survived every write
    EXPECT_EQ(store.settings().fileSize, 250);
    EXPECT_EQ(store.settings().volumes.size(), 2u);
    ASSERT_EQ(store.filters().size(), 1u);
    EXPECT_EQ(store.filters()[0].rule, "tmp");
    EXPECT_EQ(store.stringValue("NSWindow settings frame"), "{{1, 2}, {600, 500}}");
    EXPECT_EQ(store.integerValue(kFirstLaunchKey), 201034);
    EXPECT_FALSE(store.stringValue(kFirstLaunchKey)); // an integer is no text
}

TEST(CacheSizeWorker, AddsUpTheFoldersOffTheCallingThread) {
    TempDir caches("bw2caches");
    bw::test::makeDirs(caches / "a/batch");
    bw::test::writeFile(caches / "a/batch/one", std::string(1500, 'x'));
    bw::test::makeDirs(caches / "b/batch/deeper");
    bw::test::writeFile(caches / "b/batch/deeper/two", std::string(2500, 'y'));
    ASSERT_EQ(symlink("/usr", (caches / "b/link").c_str()), 0); // a link counts as itself, not its target

    std::mutex mutex;
    std::condition_variable done;
    std::vector<std::uint64_t> totals;
    std::set<std::thread::id> threads;
    {
        CacheSizeWorker worker([&](std::uint64_t total) {
            std::lock_guard lock(mutex);
            totals.push_back(total);
            threads.insert(std::this_thread::get_id());
            done.notify_all();
        });
        worker.request({caches / "a", caches / "b", caches / "missing"});
        std::unique_lock lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(10), [&] { return !totals.empty(); }));
    }
    EXPECT_EQ(totals.front(), 1500u + 2500u + fs::read_symlink(caches / "b/link").string().size());
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST(AppStrings, EveryKeyTheProgramUsesHasAText) {
    std::set<std::string> used;
    std::regex key("\"(20[01]_[^\"]+)\"");
    for (const auto& entry : fs::recursive_directory_iterator(bw::test::sourceDir() + "/app")) {
        if (entry.path().extension() != ".cpp" || entry.path().filename() == "strings_en.cpp")
            continue;
        std::ifstream in(entry.path());
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (std::sregex_iterator it(content.begin(), content.end(), key), end; it != end; ++it)
            used.insert((*it)[1].str());
    }
    EXPECT_GT(used.size(), 30u);
    for (const auto& k : used)
        EXPECT_NE(appString(k), k) << "no text for " << k;
    EXPECT_EQ(appString("200_No such key"), "200_No such key");
}
