// The metrics polling task on a real thread against the substitute WFAPI.DLL, with the real
// test log read back. Shorter timings come only through OxMetricsTimings.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "citrix/wfapi_loader.h"
#include "protocol/client_info.h"
#include "support/log_capture.h"
#include "tasks/ox_metrics_task.h"
#include "wfsim_control.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kRun = "OxMetricsTask::run";
const std::string kStopLine = "[METRICS THREAD] : Stop flag has been set.";
const std::string kFinishedLine = "[METRICS THREAD] finished...";

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool waitUntil(const std::function<bool()>& condition, int boundMs = 10000) {
    const auto start = Clock::now();
    while (!condition()) {
        if (msSince(start) > boundMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

ClientInfo storedV1() {
    std::lock_guard<std::mutex> lock(_glClientInfoMutex);
    return _glClientInfo;
}

ClientInfoV2 storedV2() {
    std::lock_guard<std::mutex> lock(_glClientInfoMutex);
    return _glClientInfo_v2;
}

WfsimCounters simCounters() {
    WfsimCounters counters;
    wfsim_get_counters(&counters);
    return counters;
}

OxMetricsTimings fastTimings(uint32_t firstPendingMs, uint32_t maxPendingMs) {
    OxMetricsTimings timings;
    timings.pollIntervalMs = 50;
    timings.firstPendingWaitMs = firstPendingMs;
    timings.maxPendingWaitMs = maxPendingMs;
    timings.readTimeoutMs = 500;
    return timings;
}

// Records of the task itself with this severity and message.
int taskRecords(const LogCapture& log, const std::string& severity, const std::string& message) {
    int n = 0;
    for (const auto& r : log.records())
        if (r.func == kRun && r.severity == severity && r.message == message) ++n;
    return n;
}

std::vector<std::string> taskMessagesStartingWith(const LogCapture& log, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& r : log.records())
        if (r.func == kRun && r.message.compare(0, prefix.size(), prefix) == 0) out.push_back(r.message);
    return out;
}

// Owns a task and its thread the way the entry point does.
class TaskRunner {
public:
    TaskRunner(bool pollV2, const OxMetricsTimings& timings) : m_task(new OxMetricsTask(pollV2, timings)) {
        m_thread = std::thread([this] { m_task->execute(); });
    }
    ~TaskRunner() { stopAndJoin(); }

    OxMetricsTask& task() { return *m_task; }
    bool endsWithin(int boundMs) {
        return waitUntil([this] { return !m_task->isRunning(); }, boundMs);
    }
    // Milliseconds from the stop request until the thread has ended.
    long long stopAndJoin() {
        if (!m_thread.joinable()) return 0;
        const auto start = Clock::now();
        m_task->stop();
        m_thread.join();
        return msSince(start);
    }

private:
    std::unique_ptr<OxMetricsTask> m_task;
    std::thread m_thread;
};

template <size_t N>
void setText(char (&field)[N], const char* text) {
    std::strncpy(field, text, N - 1);
    field[N - 1] = '\0';
}

class MetricsTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureTestLog();
        wfsim_reset();
        ASSERT_TRUE(loadWFAPIWrapper());
        std::lock_guard<std::mutex> lock(_glClientInfoMutex);
        resetClientInfo(&_glClientInfo);
        resetClientInfo(&_glClientInfo_v2.base);
        resetClientInfoV2Ext(&_glClientInfo_v2.ext);
    }

    // The counterpart's data, with values the task must replace in latency and readFailurePercent.
    static ClientInfo counterpartInfo(const char* user, const char* computer) {
        ClientInfo info;
        std::memset(&info, 0, sizeof info);
        resetClientInfo(&info);
        info.latency = 12345;
        info.readFailurePercent = 777;
        setText(info.userName, user);
        setText(info.computerName, computer);
        setText(info.clientText1, "Windows 11");
        setText(info.clientText16, "last text");
        info.clientReal1 = 2.5;
        info.clientValue1 = 7;
        info.clientValue6 = 66;
        return info;
    }

    static void expectNothingOutstanding() {
        const WfsimCounters c = simCounters();
        EXPECT_EQ(wfsim_outstanding(), 0);
        EXPECT_EQ(c.buffersAllocated, c.buffersFreed);
        EXPECT_EQ(c.channelsOpened, c.channelsClosed);
        EXPECT_EQ(c.smcOpened, c.smcClosed);
        EXPECT_EQ(c.badFrees + c.badChannelCloses + c.badSmcCloses, 0);
    }
};

