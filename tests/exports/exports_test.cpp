// End to end through the built DLL, loaded by path like a host agent loads it, against the
// substitute WFAPI.DLL (linked here, so the tests configure the very instance the DLL uses).
// The tests run in the order written: the first get call of the process happens in
// FirstCallStartsPollingThenDeliversVersion1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "citrix/wfapi_types.h"
#include "exports_host.h"
#include "wfapi/wfsim_control.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

struct Expected {
    const char* severity;
    const char* func;
    std::string message;
};

// Each expected record must appear, in this order, among the records (others may interleave).
void expectInOrder(const std::vector<LogRecord>& records, const std::vector<Expected>& expected,
                   const std::string& dump) {
    size_t at = 0;
    for (const auto& e : expected) {
        while (at < records.size() &&
               !(records[at].message == e.message && records[at].severity == e.severity && records[at].func == e.func))
            ++at;
        ASSERT_LT(at, records.size()) << "missing or out of order: " << e.severity << " [" << e.func << "] "
                                      << e.message << "\n--- log:\n"
                                      << dump;
        ++at;
    }
}

std::string dumpRecords(const std::vector<LogRecord>& records) {
    std::string out;
    for (const auto& r : records) out += r.severity + " [" + r.func + "] " + r.message + "\n";
    return out;
}

const char* const kImpl = "_icasrv_get_remote_info_impl";
const char* const kCleanup = "icasrv_cleanup";

// The client data every test session answers with.
void configureClient() {
    wfsim_reset();
    ClientInfo info;
    std::memset(&info, 0, sizeof info);
    std::strcpy(info.userName, "host.user");
    std::strcpy(info.computerName, "HOST-PC-01");
    std::strcpy(info.clientText3, "a longer text of the client");
    info.clientValue1 = 1234;
    info.clientReal1 = 2.5;
    wfsim_set_client_info(&info);
    ClientInfoV2Ext ext;
    std::memset(&ext, 0, sizeof ext);
    std::strcpy(ext.extText1, "ext-one");
    ext.extValue3 = 77;
    wfsim_set_client_info_v2(&ext, 1);
    wfsim_set_latency(30, 0);
}

bool v1HasData() { return std::strcmp(g_v1Copy.userName, "host.user") == 0; }

// Calls the version-1 export until its record carries the session's data.
bool pollV1UntilData() {
    return waitUntil([] { return dll().get(copyV1, nullptr) == ICASRV_OK && v1HasData(); }, 10000);
}

bool isDefaultRecord(const ClientInfo& info) {
    return info.latency == -1 && info.userName[0] == '\0' && info.computerName[0] == '\0' &&
           info.clientValue1 == -1 && info.readFailurePercent == -1 && info.clientReal1 == -1.0;
}

WfsimCounters counters() {
    WfsimCounters c;
    wfsim_get_counters(&c);
    return c;
}

void PLX_CDECL throwStandard(void*) { throw std::runtime_error("callback failed"); }
void PLX_CDECL throwText(void*) { throw "callback text"; }
void PLX_CDECL throwOther(void*) { throw 42; }

}  // namespace

TEST(Exports, WithoutWfapiEveryCallFailsAndNothingIsStarted) {
    // A host in a folder without WFAPI.DLL; its own log folder, so its file is told apart.
    const std::wstring folder = logRoot() + L"\\noapi";
    setLogFolder(folder);
    const std::wstring hostDir = exeDir() + L"\\..\\bin-noapi";
    ChildResult child =
        runChild(hostDir + L"\\noapi_host.exe", L"noapi \"" + exeDir() + L"\\plx_srv_citrix32.dll\"", hostDir);
    setLogFolder(logRoot() + L"\\main");
    ASSERT_EQ(child.exitCode, 0) << child.output;

    const std::string log = findLogFile(folder);
    ASSERT_FALSE(log.empty());
    std::vector<LogRecord> records = readLogRecords(log);
    int calls = 0, cleanups = 0;
    for (const auto& r : records) {
        calls += r.message == "Callling internal '_icasrv_get_remote_info_impl' function..." && r.func == kImpl;
        cleanups += r.message == "Callling internal 'icasrv_cleanup' function...";
        EXPECT_EQ(r.message.find("Resetting Platform Info"), std::string::npos) << r.message;
        EXPECT_EQ(r.message.find("metrics polling thread"), std::string::npos) << r.message;
        EXPECT_EQ(r.message.find("WFAPI dll unloaded"), std::string::npos) << r.message;
    }
    EXPECT_EQ(calls, 4);
    // The load error line ends in the system's own line break, so it is counted in the raw text.
    std::ifstream in(log, std::ios::binary);
    int loadErrors = 0;
    for (std::string line; std::getline(in, line);)
        loadErrors += line.find(" ERROR ") != std::string::npos && line.find("[initWFAPI@") != std::string::npos &&
                      line.find("] [WFAPI_WRAPPER] ERR : LoadLibraryW [WFAPI.DLL] failed with error : [") !=
                          std::string::npos;
    EXPECT_EQ(loadErrors, 4);
    // The cleanup before any call had no logger to write to; only the last one is logged.
    EXPECT_EQ(cleanups, 1) << dumpRecords(records);
    expectInOrder(records,
                  {{"DEBUG", kCleanup, "Callling internal 'icasrv_cleanup' function..."},
                   {"DEBUG", kCleanup, "Data polling thread stopped"},
                   {"VERB", kCleanup, "-----------------------------------"},
                   {"VERB", kCleanup, "--- CITRIX SERVER DLL LOG Finished"},
                   {"VERB", kCleanup, "-----------------------------------"}},
                  dumpRecords(records));
}

