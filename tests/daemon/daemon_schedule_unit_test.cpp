// The Daemon on a real sd-event loop in this process: what brings a survey or timed work when no news
// comes (a failed move retried, the added list saved), and a trash folder made anew being watched anew.

#include "store/added_list.h"
#include "store/cache_index.h"
#include "daemon.h"
#include "daemon_runner.h"
#include "temp_dir.h"

#include <unistd.h>

#include <systemd/sd-event.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

namespace fs = std::filesystem;
using namespace bw;
using bw::test::setImmutable;
using bw::test::TempDir;
using bw::test::writeFile;

namespace {

struct EventUnref {
    void operator()(sd_event* event) const { sd_event_unref(event); }
};

class DaemonScheduleTest : public ::testing::Test {
protected:
    TempDir tmp{"bw2sched"};
    std::string home = tmp.path();
    std::string trash = home + "/.local/share/Trash/files/";
    std::string cache = home + "/.Binwarden2Cache";
    std::unique_ptr<sd_event, EventUnref> event;
    std::unique_ptr<Daemon> daemon;

    void SetUp() override {
        fs::create_directories(trash);
        fs::create_directories(home + "/.local/share/Trash/info");
        sd_event* raw = nullptr;
        ASSERT_GE(sd_event_new(&raw), 0);
        event.reset(raw);
    }
    void TearDown() override {
        daemon.reset(); // its sources go before the loop
    }

    void launch(int mode, const std::function<void(Daemon&)>& configure = {}) {
        daemon = std::make_unique<Daemon>();
        daemon->setSurveyTime(1);
        daemon->setHomeFolder(home);
        daemon->setTrashPath(trash);
        daemon->setTrashCachePath(home + "/");
        daemon->setDaemonUID(static_cast<std::int32_t>(getuid()));
        daemon->setRunningMode(mode);
        daemon->setNbDaysInCache(3);
        daemon->setRepairItemDelay(0);
        daemon->setTerminationDelayScale(0.01);
        daemon->setEvent(event.get());
        if (configure)
            configure(*daemon);
        ASSERT_TRUE(daemon->launchDaemon());
    }

    // Runs the loop until the condition holds or the time is over.
    bool runUntil(const std::function<bool()>& condition, double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= deadline || daemon->terminated())
                return condition();
            sd_event_run(event.get(), 20000);
        }
        return true;
    }

    void run(double seconds) {
        runUntil([] { return false; }, seconds);
    }

    std::size_t listed(const std::string& name) const {
        std::size_t n = 0;
        if (!fs::exists(cache))
            return 0;
        for (auto& batch : fs::directory_iterator(cache)) {
            std::optional<BWCacheIndex> index =
                batch.is_directory() ? readCacheIndex(batch.path().string()) : std::nullopt;
            if (index && index->indexTable())
                for (auto& [stored, entry] : *index->indexTable())
                    n += entry.realName == name && fs::exists(batch.path() / stored);
        }
        return n;
    }
};

} // namespace

TEST_F(DaemonScheduleTest, SurveysRunOnNewsAndWhatIsLeftIsRetriedWithoutNews) {
    struct Case {
        const char* what;
        bool events;
    };
    for (const Case& c : {Case{"surveys on events", true}, Case{"one-second survey", false}}) {
        SCOPED_TRACE(c.what);
        launch(1, [&](Daemon& d) { d.setEventSurveys(c.events); });
        EXPECT_EQ(c.events, daemon->surveysOnEvents());
        run(1.3); // past the first survey
        writeFile(trash + "news.txt", "n");
        EXPECT_TRUE(runUntil([&] { return listed("news.txt") == 1; }, 5));

        if (geteuid() == 0) {
            // A move that fails leaves its item for a later survey, which comes with no news at all.
            writeFile(trash + "stuck.txt", "s");
            if (setImmutable(trash + "stuck.txt", true)) {
                run(2.5);
                EXPECT_EQ(0u, listed("stuck.txt"));
                setImmutable(trash + "stuck.txt", false);
                EXPECT_TRUE(runUntil([&] { return listed("stuck.txt") == 1; }, 10));
            }
        }
        daemon.reset();
        fs::remove_all(cache);
    }
}

TEST_F(DaemonScheduleTest, ATrashFolderMadeAnewIsWatchedAnew) {
    launch(1);
    ASSERT_TRUE(daemon->surveysOnEvents());
    run(1.3);
    // Removed and made again before the survey its removal brings: the daemon goes on with the new one.
    fs::remove_all(trash);
    fs::create_directories(trash);
    run(1.5);
    ASSERT_FALSE(daemon->terminated());
    writeFile(trash + "after.txt", "a");
    EXPECT_TRUE(runUntil([&] { return listed("after.txt") == 1; }, 5));
    EXPECT_TRUE(daemon->surveysOnEvents());
}

TEST_F(DaemonScheduleTest, CopiesRecordedInTheAddedListAreSavedByItsTimer) {
    writeFile(trash + "kept.txt", "k");
    launch(2, [](Daemon& d) { d.setAddedListSaveInterval(1.5); });
    ASSERT_TRUE(runUntil([&] { return listed("kept.txt") == 1; }, 5));
    // No survey, no request: the save comes from its own timer.
    EXPECT_TRUE(runUntil([&] { return loadAddedList(cache).size() == 1; }, 5));
    EXPECT_TRUE(fs::exists(trash + "kept.txt"));
}