TEST_F(MetricsTaskTest, HealthySessionFillsTheVersion1RecordAndReleasesEverything) {
    const ClientInfo sent = counterpartInfo("alice", "PC-042");
    wfsim_set_client_info(&sent);
    wfsim_set_latency(20, 0);
    LogCapture log;
    {
        TaskRunner runner(false, fastTimings(300000, 300000));
        ASSERT_TRUE(waitUntil([] { return simCounters().dataAnswers >= 3; })) << log.dump();
        ASSERT_TRUE(waitUntil([] { return std::strcmp(storedV1().userName, "alice") == 0; }));
        EXPECT_LT(runner.stopAndJoin(), 2000);
        EXPECT_FALSE(runner.task().isRunning());
    }
    const ClientInfo got = storedV1();
    EXPECT_STREQ(got.computerName, "PC-042");
    EXPECT_STREQ(got.clientText1, "Windows 11");
    EXPECT_STREQ(got.clientText16, "last text");
    EXPECT_EQ(got.clientReal1, 2.5);
    EXPECT_EQ(got.clientValue1, 7);
    EXPECT_EQ(got.clientValue6, 66);
    EXPECT_GE(got.latency, 15) << "the measured round trip replaces the counterpart's value";
    EXPECT_LT(got.latency, 1000);
    EXPECT_GE(got.readFailurePercent, 0);
    EXPECT_LE(got.readFailurePercent, 100);

    const ClientInfoV2 v2 = storedV2();
    EXPECT_EQ(v2.base.latency, -1) << "a version-1 task never writes the version-2 record";
    EXPECT_STREQ(v2.base.userName, "");
    EXPECT_EQ(v2.ext.extValue1, -1);
    EXPECT_EQ(simCounters().dataV2Answers, 0);
    EXPECT_EQ(simCounters().channelsOpened, 1);
    expectNothingOutstanding();

    EXPECT_EQ(taskRecords(log, "DEBUG", std::string(64, '=')), 2) << log.dump();
    EXPECT_EQ(taskRecords(log, "DEBUG", "[METRICS THREAD] : started..."), 1);
    EXPECT_EQ(taskRecords(log, "INFO", "[METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully"), 1);
    EXPECT_EQ(taskRecords(log, "DEBUG", kStopLine), 1);
    EXPECT_EQ(log.countContaining("finished..."), 0);
    for (const auto& r : log.records()) {
        if (r.func == kRun) {
            EXPECT_TRUE(r.severity == "DEBUG" || r.severity == "INFO") << r.message;
        }
    }
}

TEST_F(MetricsTaskTest, LatencyTakesTheRunningAverageEveryFifthPing) {
    wfsim_set_latency(100, 0);
    std::vector<int32_t> latencies;  // stored after cycles 1..7
    TaskRunner runner(false, fastTimings(300000, 300000));
    for (int cycle = 1; cycle <= 7; ++cycle) {
        if (cycle == 5) {
            // The sixth cycle's pings are answered faster.
            ASSERT_TRUE(waitUntil([] { return simCounters().pingAnswers >= 25; }));
            wfsim_set_latency(40, 0);
        }
        // Once the next cycle has sent its first ping, this cycle's store is done, and the
        // next store is at least five round trips away.
        ASSERT_TRUE(waitUntil([cycle] { return simCounters().pingAnswers >= 5 * cycle + 1; }));
        latencies.push_back(storedV1().latency);
    }
    runner.stopAndJoin();

    for (int i = 1; i < 5; ++i) EXPECT_EQ(latencies[i], latencies[0]) << "held for five cycles";
    EXPECT_GE(latencies[0], 95);
    EXPECT_LT(latencies[0], 150);
    // About (100 + 40) / 2: half the running average of the first five, half the new ping.
    EXPECT_GE(latencies[5], 65);
    EXPECT_LT(latencies[5], 95);
    EXPECT_GE(latencies[0] - latencies[5], 20);
    EXPECT_EQ(latencies[6], latencies[5]) << "held again after the change";
    expectNothingOutstanding();
}

