// The real bw2daemon against a temporary home: survey rules, both modes, requests and endings.

#include "store/added_list.h"
#include "daemon_e2e_fixture.h"
#include "settings/settings.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <functional>
#include <regex>
#include <set>

namespace bw::test {

namespace {

void writeFilters(const std::string& path, const std::vector<std::pair<int, std::string>>& filters) {
    plist_t root = plist_new_dict();
    plist_t list = plist_new_array();
    for (auto& [type, rule] : filters) {
        plist_t f = plist_new_dict();
        plist_dict_set_item(f, "BWS_filter type", plist_new_uint(static_cast<uint64_t>(type)));
        plist_dict_set_item(f, "BWS_filter rule", plist_new_string(rule.c_str()));
        plist_array_append_item(list, f);
    }
    plist_dict_set_item(root, "BWS_filters", list);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    writeFile(path, std::string(xml, length));
    free(xml);
    plist_free(root);
}

std::set<std::string> names(const std::map<std::string, std::string>& entries) {
    std::set<std::string> out;
    for (auto& [stored, name] : entries)
        out.insert(name);
    return out;
}

} // namespace

TEST(DaemonCommandLine, WrongArgumentCountsPrintTheCountAndExitZero) {
    TempDir tmp("bw2args");
    for (int count : {7, 9, 0}) {
        std::vector<std::string> args;
        for (int i = 0; i < count; ++i)
            args.push_back("1");
        DaemonProcess p = DaemonProcess::start(args, {}, tmp / "err");
        EXPECT_EQ(std::optional<int>(0), p.waitExit(10));
        EXPECT_NE(
            std::string::npos,
            readFile(tmp / "err").find("binwardenDaemon: Wrong number of args!(" + std::to_string(count + 1) + ")\n"));
    }
}

TEST_F(DaemonE2E, MoveModeStoresNewItemsAndRemovesTheirTrashRecords) {
    trashFile("report.txt", "quarterly");
    makeDirs(trash + "Photos/2026");
    writeFile(trash + "Photos/2026/a.jpg", std::string(3000, 'j'));
    writeInfo("Photos");
    trashFile(".DS_Store", "ds");
    makeDirs(trash + "Binwarden 2.app/Contents");
    writeInfo("Binwarden 2.app");
    makeDirs(trash + "My Binwarden.app");
    writeInfo("My Binwarden.app");
    trashFile("Binwarden notes.txt", "n");

    DaemonProcess daemon = startAndWait(1);
    auto silent = recorder.named(notif::kCacheUpdateSilent);
    ASSERT_EQ(1u, silent.size());
    EXPECT_EQ(cache, silent[0].stringInfo["cachePathKey"]);
    EXPECT_FALSE(silent[0].object);

    ASSERT_TRUE(recorder.waitFor(notif::kNewDataInCache, 10)) << log();
    auto news = recorder.named(notif::kNewDataInCache);
    EXPECT_EQ(cache, news[0].stringInfo["cachePathKey"]);
    EXPECT_EQ(4, news[0].numberInfo["itemsMovedToCache"]);
    EXPECT_FALSE(news[0].object);

    auto stored = entries();
    EXPECT_EQ((std::set<std::string>{"report.txt", "Photos", "My Binwarden.app", "Binwarden notes.txt"}),
              names(stored));
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    for (auto& [path, name] : stored) {
        EXPECT_TRUE(std::regex_match(fs::path(path).filename().string(), uuid)) << path;
        EXPECT_TRUE(fs::exists(path)) << path;
    }
    EXPECT_EQ("quarterly", readFile(storedNamesFor("report.txt").at(0)));
    EXPECT_EQ(std::string(3000, 'j'), readFile(storedNamesFor("Photos").at(0) + "/2026/a.jpg"));

    // The trash keeps only what is never cached; the moved items' records are gone.
    EXPECT_TRUE(fs::exists(trash + ".DS_Store"));
    EXPECT_TRUE(fs::exists(trash + "Binwarden 2.app"));
    EXPECT_EQ(2u, trashCount());
    EXPECT_FALSE(fs::exists(info + "report.txt.trashinfo"));
    EXPECT_FALSE(fs::exists(info + "Photos.trashinfo"));
    EXPECT_TRUE(fs::exists(info + ".DS_Store.trashinfo"));

    auto batches = batchFolders();
    ASSERT_EQ(1u, batches.size());
    EXPECT_TRUE(std::regex_match(fs::path(batches[0]).filename().string(),
                                 std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}_\d{2} [+-]\d{4})")));
    struct stat st;
    ASSERT_EQ(0, stat(batches[0].c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_EQ(getuid(), st.st_uid);
    std::optional<BWCacheIndex> index = readCacheIndex(batches[0]);
    ASSERT_TRUE(index);
    EXPECT_EQ(9u + 3000u + 1u, index->cacheSize());
    EXPECT_FALSE(index->permissionsRepaired());
    EXPECT_GT(index->cacheLastAdditionTime(), 0);

    quit(daemon);
    EXPECT_TRUE(recorder.waitFor(notif::kDaemonQuits, 3));
}

TEST_F(DaemonE2E, ATrashHoldingOnlyDSStoreStartsNoTransfer) {
    trashFile(".DS_Store", "ds");
    DaemonProcess daemon = startAndWait(1);
    recorder.pump(2.5);
    EXPECT_TRUE(fs::is_directory(cache)) << "the daemon makes its cache folder";
    EXPECT_TRUE(batchFolders().empty());
    EXPECT_TRUE(recorder.named(notif::kNewDataInCache).empty());
    quit(daemon);
}

TEST_F(DaemonE2E, FiltersOfBothTypesAndTheSizeLimitKeepItemsInTheTrash) {
    writeFilters(config + "/" + kSettingsFileName, {{1, "Draft"}, {2, "BAK"}, {7, "keep"}});
    trashFile("my draft.txt", "d");
    makeDirs(trash + "DRAFTS");
    trashFile("a.bak", "b");
    trashFile("bak.txt", "t");
    trashFile("keep.txt", "k");
    // Size limit of 1 megabyte: 1,999,999 bytes pass, 2,000,000 do not; folders are never measured.
    trashFile("small", "");
    fs::resize_file(trash + "small", 1999999);
    trashFile("big", "");
    fs::resize_file(trash + "big", 2000000);
    makeDirs(trash + "tree");
    writeFile(trash + "tree/huge", "");
    fs::resize_file(trash + "tree/huge", 3000000);

    DaemonProcess daemon = startAndWait(1, 1);
    ASSERT_TRUE(recorder.waitFor(notif::kNewDataInCache, 10)) << log();
    EXPECT_EQ((std::set<std::string>{"bak.txt", "keep.txt", "small", "tree"}), names(entries()));
    for (const char* stays : {"my draft.txt", "DRAFTS", "a.bak", "big"})
        EXPECT_TRUE(fs::exists(trash + stays)) << stays;
    EXPECT_EQ(4, recorder.named(notif::kNewDataInCache)[0].numberInfo["itemsMovedToCache"]);
    quit(daemon);
}

TEST_F(DaemonE2E, CopyModeCopiesOnceAndAgainAfterAChange) {
    trashFile("a.txt", "first");
    DaemonProcess daemon = startAndWait(2);
    ASSERT_TRUE(recorder.waitFor(notif::kNewDataInCache, 10)) << log();
    EXPECT_EQ(1, recorder.named(notif::kNewDataInCache)[0].numberInfo["itemsMovedToCache"]);
    EXPECT_TRUE(fs::exists(trash + "a.txt")) << "copy mode leaves the trash as it is";
    EXPECT_TRUE(fs::exists(info + "a.txt.trashinfo"));
    ASSERT_EQ(1u, storedNamesFor("a.txt").size());
    const std::string first = storedNamesFor("a.txt")[0];
    EXPECT_EQ("first", readFile(first));

    // Later surveys see the same item and copy nothing, announcing nothing.
    recorder.pump(2.5);
    EXPECT_EQ(1u, recorder.named(notif::kNewDataInCache).size());
    EXPECT_EQ(1u, storedNamesFor("a.txt").size());

    // A changed modification date makes it a new item.
    writeFile(trash + "a.txt", "second");
    struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 60, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (trash + "a.txt").c_str(), times, 0));
    ASSERT_TRUE(eventually(
        [&] {
            recorder.pump(0.05);
            return recorder.named(notif::kNewDataInCache).size() >= 2;
        },
        10));
    auto copies = storedNamesFor("a.txt");
    ASSERT_EQ(2u, copies.size());
    EXPECT_EQ("first", readFile(first));
    const std::string second = copies[0] == first ? copies[1] : copies[0];
    EXPECT_EQ("second", readFile(second));

    quit(daemon);
    // Quitting writes the added list with both keys.
    AddedList known = loadAddedList(cache);
    EXPECT_EQ(2u, known.size());
}

TEST_F(DaemonE2E, CopyModeKeepsAFolderWhoseSocketIsLeftOut) {
    // A trashed folder holding a socket (a program's leftover) is still kept, without the socket.
    makeDirs(trash + "project");
    writeFile(trash + "project/notes.txt", "notes");
    writeInfo("project");
    const std::string socketPath = trash + "project/agent.sock";
    makeUnixSocket(socketPath);

    DaemonProcess daemon = startAndWait(2);
    ASSERT_TRUE(recorder.waitFor(notif::kNewDataInCache, 10)) << log();
    const std::vector<std::string> stored = storedNamesFor("project");
    ASSERT_EQ(1u, stored.size()) << log();
    EXPECT_EQ("notes", readFile(stored[0] + "/notes.txt"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(stored[0] + "/agent.sock")));
    EXPECT_TRUE(fs::exists(fs::symlink_status(socketPath))) << "copy mode leaves the trash as it is";
    quit(daemon);
}

TEST_F(DaemonE2E, MoveModeWithOneFailingItemKeepsItAndAnnouncesNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make one item immovable";
    trashFile("one", "1");
    trashFile("locked", "L");
    trashFile("three", "3");
    if (!setImmutable(trash + "locked", true))
        GTEST_SKIP() << "no immutable flag on this file system";
    DaemonProcess daemon = startAndWait(1);
    const bool moved = eventually([&] { return trashCount() == 1; }, 10);
    recorder.pump(1.5);
    setImmutable(trash + "locked", false);
    ASSERT_TRUE(moved) << log();
    EXPECT_EQ((std::set<std::string>{"one", "three"}), names(entries()));
    EXPECT_TRUE(recorder.named(notif::kNewDataInCache).empty());
    EXPECT_TRUE(fs::exists(info + "locked.trashinfo"));
    EXPECT_FALSE(fs::exists(info + "one.trashinfo"));
    const std::string text = log();
    EXPECT_NE(std::string::npos, text.find("-[Daemon moveDataFromTrashToCache:]: Error reported: "));
    EXPECT_NE(std::string::npos, text.find(" Trying to move " + trash + "locked in " + cache + "/"));
    quit(daemon);
}

TEST_F(DaemonE2E, RunningModeThreeMakesTheBatchFolderAndTransfersNothing) {
    trashFile("stay.txt", "s");
    DaemonProcess daemon = startAndWait(3);
    ASSERT_TRUE(eventually([&] { return !batchFolders().empty(); }, 10));
    recorder.pump(1.2);
    EXPECT_TRUE(fs::exists(trash + "stay.txt"));
    EXPECT_TRUE(entries().empty());
    EXPECT_FALSE(fs::exists(batchFolders()[0] + "/" + kCacheIndexFileName));
    EXPECT_TRUE(recorder.named(notif::kNewDataInCache).empty());
    quit(daemon);
}

TEST_F(DaemonE2E, AFullDiskEndsTheDaemonBeforeAnythingMoves) {
    trashFile("x.txt", "x");
    DaemonProcess daemon = startAndWait(1, 0, 100);
    ASSERT_TRUE(recorder.waitFor(notif::kDiskFull, 10)) << log();
    auto full = recorder.named(notif::kDiskFull);
    EXPECT_EQ(std::optional<std::string>(cache), full[0].object);
    EXPECT_FALSE(full[0].hasInfo);
    EXPECT_EQ(std::optional<int>(0), daemon.waitExit(5));
    EXPECT_TRUE(fs::exists(trash + "x.txt"));
    EXPECT_TRUE(entries().empty());
    EXPECT_TRUE(recorder.named(notif::kNewDataInCache).empty());
}

// Noticed from the folder's own news, or by the forced one-second survey.
TEST_F(DaemonE2E, AVanishedTrashEndsTheDaemon) {
    struct Vanishing {
        const char* what;
        std::function<void()> make;
    };
    const std::vector<Vanishing> ways{
        {"the trash removed", [&] { fs::remove_all(data + "/Trash"); }},
        {"its folder moved away", [&] { fs::rename(data + "/Trash/files", data + "/Trash/files.old"); }},
    };
    for (bool poll : {false, true}) {
        for (const Vanishing& way : ways) {
            SCOPED_TRACE(std::string(way.what) + (poll ? ", one-second survey forced" : ", surveys on events"));
            pollSurveys = poll;
            makeDirs(trash);
            makeDirs(info);
            const std::size_t quits = recorder.named(notif::kDaemonQuits).size();
            DaemonProcess daemon = startAndWait(1);
            recorder.pump(1.2);
            way.make();
            ASSERT_TRUE(recorder.waitForCount(notif::kDaemonQuits, quits + 1, 5)) << log();
            EXPECT_TRUE(daemon.running()) << "it waits two seconds before ending";
            EXPECT_EQ(std::optional<int>(0), daemon.waitExit(5));
            fs::remove_all(data + "/Trash");
        }
    }
}

TEST_F(DaemonE2E, StopEndsTheSurveysAndQuitEndsTheProcess) {
    DaemonProcess daemon = startAndWait(1);
    const std::string me = std::to_string(getuid());
    recorder.post(notif::kDaemonsMustStop, me);
    ASSERT_TRUE(eventually([&] { return fs::exists(cache + "/" + kAddedListFileName); }, 5))
        << "a stop request writes the added list";
    trashFile("late.txt", "l");
    recorder.pump(2.5);
    EXPECT_TRUE(fs::exists(trash + "late.txt")) << "no survey after a stop request";
    EXPECT_TRUE(daemon.running());
    EXPECT_TRUE(recorder.named(notif::kDaemonQuits).empty());

    recorder.post(notif::kDaemonsMustQuit, me);
    EXPECT_TRUE(recorder.waitFor(notif::kDaemonQuits, 5));
    EXPECT_EQ(std::optional<int>(0), daemon.waitExit(5));
}

TEST_F(DaemonE2E, OneDaemonPerTrashAndASuccessorTakesOverFromOneThatQuits) {
    DaemonProcess first = startAndWait(1);
    // A second launch for the same trash gives up after its short wait; the first keeps protecting.
    DaemonProcess second = start(1);
    EXPECT_EQ(std::optional<int>(0), second.waitExit(15));
    EXPECT_TRUE(first.running());

    // A restart: the successor is launched while its predecessor is still quitting, and takes over.
    const std::size_t started = recorder.named(notif::kCacheUpdateSilent).size();
    first.signal(SIGTERM);
    DaemonProcess successor = start(1);
    EXPECT_EQ(std::optional<int>(0), first.waitExit(10));
    ASSERT_TRUE(recorder.waitForCount(notif::kCacheUpdateSilent, started + 1, 15)) << log();
    trashFile("after-restart.txt", "r");
    ASSERT_TRUE(eventually([&] { return storedNamesFor("after-restart.txt").size() == 1; }, 10)) << log();
    quit(successor);
}

TEST_F(DaemonE2E, RequestsForAnotherUserAreIgnored) {
    DaemonProcess daemon = startAndWait(1);
    const std::string other = std::to_string(getuid() + 4242);
    recorder.post(notif::kDaemonsMustStop, other);
    recorder.post(notif::kDaemonsMustQuit, other);
    recorder.post(notif::kDaemonsMustQuit, std::nullopt);
    trashFile("moved.txt", "m");
    ASSERT_TRUE(recorder.waitFor(notif::kNewDataInCache, 10)) << log();
    EXPECT_TRUE(daemon.running());
    EXPECT_TRUE(recorder.named(notif::kDaemonQuits).empty());
    EXPECT_FALSE(fs::exists(cache + "/" + kAddedListFileName));
    quit(daemon);
}

TEST_F(DaemonE2E, SigtermIsAQuitRequest) {
    DaemonProcess daemon = startAndWait(2);
    daemon.signal(SIGTERM);
    EXPECT_TRUE(recorder.waitFor(notif::kDaemonQuits, 5));
    EXPECT_EQ(std::optional<int>(0), daemon.waitExit(5));
    EXPECT_TRUE(fs::exists(cache + "/" + kAddedListFileName));
}

} // namespace bw::test
