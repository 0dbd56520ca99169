// The agent's workers: a wait ends when it is woken with its condition met or when the group stops, never
// by the clock alone; stopping joins every worker and refuses new ones.

#include "worker_group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace bw;
using namespace std::chrono_literals;

TEST(WorkerGroup, AWaitEndsOnItsConditionOrTheStopLongBeforeItsLimit) {
    struct Case {
        const char* what;
        bool setCondition; // the main thread makes the condition true and wakes the group
        bool stop;         // the group stops instead
        bool answer;
    };
    const Case cases[] = {
        {"condition met and woken", true, false, true},
        {"group stopped", false, true, false},
    };
    for (const Case& c : cases) {
        WorkerGroup group;
        std::atomic<bool> condition{false};
        std::atomic<bool> waiting{false};
        std::atomic<int> answer{-1};
        ASSERT_TRUE(group.start([&] {
            waiting = true;
            answer = group.waitFor([&] { return condition.load(); }, std::chrono::hours(1)) ? 1 : 0;
        })) << c.what;
        while (!waiting.load())
            std::this_thread::yield();
        auto start = std::chrono::steady_clock::now();
        if (c.setCondition) {
            condition = true;
            group.wake();
            while (group.running() > 0 && std::chrono::steady_clock::now() - start < 30s)
                std::this_thread::sleep_for(1ms);
        }
        if (c.stop)
            group.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << c.what;
        EXPECT_EQ(group.running(), 0) << c.what;
        EXPECT_EQ(answer.load(), c.answer ? 1 : 0) << c.what;
    }
}

TEST(WorkerGroup, StoppingJoinsEveryWorkerAndRefusesNewOnes) {
    WorkerGroup group;
    std::atomic<int> finished{0};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(group.start([&] {
            group.pause(std::chrono::hours(1)); // ends with the stop
            ++finished;
        }));
    }
    group.stop();
    EXPECT_EQ(finished.load(), 3);
    EXPECT_EQ(group.running(), 0);
    EXPECT_TRUE(group.stopping());
    EXPECT_FALSE(group.start([&] { ++finished; }));
    EXPECT_EQ(finished.load(), 3);
}
