// The real bw2daemon: the trash record's original path reaches the index, hostile records store
// nothing, and a deletion racing a transfer into the same batch loses no entry.

#include "cache_item_removal.h"
#include "daemon_e2e_fixture.h"
#include "recovery_list.h"

#include <atomic>
#include <set>
#include <thread>

namespace bw::test {

namespace {

constexpr int kMoveMode = 1;
constexpr int kCopyMode = 2;

std::map<std::string, std::optional<std::string>> originalPathsByName(const std::string& cache) {
    std::map<std::string, std::optional<std::string>> out;
    for (const RecoveryItem& item : getCacheContent(cache, 0.0))
        out[item.displayName] = item.originalPath;
    return out;
}

class RecoveryDaemonE2E : public DaemonE2E {
protected:
    void trashWithRecord(const std::string& name, const std::string& pathLine) {
        writeFile(trash + name, "content of " + name);
        writeFile(info + name + ".trashinfo", "[Trash Info]\n" + pathLine + "\nDeletionDate=2026-12-06T09:05:00\n");
    }
};

TEST_F(RecoveryDaemonE2E, MoveModeStoresTheRecordedPathAndHostileRecordsStoreNothing) {
    const std::string docs = home + "/Documents/Later removed";
    trashWithRecord("good.txt", "Path=" + docs + "/good.txt");
    trashWithRecord("dotdot.txt", "Path=/home/u/../../etc/dotdot.txt");
    trashWithRecord("notutf8.txt", "Path=/home/u/%FF.txt");
    trashWithRecord("relative.txt", "Path=Documents/relative.txt");
    trashWithRecord("long.txt", "Path=/" + std::string(100 * 1024, 'a'));
    writeFile(trash + "norecord.txt", "no record");

    DaemonProcess daemon = startAndWait(kMoveMode);
    ASSERT_TRUE(eventually([&] { return trashCount() == 0 && entries().size() == 6; }, 15)) << log();
    const auto paths = originalPathsByName(cache);
    ASSERT_EQ(paths.size(), 6u);
    EXPECT_EQ(paths.at("good.txt"), std::optional<std::string>(docs + "/good.txt"));
    for (const char* hostile : {"dotdot.txt", "notutf8.txt", "relative.txt", "long.txt", "norecord.txt"})
        EXPECT_FALSE(paths.at(hostile)) << hostile;
    // The records left with their items.
    EXPECT_FALSE(fs::exists(info + "good.txt.trashinfo"));
    quit(daemon);

    // The trash is empty now; the item goes back where it came from, its folder made again.
    const std::string command = "HOME='" + home + "' DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent '" + buildDir() +
                                "/bin/bw2ctl' restore good.txt >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile(docs + "/good.txt"), "content of good.txt");
}

TEST_F(RecoveryDaemonE2E, CopyModeReadsTheRecordWithoutTouchingIt) {
    trashWithRecord("copied.txt", "Path=/home/u/copied.txt");
    DaemonProcess daemon = startAndWait(kCopyMode);
    ASSERT_TRUE(eventually([&] { return storedNamesFor("copied.txt").size() == 1; }, 15)) << log();
    EXPECT_EQ(originalPathsByName(cache).at("copied.txt"), std::optional<std::string>("/home/u/copied.txt"));
    EXPECT_TRUE(fs::exists(info + "copied.txt.trashinfo"));
    EXPECT_TRUE(fs::exists(trash + "copied.txt"));
    quit(daemon);
}

TEST_F(RecoveryDaemonE2E, DeletionRacingATransferLosesNoEntry) {
    DaemonProcess daemon = DaemonE2E::start(kMoveMode, 0, 0, std::to_string(getuid()), "1");
    constexpr int kRounds = 40;
    std::atomic<bool> trashing{true};
    std::set<std::string> deleted; // the deleter's own
    std::thread deleter([&] {
        // Deletes every "del-" item as soon as it is listed, while the daemon keeps adding to the batch.
        for (;;) {
            std::vector<RecoveryItem> doomed;
            for (const RecoveryItem& item : getCacheContent(cache, 0.0))
                if (item.displayName.rfind("del-", 0) == 0)
                    doomed.push_back(item);
            const std::vector<RemovalOutcome> outcomes = removeItems(doomed);
            for (std::size_t i = 0; i < outcomes.size(); ++i)
                if (outcomes[i].removed)
                    deleted.insert(doomed[i].displayName);
            if (!trashing && doomed.empty())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        writeFile(trash + "keep-" + std::to_string(i), "k");
        writeFile(trash + "del-" + std::to_string(i), "d");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    EXPECT_TRUE(eventually([&] { return trashCount() == 0; }, 20)) << log();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    trashing = false;
    deleter.join();

    std::set<std::string> kept;
    for (const RecoveryItem& item : getCacheContent(cache, 0.0)) {
        EXPECT_TRUE(fs::exists(item.rawItemPath)) << item.displayName;
        EXPECT_EQ(item.displayName.rfind("del-", 0), std::string::npos) << item.displayName;
        EXPECT_TRUE(kept.insert(item.displayName).second) << item.displayName << " listed twice";
    }
    for (int i = 0; i < kRounds; ++i)
        EXPECT_TRUE(kept.count("keep-" + std::to_string(i))) << "keep-" << i << " lost from the index";
    EXPECT_EQ(deleted.size(), static_cast<std::size_t>(kRounds));
    quit(daemon);
}

} // namespace

} // namespace bw::test
