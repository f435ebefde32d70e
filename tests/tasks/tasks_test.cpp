// The task base and the metrics polling task on real threads, against the substitute WFAPI.DLL with
// the test log read back (short timings through OxMetricsTimings). Session/channel faults: tests/faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <plog/Appenders/IAppender.h>
#include <plog/Log.h>

#include "protocol/client_info.h"
#include "support/waits.h"
#include "support/wfsim_support.h"
#include "tasks/ox_metrics_task.h"

namespace {

const std::string kStopLine = "DEBUG [METRICS THREAD] : Stop flag has been set.";
const std::string kBar = "DEBUG " + std::string(64, '=');  // the banners' rule

struct ProbeTask : OxWorkingTask {
    using OxWorkingTask::waitFor;  // the tests drive the wait from their own thread
    std::function<void(ProbeTask&)> body;
    void run() override { body(*this); }
};

template <typename Record>
Record stored(const Record& global) { std::lock_guard<std::mutex> lock(_glClientInfoMutex); return global; }

// The task's own records since the mark, as "SEVERITY message", and how often one of them appears.
std::vector<std::string> taskLog(const LogCapture& log) {
    std::vector<std::string> out;
    for (const auto& r : log.records())
        if (r.func == "OxMetricsTask::run") out.push_back(r.severity + " " + r.message);
    return out;
}
int taskRecords(const LogCapture& log, const std::string& line) {
    const auto all = taskLog(log);
    return static_cast<int>(std::count(all.begin(), all.end(), line));
}

// A task on its thread as the entry point owns it: cycles 50 ms apart, back-off firstMs up to capMs.
struct TaskRunner {
    std::unique_ptr<OxMetricsTask> task;
    std::thread thread;
    explicit TaskRunner(bool pollV2, uint32_t firstMs = 300000, uint32_t capMs = 300000)
        : task(new OxMetricsTask(pollV2, OxMetricsTimings{50, firstMs, capMs, 500})),
          thread([this] { task->execute(); }) {}
    ~TaskRunner() { stop(); }
    // How soon a stop ends a wait: through icasrv_cleanup, between cycles and in a back-off (tests/exports).
    void stop() { task->stop(), thread.joinable() ? thread.join() : void(); }
};

class MetricsTaskTest : public WfapiTest {
protected:
    void SetUp() override {
        WfapiTest::SetUp();
        std::lock_guard<std::mutex> lock(_glClientInfoMutex);
        resetClientInfo(&_glClientInfo);
        resetClientInfo(&_glClientInfo_v2.base);
        resetClientInfoV2Ext(&_glClientInfo_v2.ext);
    }