TEST(Exports, FirstCallStartsPollingThenDeliversVersion1) {
    configureClient();
    ASSERT_TRUE(productLog().empty()) << "no get call may have happened before this test";
    resetCallbackCounts();
    EXPECT_EQ(dll().get(copyV1, nullptr), ICASRV_STARTED);
    EXPECT_EQ(g_v1Calls, 0);

    // Right after -6 the task counts as running: 0 and a record (defaults, or data already).
    EXPECT_EQ(dll().get(copyV1, nullptr), ICASRV_OK);
    EXPECT_EQ(g_v1Calls, 1);
    EXPECT_TRUE(isDefaultRecord(g_v1Copy) || v1HasData()) << g_v1Copy.latency;

    ASSERT_TRUE(pollV1UntilData());
    EXPECT_STREQ(g_v1Copy.computerName, "HOST-PC-01");
    EXPECT_STREQ(g_v1Copy.clientText3, "a longer text of the client");
    EXPECT_EQ(g_v1Copy.clientValue1, 1234);
    EXPECT_EQ(g_v1Copy.clientReal1, 2.5);
    EXPECT_GE(g_v1Copy.latency, 0);
    EXPECT_GE(g_v1Copy.readFailurePercent, 0);
    EXPECT_LE(g_v1Copy.readFailurePercent, 100);
    EXPECT_EQ(g_v2Calls, 0);

    // The version-2 record of a version-1 task keeps its defaults, base and extension.
    EXPECT_EQ(dll().getV2(copyV2, nullptr), ICASRV_OK);
    EXPECT_EQ(g_v2Calls, 1);
    EXPECT_TRUE(isDefaultRecord(g_v2Copy.base));
    EXPECT_EQ(g_v2Copy.ext.extText1[0], '\0');
    EXPECT_EQ(g_v2Copy.ext.extValue1, -1);
    EXPECT_EQ(g_v2Copy.ext.extValue3, -1);

    const std::vector<LogRecord> records = readLogRecords(productLog());
    expectInOrder(records,
                  {{"INFO", "initGlobalData", "--- CITRIX SERVER DLL LOG Started ---"},
                   {"DEBUG", kImpl, "Callling internal '_icasrv_get_remote_info_impl' function..."},
                   {"INFO", kImpl, "Resetting Platform Info ( V1 and V2 )"},
                   {"INFO", kImpl,
                    "Platform Info _glClientInfo and _glClientInfo_v2 ( V1 and V2 ) has been resetted to default values"},
                   {"DEBUG", kImpl, "Creating a new metrics polling thread..."},
                   {"DEBUG", kImpl, "Metrics polling thread created successfully!"},
                   {"DEBUG", kImpl, "Callling internal '_icasrv_get_remote_info_impl' function..."}},
                  dumpRecords(records));
}