TEST_F(MetricsTaskTest, BackOffDoublesToItsCapOverTheWholeTaskLife) {
    wfsim_set_connect_state(WFDisconnected);
    LogCapture log;
    TaskRunner runner(false, fastTimings(1000, 3000));
    ASSERT_TRUE(waitUntil([&] { return log.has("Waiting2seconds. In Pending State"); })) << log.dump();
    const ClientInfo whileDisconnected = storedV1();
    EXPECT_EQ(whileDisconnected.latency, -1) << "a disconnected session keeps the defaults";
    EXPECT_STREQ(whileDisconnected.userName, "");
    EXPECT_EQ(simCounters().channelsOpened, 0);
    EXPECT_GE(taskRecords(log, "WARN",
                          "Session Connection State is not WFActive and not WFConnected. Waiting for connection..."),
              2);

    wfsim_set_connect_state(WFActive);  // during the 2 s back-off
    ASSERT_TRUE(waitUntil([] { return storedV1().userName[0] != '\0'; })) << log.dump();
    ASSERT_TRUE(waitUntil([] { return simCounters().dataAnswers >= 2; }));

    wfsim_set_connect_state(WFDisconnected);
    ASSERT_TRUE(waitUntil([&] { return log.has("Waiting3seconds. In Pending State"); })) << log.dump();
    const long long stopMs = runner.stopAndJoin();
    EXPECT_LT(stopMs, 1000) << "a stop ends the back-off wait at its next step";

    // 1 s, 2 s, then 4 s capped to 3 s; the failure after the success did not start over.
    const std::vector<std::string> expected = {"Waiting1seconds. In Pending State",
                                               "Waiting2seconds. In Pending State",
                                               "Waiting3seconds. In Pending State"};
    EXPECT_EQ(taskMessagesStartingWith(log, "Waiting"), expected);
    for (const auto& r : log.records()) {
        if (r.message.compare(0, 7, "Waiting") == 0) {
            EXPECT_EQ(r.severity, "ERROR");
        }
    }
    EXPECT_EQ(taskRecords(log, "DEBUG", kStopLine), 1);
    EXPECT_EQ(simCounters().channelsOpened, 1);
    expectNothingOutstanding();
}