    // The counterpart's answer, with values the task must replace in latency and readFailurePercent.
    static ClientInfo answer(const char* user, const char* computer) {
        ClientInfo info{};
        resetClientInfo(&info);
        info.latency = 12345;
        info.readFailurePercent = 777;
        std::strcpy(info.userName, user);
        std::strcpy(info.computerName, computer);
        std::strcpy(info.clientText1, "Windows 11");
        wfsim_set_client_info(&info);
        return info;
    }
};

TEST_F(MetricsTaskTest, Version1TaskStoresTheAnswerWithTheLatencyRenewedEveryFifthPing) {
    const ClientInfo sent = answer("alice", "PC-042");
    wfsim_set_latency(100, 0);
    LogCapture log;
    TaskRunner runner(false);
    std::vector<int32_t> latencies;  // stored after cycles 1..7
    for (int cycle = 1; cycle <= 7; ++cycle) {
        if (cycle == 5) {  // the sixth cycle's pings are answered faster
            ASSERT_TRUE(waitUntil([] { return counters().pingAnswers >= 25; }));
            wfsim_set_latency(40, 0);
        }
        // Once the next cycle has sent its first ping, this cycle's store is done, and the
        // next store is at least five round trips away.
        ASSERT_TRUE(waitUntil([cycle] { return counters().pingAnswers >= 5 * cycle + 1; })) << log.dump();
        latencies.push_back(stored(_glClientInfo).latency);
    }
    runner.stop();

    for (int i = 1; i < 5; ++i) EXPECT_EQ(latencies[i], latencies[0]) << "held for five cycles";
    EXPECT_TRUE(latencies[0] >= 95 && latencies[0] < 150) << latencies[0] << " replaces the counterpart's value";
    // About (100 + 40) / 2: half the running average of the first five, half the new ping.
    EXPECT_TRUE(latencies[5] >= 65 && latencies[5] < 95) << latencies[5];
    EXPECT_GE(latencies[0] - latencies[5], 20);
    EXPECT_EQ(latencies[6], latencies[5]) << "held again after the change";

    ClientInfo got = stored(_glClientInfo);
    EXPECT_EQ(got.readFailurePercent, 0) << "no read failed";
    got.latency = sent.latency;
    got.readFailurePercent = sent.readFailurePercent;
    EXPECT_EQ(std::memcmp(&got, &sent, sizeof got), 0) << "every other field as the counterpart sent it";
    EXPECT_EQ(counters().dataV2Answers, 0);
    EXPECT_EQ(counters().channelsOpened, 1);
    // Healthy cycles log nothing: the banner, the open and the stop exit only.
    const std::vector<std::string> expected = {kBar, "DEBUG [METRICS THREAD] : started...", kBar,
        "INFO [METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully", kStopLine};
    EXPECT_EQ(taskLog(log), expected) << log.dump();
}

// Nameless answers reach only the version-2 record, and the third in a row backs off; the
// back-off doubles to its cap over the task's whole life, not restarting after a success.
TEST_F(MetricsTaskTest, NamelessAnswersThenADisconnectBackOffWithDoublingWaits) {
    ClientInfo expectedBase = answer("bob", "PC-7");
    ClientInfoV2Ext ext{};
    resetClientInfoV2Ext(&ext);
    std::strcpy(ext.extText1, "ext-one");
    wfsim_set_client_info_v2(&ext, 1);
    wfsim_set_fault(WFSIM_FAULT_EMPTY_NAMES, -1);
    LogCapture log;
    TaskRunner runner(true, 1000, 3000);
    ASSERT_TRUE(waitUntil([&] { return log.has("Waiting1seconds. In Pending State"); })) << log.dump();
    EXPECT_EQ(taskRecords(log, "ERROR [METRICS THREAD] : [clientInfo.userName] or [clientInfo.computerName] is empty."),
              1);
    EXPECT_EQ(counters().dataAnswers, 3);
    EXPECT_EQ(counters().dataV2Answers, 2) << "the third nameless cycle skips the version-2 request";
    EXPECT_EQ(stored(_glClientInfo).latency, -1) << "nameless answers never reach the version-1 record";
    // The version-2 base is the cycle's version-1 data, measured latency included.
    ClientInfoV2 v2 = stored(_glClientInfo_v2);
    EXPECT_GE(v2.base.latency, 0);
    EXPECT_NE(v2.base.latency, expectedBase.latency);
    v2.base.latency = expectedBase.latency;
    v2.base.readFailurePercent = expectedBase.readFailurePercent;
    expectedBase.userName[0] = expectedBase.computerName[0] = '\0';
    EXPECT_EQ(std::memcmp(&v2.base, &expectedBase, sizeof expectedBase), 0);
    EXPECT_EQ(std::memcmp(&v2.ext, &ext, sizeof ext), 0);

    wfsim_set_fault(WFSIM_FAULT_EMPTY_NAMES, 0);  // during the 1 s back-off
    ASSERT_TRUE(waitUntil([] { return std::strcmp(stored(_glClientInfo).userName, "bob") == 0; })) << log.dump();
    wfsim_set_connect_state(WFDisconnected);
    ASSERT_TRUE(waitUntil([&] { return log.has("Waiting3seconds. In Pending State"); })) << log.dump();
    runner.stop();
    EXPECT_EQ(runner.task->state(), Pending);
    // 1 s, 2 s, then 4 s capped to 3 s.
    for (const char* wait : {"ERROR Waiting1seconds. In Pending State", "ERROR Waiting2seconds. In Pending State",
                             "ERROR Waiting3seconds. In Pending State"})
        EXPECT_EQ(taskRecords(log, wait), 1) << wait;
    EXPECT_EQ(log.countContaining("seconds. In Pending State"), 3);
    const std::string notConnected =
        "WARN Session Connection State is not WFActive and not WFConnected. Waiting for connection...";
    EXPECT_GE(taskRecords(log, notConnected), 2);
    EXPECT_EQ(taskRecords(log, kStopLine), 1);
    EXPECT_EQ(log.countContaining("finished..."), 0);
    EXPECT_EQ(counters().channelsOpened, 2) << "the channel is opened anew after a back-off";
}

// Milliseconds on the clock the task keeps its wake time on.
long long systemMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Each wait ends at the first whole step from the call at which the total has passed since the previous
// wait ended (`sinceMs` before the call; -1: a new task), at least one step. The steps follow from the
// time really passed on the task's own clock, as the sleep may run long under load.
TEST(WaitFor, EndsAtTheFirstWholeStepFromTheCallAtWhichTheTotalHasPassed) {
    const struct { const char* what; int sinceMs, totalMs, stepMs; } cases[] = {
        {"the first wait of a new task: one step", -1, 5000, 300},
        {"a total not above the step: one step", 0, 300, 300},
        {"a total below the step: one step", 0, 1, 300},
        {"work longer than the total: one step", 700, 500, 300},
        {"130 ms of a 250 ms total left: two 100 ms steps", 120, 250, 100},
        {"250 ms left: three 100 ms steps", 0, 250, 100},
        {"400 ms of 1000 ms left, in 10 ms steps", 600, 1000, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProbeTask task;
        long long previousEnd = systemMs();
        if (c.sinceMs >= 0) {
            task.waitFor(1, 1);  // a new task's wait: one 1 ms step, from whose end the cadence runs
            previousEnd = systemMs();
            sleepMs(c.sinceMs);
        }
        const long long start = systemMs(), since = start - previousEnd;
        EXPECT_FALSE(task.waitFor(c.totalMs, c.stepMs));
        const long long took = systemMs() - start;
        // 5 ms for the time between this reading and the task's own.
        const long long left = c.sinceMs < 0 ? 0 : c.totalMs - since - 5;
        const long long steps = left > 0 ? (left + c.stepMs - 1) / c.stepMs : 1;
        EXPECT_GE(took, steps * c.stepMs - 2) << since << " ms after the previous wait";
        EXPECT_LT(took, steps * c.stepMs + 500) << "generous under load, yet short of the total";
    }
}

// A stop before execute() must reach run()'s first wait, which then returns at once.
TEST(OxWorkingTask, RunningFromConstructionUntilRunEndsHoweverItEndsAndAStopEndsAnyWaitAtOnce) {
    enum Ending { Returns, ThrowsStd, ThrowsOther, StoppedBeforeExecute };
    for (const Ending ending : {Returns, ThrowsStd, ThrowsOther, StoppedBeforeExecute}) {
        SCOPED_TRACE(ending);
        ProbeTask task;
        std::atomic<bool> runningInside{false};
        std::atomic<int> cycles{0};
        task.body = [&](ProbeTask& self) {
            runningInside = self.isRunning();
            while (cycles < 3 && !self.waitFor(1, 10)) ++cycles;
            if (ending == ThrowsStd) throw std::runtime_error("boom");  // dropped by execute()
            if (ending == ThrowsOther) throw 42;
        };
        EXPECT_TRUE(task.isRunning()) << "running before its thread has done anything";
        if (ending == StoppedBeforeExecute) task.stop();
        EXPECT_EQ(task.isRunning(), ending != StoppedBeforeExecute);
        const auto start = Clock::now();
        std::thread thread([&] { task.execute(); });
        thread.join();
        EXPECT_LT(msSince(start), 1000) << "a few ms, generous under load";
        EXPECT_EQ(runningInside, ending != StoppedBeforeExecute);
        EXPECT_EQ(cycles, ending == StoppedBeforeExecute ? 0 : 3);
        EXPECT_FALSE(task.isRunning());
    }
}

// One name is enough for the version-1 store; a version-1 request that fails after data arrived
// is an error line each cycle while the channel stays open and the record keeps the data.
TEST_F(MetricsTaskTest, OneNameIsStoredAndAFailingRequestKeepsTheLastData) {
    for (const auto& names : {std::make_pair("", "PC-ONLY"), std::make_pair("user.only", "")}) {
        SCOPED_TRACE(names.second);
        answer(names.first, names.second);
        TaskRunner runner(false);
        ASSERT_TRUE(waitUntil([&] { return std::strcmp(stored(_glClientInfo).computerName, names.second) == 0 &&
                                           std::strcmp(stored(_glClientInfo).userName, names.first) == 0; }));
    }
    answer("dave", "PC-9");
    // Answers at once: a failed read leaves its answer queued, and the next ping drains it only
    // when every answer behind it is already there.
    wfsim_set_latency(0, 0);
    LogCapture log;
    TaskRunner runner(false);
    ASSERT_TRUE(waitUntil([] { return std::strcmp(stored(_glClientInfo).userName, "dave") == 0; }));
    answer("erin", "PC-10");
    wfsim_set_fault(WFSIM_FAULT_DATA_READ_FAILS, -1);
    const LONG pings = counters().pingAnswers, opened = counters().channelsOpened;
    ASSERT_TRUE(waitUntil([&] { return counters().pingAnswers >= pings + 15; })) << "three more cycles";
    runner.stop();
    EXPECT_GE(log.countContaining("[METRICS THREAD] SendDataReq_v1 failed with error : ["), 2);
    EXPECT_EQ(log.countContaining("In Pending State"), 0);
    EXPECT_EQ(counters().channelsOpened, opened) << "the channel stays open";
    EXPECT_STREQ(stored(_glClientInfo).userName, "dave");
}

// What a cycle's exchanges throw: a standard exception is logged and the next cycle backs off;
// anything else ends the task with the finished banner. Thrown here by a log appender at the
// first "reading failed..." line, which the data request writes inside the cycle.
struct ThrowingAppender : plog::IAppender {
    std::atomic<int> mode{0};  // 0: quiet, 1: throw std::runtime_error once, 2: throw an int once
    void write(const plog::Record& record) override {
        if (mode == 0 || std::strstr(record.getMessage(), "reading failed...") == nullptr) return;
        const int m = mode.exchange(0);
        if (m == 1) throw std::runtime_error("appender failed");
        if (m == 2) throw 7;
    }
};

TEST_F(MetricsTaskTest, ExceptionsInsideACycle) {
    static ThrowingAppender appender;
    static const bool added = (plog::get<0>()->addAppender(&appender), true);
    (void)added;
    answer("frank", "PC-11");
    for (const int mode : {1, 2}) {
        SCOPED_TRACE(mode == 1 ? "std::runtime_error" : "int");
        LogCapture log;
        TaskRunner runner(false, 1000, 1000);
        ASSERT_TRUE(waitUntil([] { return std::strcmp(stored(_glClientInfo).userName, "frank") == 0; }));
        appender.mode = mode;
        wfsim_set_fault(WFSIM_FAULT_DATA_READ_FAILS, 1);
        if (mode == 1) {
            ASSERT_TRUE(waitUntil([&] { return log.has("Waiting1seconds. In Pending State"); })) << log.dump();
            EXPECT_EQ(taskRecords(log, "ERROR [METRICS THREAD] Exception: appender failed"), 1);
            EXPECT_TRUE(runner.task->isRunning());
        } else {
            ASSERT_TRUE(waitUntil([&] { return !runner.task->isRunning(); })) << log.dump();
            const std::vector<std::string> tail = {"ERROR [METRICS THREAD] Unknown Exception.", kBar,
                                                   "DEBUG [METRICS THREAD] finished...", kBar};
            const auto all = taskLog(log);
            ASSERT_GE(all.size(), tail.size());
            EXPECT_EQ(std::vector<std::string>(all.end() - 4, all.end()), tail) << log.dump();
        }
    }
}

}  // namespace