TEST(Exports, Version2TaskDeliversBaseAndExtension) {
    ASSERT_EQ(dll().cleanup(), 0);
    resetCallbackCounts();
    EXPECT_EQ(dll().getV2(copyV2, nullptr), ICASRV_STARTED);
    EXPECT_EQ(g_v2Calls, 0);
    ASSERT_TRUE(waitUntil(
        [] { return dll().getV2(copyV2, nullptr) == ICASRV_OK && std::strcmp(g_v2Copy.ext.extText1, "ext-one") == 0; },
        10000));
    EXPECT_STREQ(g_v2Copy.base.userName, "host.user");
    EXPECT_STREQ(g_v2Copy.base.computerName, "HOST-PC-01");
    EXPECT_GE(g_v2Copy.base.latency, 0);
    EXPECT_EQ(g_v2Copy.ext.extValue3, 77);
    // The same task keeps the version-1 record current too.
    EXPECT_EQ(dll().get(copyV1, nullptr), ICASRV_OK);
    EXPECT_TRUE(v1HasData());
    EXPECT_EQ(g_v1Calls, 1);
}

TEST(Exports, NullCallbacksCallNothingAndVersion2NullStartsVersion1Polling) {
    ASSERT_EQ(dll().cleanup(), 0);
    resetCallbackCounts();
    const WfsimCounters before = counters();
    EXPECT_EQ(dll().getV2(nullptr, nullptr), ICASRV_STARTED);
    EXPECT_EQ(dll().get(nullptr, nullptr), ICASRV_OK);
    EXPECT_EQ(dll().getV2(nullptr, nullptr), ICASRV_OK);
    EXPECT_EQ(g_v1Calls + g_v2Calls, 0);
    // Two data cycles, and not one version-2 request among them.
    ASSERT_TRUE(waitUntil([&] { return counters().dataAnswers - before.dataAnswers >= 2; }, 10000));
    EXPECT_EQ(counters().dataV2Answers, before.dataV2Answers);
    EXPECT_TRUE(pollV1UntilData());
}

TEST(Exports, ConcurrentFirstCallsStartExactlyOneTask) {
    ASSERT_EQ(dll().cleanup(), 0);
    LogCapture capture(productLog());
    std::atomic<bool> go{false};
    std::vector<int32_t> results(8, 99);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            results[i] = dll().get(copyV1, nullptr);
        });
    go = true;
    for (auto& t : threads) t.join();
    int started = 0, delivered = 0;
    for (int32_t r : results) {
        started += r == ICASRV_STARTED;
        delivered += r == ICASRV_OK;
    }
    EXPECT_EQ(started, 1);
    EXPECT_EQ(delivered, 7);
    ASSERT_TRUE(pollV1UntilData());
    ASSERT_EQ(dll().cleanup(), 0);
    EXPECT_EQ(capture.countContaining("Creating a new metrics polling thread..."), 1);
    EXPECT_EQ(capture.countContaining("[METRICS THREAD] : started..."), 1) << capture.dump();
    EXPECT_EQ(wfsim_outstanding(), 0);
}

TEST(Exports, ThrowingCallbackGivesMinus3AndReleasesTheLocks) {
    dll().get(copyV1, nullptr);
    ASSERT_TRUE(pollV1UntilData());
    LogCapture capture(productLog());
    EXPECT_EQ(dll().get(throwStandard, nullptr), ICASRV_EXCEPTION);
    EXPECT_EQ(dll().getV2(throwText, nullptr), ICASRV_EXCEPTION);
    EXPECT_EQ(dll().get(throwOther, nullptr), ICASRV_EXCEPTION);
    // Both locks were released on the way out: the next calls deliver, and polling goes on.
    resetCallbackCounts();
    EXPECT_EQ(dll().get(copyV1, nullptr), ICASRV_OK);
    EXPECT_EQ(g_v1Calls, 1);
    const std::vector<LogRecord> records = capture.records();
    expectInOrder(records,
                  {{"ERROR", kImpl, "[GET PLATFORM INFO] Exception: callback failed"},
                   {"ERROR", kImpl, "[GET PLATFORM INFO] Exception: callback text"},
                   {"ERROR", kImpl, "[GET PLATFORM INFO] Unknown Exception."}},
                  dumpRecords(records));
}

