// The task base on its own: the interruptible wait's cadence and stop handling, and the
// running/finished life of a task on a real thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "tasks/ox_working_task.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class ProbeTask : public OxWorkingTask {
public:
    using OxWorkingTask::waitFor;  // the tests drive the wait from their own thread
    std::function<void(ProbeTask&)> body;

protected:
    void run() override {
        if (body) body(*this);
    }
};

// Runs execute() on a thread; false if it has not ended within the bound. A hung task is
// then stopped once more so that the join cannot block the test binary.
bool executeWithin(ProbeTask& task, int boundMs) {
    std::atomic<bool> done{false};
    std::thread thread([&] {
        task.execute();
        done = true;
    });
    const auto start = Clock::now();
    while (!done && msSince(start) < boundMs) sleepMs(5);
    const bool ended = done;
    if (!ended) task.stop();
    thread.join();
    return ended;
}

}  // namespace

TEST(WaitFor, KeepsCadenceFromTheEndOfThePreviousWait) {
    ProbeTask task;
    auto start = Clock::now();
    EXPECT_FALSE(task.waitFor(3000, 10));
    EXPECT_LT(msSince(start), 1000) << "the first wait of a new task ends after one step";

    // Called 600 ms into a 1000 ms period: ends when the period is over, not 1000 ms later.
    const auto periodStart = Clock::now();
    sleepMs(600);
    EXPECT_FALSE(task.waitFor(1000, 10));
    const long long period = msSince(periodStart);
    EXPECT_GE(period, 980);
    EXPECT_LT(period, 1400);

    // Called after the period has already passed: one step only.
    sleepMs(1200);
    start = Clock::now();
    EXPECT_FALSE(task.waitFor(1000, 10));
    EXPECT_LT(msSince(start), 500);

    // A total not above the step always ends after exactly one step.
    start = Clock::now();
    EXPECT_FALSE(task.waitFor(1, 10));
    EXPECT_LT(msSince(start), 500);
}

TEST(WaitFor, NoticesAStopAtOnceOrWithinAStep) {
    ProbeTask stopped;
    stopped.stop();
    auto start = Clock::now();
    EXPECT_TRUE(stopped.waitFor(1000, 5000));
    EXPECT_LT(msSince(start), 1000) << "a requested stop returns before the first sleep";

    ProbeTask waiting;
    std::atomic<bool> result{false};
    std::atomic<long long> endedAt{-1};
    start = Clock::now();
    std::thread thread([&] {
        waiting.waitFor(1, 10);  // a first wait ends after one step; the next one is long
        result = waiting.waitFor(600000, 10);
        endedAt = msSince(start);
    });
    sleepMs(200);
    const long long stopAt = msSince(start);
    waiting.stop();
    while (endedAt < 0 && msSince(start) < 5000) sleepMs(5);
    thread.join();
    EXPECT_TRUE(result);
    EXPECT_LT(endedAt - stopAt, 1000) << "a long wait ends shortly after the stop";
}

TEST(OxWorkingTask, RunningFromConstructionUntilRunEndsHoweverItEnds) {
    ProbeTask normal;
    EXPECT_TRUE(normal.isRunning()) << "running before its thread has done anything";
    std::atomic<bool> runningInside{false};
    std::atomic<int> cycles{0};
    normal.body = [&](ProbeTask& self) {
        runningInside = self.isRunning();
        while (cycles < 3 && !self.waitFor(1, 10)) ++cycles;
    };
    ASSERT_TRUE(executeWithin(normal, 5000));
    EXPECT_TRUE(runningInside);
    EXPECT_EQ(cycles, 3);
    EXPECT_FALSE(normal.isRunning());

    ProbeTask throwsStd;
    throwsStd.body = [](ProbeTask&) { throw std::runtime_error("boom"); };
    ASSERT_TRUE(executeWithin(throwsStd, 5000)) << "an exception leaving run() is dropped";
    EXPECT_FALSE(throwsStd.isRunning());

    ProbeTask throwsOther;
    throwsOther.body = [](ProbeTask&) { throw 42; };
    ASSERT_TRUE(executeWithin(throwsOther, 5000));
    EXPECT_FALSE(throwsOther.isRunning());
}

TEST(OxWorkingTask, StopBeforeTheThreadStartsIsNotLost) {
    ProbeTask task;
    std::atomic<int> cycles{0};
    task.body = [&](ProbeTask& self) {
        while (!self.waitFor(1, 10)) ++cycles;
    };
    task.stop();
    EXPECT_FALSE(task.isRunning());
    EXPECT_TRUE(executeWithin(task, 5000)) << "the task must see the stop requested before execute()";
    EXPECT_EQ(cycles, 0);
    EXPECT_FALSE(task.isRunning());
}
