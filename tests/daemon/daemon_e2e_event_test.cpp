// The real bw2daemon surveying on the trash folder's kernel news, and with its one-second survey forced:
// what arrives is cached within the survey time, a burst is one batch, a vanished trash ends it, a quiet
// batch is marked repaired.

#include "daemon_e2e_fixture.h"

#include <sys/stat.h>

#include <functional>

namespace bw::test {

namespace {

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

constexpr char kFallbackLine[] = "; surveying every 1 s instead";

} // namespace

TEST_F(DaemonE2E, WhatArrivesIsCachedWithinTheSurveyTimeOnEventsAndWhenPolling) {
    const std::string staging = tmp / "staging";
    makeDirs(staging);
    struct Arrival {
        const char* what;
        std::string name;
        std::function<void(const std::string&)> bring;
    };
    const std::vector<Arrival> arrivals{
        {"a file written in place", "written.txt", [&](const std::string& n) { trashFile(n, "w"); }},
        {"a file moved in", "moved.txt",
         [&](const std::string& n) {
             writeFile(staging + "/" + n, "m");
             writeInfo(n);
             ASSERT_EQ(0, std::rename((staging + "/" + n).c_str(), (trash + n).c_str()));
         }},
        {"a folder moved in", "Album",
         [&](const std::string& n) {
             makeDirs(staging + "/" + n + "/inner");
             writeFile(staging + "/" + n + "/inner/photo.jpg", std::string(2000, 'p'));
             writeInfo(n);
             ASSERT_EQ(0, std::rename((staging + "/" + n).c_str(), (trash + n).c_str()));
         }},
    };
    for (bool poll : {false, true}) {
        SCOPED_TRACE(poll ? "one-second survey forced" : "surveys on events");
        pollSurveys = poll;
        fs::remove(logPath);
        DaemonProcess daemon = startAndWait(1);
        // Past the first survey: from here on only news (or the forced poll) brings items in.
        recorder.pump(1.5);
        EXPECT_EQ(!poll, watchesInode(daemon.pid(), trash));
        for (const Arrival& arrival : arrivals) {
            SCOPED_TRACE(arrival.what);
            const std::string name = arrival.name + (poll ? "-poll" : "-event");
            arrival.bring(name);
            // Listed (the index names an item before it moves) and gone from the trash.
            EXPECT_TRUE(eventually([&] { return storedNamesFor(name).size() == 1 && !fs::exists(trash + name); }, 5))
                << log();
        }
        ASSERT_EQ(1u, storedNamesFor("Album" + std::string(poll ? "-poll" : "-event")).size());
        EXPECT_EQ(std::string(2000, 'p'),
                  readFile(storedNamesFor("Album" + std::string(poll ? "-poll" : "-event"))[0] + "/inner/photo.jpg"));
        // Falling back is said once, and only when it happens.
        EXPECT_EQ(poll ? 1u : 0u, count(log(), kFallbackLine)) << log();
        quit(daemon);
    }
}

TEST_F(DaemonE2E, TenThousandItemsAtOnceMakeOneBatchNotThousandsOfSurveys) {
    const std::size_t n = 10000;
    const std::string staging = tmp / "staging";
    makeDirs(staging);
    for (std::size_t i = 0; i < n; ++i)
        writeFile(staging + "/item " + std::to_string(i), "");
    DaemonProcess daemon = startAndWait(1);
    recorder.pump(1.5);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string name = "item " + std::to_string(i);
        ASSERT_EQ(0, std::rename((staging + "/" + name).c_str(), (trash + name).c_str()));
    }
    ASSERT_TRUE(eventually(
        [&] {
            recorder.pump(0.05);
            long long announced = 0;
            for (auto& seen : recorder.named(notif::kNewDataInCache))
                announced += seen.numberInfo["itemsMovedToCache"];
            return announced >= static_cast<long long>(n);
        },
        120))
        << log();
    EXPECT_EQ(0u, trashCount());
    EXPECT_EQ(n, entries().size());
    // Renaming them all takes a moment, and a busy machine may pause the renaming process: a survey may
    // fall in a pause, never one per item.
    EXPECT_LE(recorder.named(notif::kNewDataInCache).size(), 5u);
    quit(daemon);
}

TEST_F(DaemonE2E, ABatchIsMarkedRepairedOnceQuietWithoutAnotherSurvey) {
    DaemonProcess daemon = startAndWait(1);
    recorder.pump(1.2);
    trashFile("quiet.txt", "q");
    ASSERT_TRUE(eventually([&] { return storedNamesFor("quiet.txt").size() == 1; }, 5)) << log();
    const std::string stored = storedNamesFor("quiet.txt")[0];
    const std::string batch = fs::path(stored).parent_path().string();
    EXPECT_FALSE(readCacheIndex(batch)->permissionsRepaired()) << "just added to";
    // Ten seconds after its last addition, with nothing trashed meanwhile.
    EXPECT_TRUE(eventually(
        [&] {
            std::optional<BWCacheIndex> index = readCacheIndex(batch);
            return index && index->permissionsRepaired();
        },
        25))
        << log();
    struct stat st;
    ASSERT_EQ(0, stat(stored.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    ASSERT_EQ(1u, readCacheIndex(batch)->indexTable()->size());
    quit(daemon);
}

} // namespace bw::test