TEST(Exports, CleanupIsPromptBetweenCyclesAndInBackoffAndReleasesEverything) {
    const std::vector<Expected> cleanupLines = {
        {"DEBUG", kCleanup, "Callling internal 'icasrv_cleanup' function..."},
        {"DEBUG", kCleanup, "Citrix server dll cleanup started..."},
        {"DEBUG", kCleanup, "Stopping data polling thread..."},
        {"DEBUG", "OxMetricsTask::run", "[METRICS THREAD] : Stop flag has been set."},
        {"DEBUG", kCleanup, "Data polling thread stopped"},
        {"DEBUG", kCleanup, "Unloading WFAPI dll..."},
        {"INFO", "closeWFAPI", "[WFAPI_WRAPPER] : WFAPI dll unloaded"},
        {"VERB", kCleanup, "-----------------------------------"},
        {"VERB", kCleanup, "--- CITRIX SERVER DLL LOG Finished"},
        {"VERB", kCleanup, "-----------------------------------"}};

    // Between cycles: once the second cycle's data request was answered (the first two cycles
    // follow each other at once), the task waits 3 s for its next cycle.
    ASSERT_EQ(dll().cleanup(), 0);
    const LONG answersBefore = counters().dataAnswers;
    EXPECT_EQ(dll().get(copyV1, nullptr), ICASRV_STARTED);
    ASSERT_TRUE(waitUntil([&] { return counters().dataAnswers - answersBefore >= 2; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        LogCapture capture(productLog());
        const auto start = Clock::now();
        EXPECT_EQ(dll().cleanup(), 0);
        EXPECT_LT(msSince(start), 1000);
        const std::vector<LogRecord> records = capture.records();
        expectInOrder(records, cleanupLines, dumpRecords(records));
        EXPECT_EQ(wfsim_outstanding(), 0);
    }

    // In a back-off: a disconnected session sends the new task into a 60 s wait.
    struct Reconnect {
        ~Reconnect() { wfsim_set_connect_state(WFActive); }
    } reconnect;
    wfsim_set_connect_state(WFDisconnected);
    {
        LogCapture capture(productLog());
        EXPECT_EQ(dll().get(copyV1, nullptr), ICASRV_STARTED);
        ASSERT_TRUE(waitUntil([&] { return capture.has("Waiting60seconds. In Pending State", "ERROR"); }, 5000))
            << capture.dump();
        const auto start = Clock::now();
        EXPECT_EQ(dll().cleanup(), 0);
        EXPECT_LT(msSince(start), 1000);
        const std::vector<LogRecord> records = capture.records();
        expectInOrder(records, cleanupLines, dumpRecords(records));
        EXPECT_EQ(wfsim_outstanding(), 0);
    }
}

TEST(Exports, CleanupTwiceIsHarmlessAndGetStartsAfresh) {
    ASSERT_EQ(dll().cleanup(), 0);
    LogCapture capture(productLog());
    EXPECT_EQ(dll().cleanup(), 0);
    EXPECT_EQ(dll().cleanup(), 0);
    EXPECT_EQ(capture.countContaining("Callling internal 'icasrv_cleanup' function..."), 2);
    EXPECT_EQ(capture.countContaining("WFAPI dll unloaded"), 0);

    resetCallbackCounts();
    EXPECT_EQ(dll().get(copyV1, nullptr), ICASRV_STARTED);
    EXPECT_EQ(g_v1Calls, 0);
    EXPECT_TRUE(capture.has("[WFAPI_WRAPPER] : initializing...", "INFO")) << capture.dump();
    EXPECT_TRUE(capture.has("Resetting Platform Info ( V1 and V2 )", "INFO"));
    // A fresh start: the records were reset, then the new task delivers again.
    EXPECT_EQ(dll().get(copyV1, nullptr), ICASRV_OK);
    EXPECT_TRUE(isDefaultRecord(g_v1Copy) || v1HasData());
    EXPECT_TRUE(pollV1UntilData());
    EXPECT_EQ(dll().cleanup(), 0);
    EXPECT_EQ(wfsim_outstanding(), 0);
}

TEST(Exports, HostThatExitsWithoutCleanupEndsNormally) {
    const std::wstring hostDir = exeDir() + L"\\..\\bin-noapi";
    const std::wstring folder = logRoot() + L"\\exit";
    setLogFolder(folder);
    wchar_t path[32767];
    GetEnvironmentVariableW(L"PATH", path, 32767);
    ChildResult child = runChild(hostDir + L"\\noapi_host.exe", L"exit \"" + exeDir() + L"\\plx_srv_citrix32.dll\"",
                                 hostDir, L"PATH=" + exeDir() + L";" + path);
    setLogFolder(logRoot() + L"\\main");
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_NE(child.output.find("data arrived"), std::string::npos) << child.output;
}