TEST_F(MetricsTaskTest, NamelessAnswersGoToV2OnlyAndTheThirdOneInARowIsPending) {
    const ClientInfo sent = counterpartInfo("bob", "PC-7");
    wfsim_set_client_info(&sent);
    ClientInfoV2Ext ext;
    std::memset(&ext, 0, sizeof ext);
    resetClientInfoV2Ext(&ext);
    setText(ext.extText1, "ext-one");
    ext.extValue1 = 11;
    ext.extValue3 = 33;
    wfsim_set_client_info_v2(&ext, 1);
    wfsim_set_fault(WFSIM_FAULT_EMPTY_NAMES, -1);
    LogCapture log;
    TaskRunner runner(true, fastTimings(300000, 300000));
    ASSERT_TRUE(waitUntil([&] { return log.has("Waiting300seconds. In Pending State", "ERROR"); })) << log.dump();

    EXPECT_EQ(taskRecords(log, "ERROR", "[METRICS THREAD] : [clientInfo.userName] or [clientInfo.computerName] is empty."),
              1);
    const WfsimCounters c = simCounters();
    EXPECT_EQ(c.dataAnswers, 3);
    EXPECT_EQ(c.dataV2Answers, 2) << "the third nameless cycle skips the version-2 request";

    const ClientInfo v1 = storedV1();
    EXPECT_EQ(v1.latency, -1) << "nameless answers never reach the version-1 record";
    EXPECT_STREQ(v1.clientText1, "");
    const ClientInfoV2 v2 = storedV2();
    EXPECT_STREQ(v2.base.userName, "");
    EXPECT_STREQ(v2.base.computerName, "");
    EXPECT_STREQ(v2.base.clientText1, "Windows 11") << "the base is this cycle's version-1 data";
    EXPECT_GE(v2.base.latency, 0);
    EXPECT_NE(v2.base.latency, 12345);
    EXPECT_STREQ(v2.ext.extText1, "ext-one");
    EXPECT_EQ(v2.ext.extValue1, 11);
    EXPECT_EQ(v2.ext.extValue3, 33);

    const long long stopMs = runner.stopAndJoin();
    EXPECT_LT(stopMs, 1000) << "a stop ends even a 300 s back-off at its next step";
    EXPECT_EQ(runner.task().state(), Pending);
    EXPECT_EQ(taskRecords(log, "DEBUG", kStopLine), 1);
    EXPECT_EQ(log.countContaining("finished..."), 0);
    expectNothingOutstanding();
}

TEST_F(MetricsTaskTest, PingFailureBacksOffAndReopensTheChannel) {
    wfsim_set_fault(WFSIM_FAULT_READ_FAILS, 1);  // the very first read is a ping's
    LogCapture log;
    TaskRunner runner(false, fastTimings(100, 100));
    ASSERT_TRUE(waitUntil([] { return storedV1().userName[0] != '\0'; })) << log.dump();
    runner.stopAndJoin();

    const auto pingErrors = taskMessagesStartingWith(log, "SendBeginAndEndPing failed with error : -129, system error [");
    EXPECT_EQ(pingErrors.size(), 1u) << log.dump();
    EXPECT_EQ(taskRecords(log, "ERROR", "Waiting0seconds. In Pending State"), 1);
    EXPECT_EQ(taskRecords(log, "INFO", "[METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully"), 2);
    const WfsimCounters c = simCounters();
    EXPECT_EQ(c.channelsOpened, 2) << "the channel is opened anew after the pending state";
    EXPECT_EQ(c.calls[WFSIM_WFVirtualChannelQuery], 2);
    expectNothingOutstanding();
}

TEST_F(MetricsTaskTest, FailedIdentificationEndsTheTaskAndHoldsNothing) {
    struct Case {
        WfsimFault fault;
        const char* line;
    };
    const Case cases[] = {
        {WFSIM_FAULT_SESSION_ID_ZERO, "[METRICS THREAD] Exception: Session Connection ID is not valid."},
        {WFSIM_FAULT_SMC_OPEN_FAILS, "[METRICS THREAD] Exception: Cannot Open Session Handle."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        wfsim_reset();
        wfsim_set_fault(c.fault, 1);
        LogCapture log;
        TaskRunner runner(false, fastTimings(300000, 300000));
        ASSERT_TRUE(runner.endsWithin(5000)) << "the task ends by itself";
        runner.stopAndJoin();
        EXPECT_EQ(taskRecords(log, "ERROR", c.line), 1) << log.dump();
        EXPECT_EQ(taskRecords(log, "DEBUG", kFinishedLine), 1);
        EXPECT_EQ(taskRecords(log, "DEBUG", std::string(64, '=')), 4);
        EXPECT_EQ(log.countContaining("Stop flag"), 0);
        EXPECT_EQ(simCounters().channelsOpened, 0);
        expectNothingOutstanding();
    }
}

}  // namespace
