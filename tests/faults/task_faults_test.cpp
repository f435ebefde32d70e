// Faults that cost whole channel time-outs (5 s per read with the library's own timings), met
// by the polling task of plx_core built with short timings through OxMetricsTimings.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "citrix/wfapi_loader.h"
#include "faults/faults_host.h"
#include "protocol/client_info.h"
#include "tasks/ox_metrics_task.h"
#include "wfsim_control.h"

using faults::accountingProblems;
using faults::dump;
using faults::waitUntil;

namespace {

const char* const kRun = "OxMetricsTask::run";
const char* const kUser = "task.user";

OxMetricsTimings shortTimings() {
    OxMetricsTimings t;
    t.pollIntervalMs = 30;
    t.firstPendingWaitMs = 1000;
    t.maxPendingWaitMs = 2000;
    t.readTimeoutMs = 150;
    return t;
}

class TaskRun {
public:
    explicit TaskRun(bool pollV2) : m_task(new OxMetricsTask(pollV2, shortTimings())) {
        m_thread = std::thread([this] { m_task->execute(); });
    }
    ~TaskRun() { stop(); }
    void stop() {
        if (!m_thread.joinable()) return;
        m_task->stop();
        m_thread.join();
    }

private:
    std::unique_ptr<OxMetricsTask> m_task;
    std::thread m_thread;
};

ClientInfo storedV1() {
    std::lock_guard<std::mutex> lock(_glClientInfoMutex);
    return _glClientInfo;
}

ClientInfoV2 storedV2() {
    std::lock_guard<std::mutex> lock(_glClientInfoMutex);
    return _glClientInfo_v2;
}

bool has(const LogCapture& log, const char* severity, const char* func, const std::string& message) {
    for (const auto& r : log.records())
        if (r.severity == severity && r.func == func && r.message == message) return true;
    return false;
}

int count(const LogCapture& log, const char* func, const std::string& message) {
    int n = 0;
    for (const auto& r : log.records()) n += r.func == func && r.message == message;
    return n;
}

class TaskFaults : public ::testing::Test {
protected:
    void SetUp() override { prepare(); }
    void TearDown() override { EXPECT_EQ(accountingProblems(), ""); }

    // A healthy session and records at their defaults.
    static void prepare() {
        ensureTestLog();
        ASSERT_TRUE(loadWFAPIWrapper());
        wfsim_reset();
        wfsim_set_latency(5, 0);
        ClientInfo info;
        std::memset(&info, 0, sizeof info);
        std::strcpy(info.userName, kUser);
        wfsim_set_client_info(&info);
        std::lock_guard<std::mutex> lock(_glClientInfoMutex);
        resetClientInfo(&_glClientInfo);
        resetClientInfo(&_glClientInfo_v2.base);
        resetClientInfoV2Ext(&_glClientInfo_v2.ext);
    }
};

}  // namespace

// A read that waits out its time-out and a counterpart that stops answering both fail the
// ping; the task backs off, opens the channel anew and delivers once the channel answers.
TEST_F(TaskFaults, TimedOutReadsAndASilentCounterpartBackOffThenRecover) {
    const struct {
        int fault;
        int count;
    } cases[] = {{WFSIM_FAULT_READ_TIMEOUT, 1}, {WFSIM_FAULT_NO_ANSWER, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        prepare();
        wfsim_set_fault(c.fault, c.count);
        LogCapture log;
        TaskRun task(false);
        ASSERT_TRUE(waitUntil([&] { return has(log, "ERROR", kRun, "Waiting1seconds. In Pending State"); }, 10000))
            << dump(log.records());
        EXPECT_TRUE(has(log, "ERROR", "SendBeginAndEndPing", "PONG response eeading error:258")) << dump(log.records());
        EXPECT_EQ(log.countContaining("SendBeginAndEndPing failed with error : -129, system error ["), 1);
        EXPECT_EQ(storedV1().latency, -1) << "nothing stored while the counterpart is silent";

        wfsim_set_fault(c.fault, 0);
        ASSERT_TRUE(waitUntil([] { return std::strcmp(storedV1().userName, kUser) == 0; }, 10000))
            << dump(log.records());
        const int opened =
            count(log, kRun, "[METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully");
        EXPECT_GE(opened, 2) << "the channel is opened anew after a back-off";
        task.stop();
        WfsimCounters counters{};
        wfsim_get_counters(&counters);
        EXPECT_EQ(counters.channelsOpened, opened);
        EXPECT_EQ(counters.channelsClosed, opened) << "each reopen closes the channel it replaces";
        EXPECT_EQ(accountingProblems(), "");
    }
}

// An old client never answers version-2 requests: five timed-out reads per cycle, the warning,
// and the polling goes on at its normal pace with the version-1 record kept current.
TEST_F(TaskFaults, OldClientWithoutVersion2KeepsVersion1Current) {
    ClientInfoV2Ext ext;
    std::memset(&ext, 0, sizeof ext);
    wfsim_set_client_info_v2(&ext, 0);
    LogCapture log;
    TaskRun task(true);
    ASSERT_TRUE(waitUntil([&] { return log.countContaining("SendDataReq_v2 failed") >= 2; }, 15000))
        << dump(log.records());
    task.stop();

    const std::string failedRead = "VirtualChannelRead Failed 258\n";
    EXPECT_EQ(count(log, "SendDataReq_v2", "ERROR reading failed...") % 5, 0);
    EXPECT_GE(count(log, "SendDataReq_v2", failedRead), 10) << dump(log.records());
    EXPECT_TRUE(has(log, "WARN", "SendDataReq_v2", "didn't get data v2 (maybe old client)..."));
    EXPECT_TRUE(has(log, "ERROR", "SendDataReq_v2", "ERROR reading length..."));
    EXPECT_EQ(log.countContaining("Pending State"), 0) << "a failed data request is no reason to back off";
    EXPECT_STREQ(storedV1().userName, kUser);
    EXPECT_EQ(storedV2().base.latency, -1) << "the version-2 record is stored only with an answer";
    EXPECT_EQ(storedV2().ext.extValue1, -1);
}
