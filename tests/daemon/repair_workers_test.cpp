// The repair threads: one walk per folder at a time, a walk asked again while under way walks once
// more, a stop ends the walks without counting them as whole.

#include "repair_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace bw;
using namespace std::chrono_literals;

namespace {

// A walk that counts itself and holds its first run until released or stopped.
struct HeldWalk {
    std::mutex mutex;
    std::condition_variable changed;
    int walks = 0;
    bool released = false;

    void operator()(const std::atomic<bool>& stop) {
        std::unique_lock<std::mutex> lock(mutex);
        ++walks;
        changed.notify_all();
        while (!released && !stop)
            changed.wait_for(lock, 10ms);
    }
    bool waitForWalks(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return walks >= count; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};

} // namespace

TEST(DaemonRepairWorkers, AFolderAskedAgainIsWalkedOnceMoreAndAStopCountsNoWalk) {
    struct Case {
        const char* what;
        int startsWhileWalking;
        bool stop;
        int walks;
        bool walkedRecorded;
    };
    const Case cases[] = {
        {"one start", 0, false, 1, true},
        {"asked again while walking", 1, false, 2, true},
        {"asked three times while walking", 3, false, 2, true},
        {"stopped", 0, true, 1, false},
        {"stopped while asked again", 2, true, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HeldWalk walk;
        RepairWorkers workers([&](const std::string& folder, const std::atomic<bool>& stop) {
            EXPECT_EQ("/cache/batch", folder);
            walk(stop);
        });
        EXPECT_FALSE(workers.walkedSince("/cache/batch"));
        workers.start("/cache/batch");
        ASSERT_TRUE(walk.waitForWalks(1));
        for (int i = 0; i < c.startsWhileWalking; ++i)
            workers.start("/cache/batch");
        EXPECT_TRUE(workers.running("/cache/batch"));
        EXPECT_FALSE(workers.running("/cache/other"));

        if (c.stop) {
            workers.joinAll(true);
            EXPECT_FALSE(workers.stopFlag()) << "later walks are not stopped";
        } else {
            walk.release();
            workers.joinAll(false);
        }
        EXPECT_EQ(c.walks, walk.walks);
        EXPECT_FALSE(workers.running("/cache/batch"));
        EXPECT_EQ(c.walkedRecorded, workers.walkedSince("/cache/batch").has_value());
        workers.forget("/cache/batch");
        EXPECT_FALSE(workers.walkedSince("/cache/batch"));
    }
}

TEST(DaemonRepairWorkers, FinishedWalksAreReapedAndFoldersWalkSideBySide) {
    HeldWalk first;
    std::atomic<int> others{0};
    RepairWorkers workers([&](const std::string& folder, const std::atomic<bool>& stop) {
        if (folder == "/a")
            first(stop);
        else
            ++others;
    });
    workers.start("/a");
    ASSERT_TRUE(first.waitForWalks(1));
    workers.start("/b");
    // The walk of /b ends while /a's is held: reaping joins it and leaves /a running.
    for (int i = 0; i < 1000 && !workers.walkedSince("/b"); ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(workers.walkedSince("/b"));
    workers.reap();
    EXPECT_FALSE(workers.running("/b"));
    EXPECT_TRUE(workers.running("/a"));
    EXPECT_EQ(1, others.load());
    first.release();
    workers.joinAll(false);
    EXPECT_TRUE(workers.walkedSince("/a"));
}
