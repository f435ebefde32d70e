// End to end through the built DLL, loaded by path as a host agent loads it, against the
// substitute WFAPI.DLL linked into this program (the very instance the DLL uses). The tests run
// in the order written: the first get call of the process is in the second one.
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "citrix/wfapi_types.h"
#include "dll_host.h"

namespace {

const char *const kImpl = "_icasrv_get_remote_info_impl", *const kCleanup = "icasrv_cleanup";
const std::string kCalling = "Callling internal '_icasrv_get_remote_info_impl' function...", kHyphens(35, '-');
const std::vector<Line> kCleanupLines = {
    {"DEBUG", kCleanup, "Callling internal 'icasrv_cleanup' function..."}, {"DEBUG", kCleanup, "Citrix server dll cleanup started..."},
    {"DEBUG", kCleanup, "Stopping data polling thread..."}, {"DEBUG", "OxMetricsTask::run", "[METRICS THREAD] : Stop flag has been set."},
    {"DEBUG", kCleanup, "Data polling thread stopped"}, {"DEBUG", kCleanup, "Unloading WFAPI dll..."},
    {"INFO", "closeWFAPI", "[WFAPI_WRAPPER] : WFAPI dll unloaded"}, {"VERB", kCleanup, kHyphens},
    {"VERB", kCleanup, "--- CITRIX SERVER DLL LOG Finished"}, {"VERB", kCleanup, kHyphens}};

bool pollUntilData(bool v2) {
    return waitUntil([v2] { return call(v2) == ICASRV_OK && hasData(v2 ? g_v2.base : g_v1); }, 10000);
}

int dataAnswers(bool v2 = false) {
    WfsimCounters c{};
    wfsim_get_counters(&c);
    return v2 ? c.dataV2Answers : c.dataAnswers;
}

// Runs noapi_host (tests/exports/noapi) with its log in a folder of its own; returns what it
// printed and its log.
std::pair<std::string, std::string> runHost(const wchar_t* mode, const std::wstring& workDir) {
    const std::wstring folder = logRoot() + L"\\" + mode;
    setLogFolder(folder);
    const ChildResult child = runChild(exeDir() + L"\\..\\bin-noapi\\noapi_host.exe",
                                       std::wstring(mode) + L" \"" + exeDir() + L"\\plx_srv_citrix32.dll\"", workDir);
    setLogFolder(logRoot() + L"\\dll");
    EXPECT_EQ(child.exitCode, 0) << child.output;
    const std::vector<std::wstring> logs = logFiles(folder);
    return {child.output, logs.size() == 1 ? std::filesystem::path(logs[0]).u8string() : ""};
}

}  // namespace

TEST(Exports, WithoutWfapiEveryCallFailsAndNothingIsStarted) {
    const auto [output, log] = runHost(L"noapi", exeDir() + L"\\..\\bin-noapi");
    EXPECT_EQ(output, "results 0 -10 -10 -10 -10 0, 0 callbacks\r\n") << "cleanup, four get calls, cleanup";
    ASSERT_FALSE(log.empty());
    const std::vector<LogRecord> records = readLogRecords(log);
    int calls = 0, loadErrors = 0, cleanups = 0;
    for (const auto& r : records) {
        calls += r.message == kCalling && r.func == kImpl;
        loadErrors += r.severity == "ERROR" && r.func == "initWFAPI" &&
                      r.message.rfind("[WFAPI_WRAPPER] ERR : LoadLibraryW [WFAPI.DLL] failed with error : [", 0) == 0;
        cleanups += r.message == kCleanupLines[0].text;
        for (const char* never : {"Resetting Platform Info", "metrics polling thread", "Stop flag", "WFAPI dll unloaded"})
            EXPECT_EQ(r.message.find(never), std::string::npos) << r.message;
    }
    EXPECT_TRUE(calls == 4 && loadErrors == 4) << calls << " calls, " << loadErrors << " load errors";
    EXPECT_EQ(cleanups, 1) << "the cleanup before any call has no logger to write to";
    std::vector<Line> cleanupLines;
    std::copy_if(kCleanupLines.begin(), kCleanupLines.end(), std::back_inserter(cleanupLines),
                 [](const Line& l) { return l.func == kCleanup; });
    EXPECT_EQ(missingInOrder(records, cleanupLines), "");
}

TEST(Exports, FirstCallStartsPollingThenDeliversVersion1) {
    configureSession();
    ASSERT_TRUE(productLog().empty()) << "no get call may have happened before this test";
    EXPECT_EQ(call(false), ICASRV_STARTED);
    EXPECT_EQ(g_v1Calls, 0);
    EXPECT_EQ(call(false), ICASRV_OK);  // the task counts as running right after -6
    EXPECT_EQ(g_v1Calls, 1);
    EXPECT_TRUE(atDefaults(g_v1) || hasData(g_v1));
    ASSERT_TRUE(pollUntilData(false));
    EXPECT_TRUE(std::strcmp(g_v1.userName, "host.user") == 0 && std::strcmp(g_v1.computerName, "HOST-PC-01") == 0);
    EXPECT_TRUE(std::strcmp(g_v1.clientText3, "a longer text of the client") == 0 && g_v1.clientValue1 == 1234 && g_v1.clientReal1 == 2.5);
    EXPECT_TRUE(g_v1.readFailurePercent >= 0 && g_v1.readFailurePercent <= 100) << g_v1.readFailurePercent;
    // The version-2 record of a version-1 task keeps its defaults, base and extension.
    EXPECT_EQ(g_v2Calls, 0);
    EXPECT_EQ(call(true), ICASRV_OK);
    EXPECT_EQ(g_v2Calls, 1);
    EXPECT_TRUE(atDefaults(g_v2.base) && g_v2.ext.extText1[0] == '\0' && g_v2.ext.extValue1 == -1 && g_v2.ext.extValue3 == -1);
    EXPECT_EQ(missingInOrder(readLogRecords(productLog()),
                             {{"INFO", "initGlobalData", "--- CITRIX SERVER DLL LOG Started ---"}, {"DEBUG", kImpl, kCalling},
                              {"INFO", kImpl, "Resetting Platform Info ( V1 and V2 )"},
                              {"INFO", kImpl, "Platform Info _glClientInfo and _glClientInfo_v2 ( V1 and V2 ) has been resetted to default values"},
                              {"DEBUG", kImpl, "Creating a new metrics polling thread..."},
                              {"DEBUG", kImpl, "Metrics polling thread created successfully!"}, {"DEBUG", kImpl, kCalling}}),
              "");
}

TEST(Exports, CleanupTwiceThenVersion2TaskAndNullCallbacks) {
    ASSERT_EQ(dll().cleanup(), 0);
    LogCapture capture(productLog());
    EXPECT_TRUE(dll().cleanup() == 0 && dll().cleanup() == 0);
    EXPECT_EQ(capture.countContaining(kCleanupLines[0].text), 2);
    EXPECT_EQ(capture.countContaining("WFAPI dll unloaded"), 0);
    g_v1Calls = g_v2Calls = 0;
    EXPECT_EQ(call(true), ICASRV_STARTED);  // a start afresh: WFAPI loaded again, records reset
    EXPECT_EQ(g_v2Calls, 0);
    EXPECT_TRUE(capture.has("[WFAPI_WRAPPER] : initializing...", "INFO") && capture.has("Resetting Platform Info ( V1 and V2 )", "INFO"))
        << capture.dump();
    ASSERT_TRUE(waitUntil([] { return call(true) == ICASRV_OK && std::strcmp(g_v2.ext.extText1, "ext-one") == 0; }, 10000));
    EXPECT_TRUE(std::strcmp(g_v2.base.userName, "host.user") == 0 && std::strcmp(g_v2.base.computerName, "HOST-PC-01") == 0);
    EXPECT_TRUE(g_v2.base.latency >= 0 && g_v2.ext.extValue3 == 77);
    EXPECT_EQ(call(false), ICASRV_OK);  // the same task keeps the version-1 record current
    EXPECT_STREQ(g_v1.userName, "host.user");
    EXPECT_EQ(g_v1Calls, 1);

    // A version-2 call with a null callback starts a task without version-2 requests.
    ASSERT_EQ(dll().cleanup(), 0);
    EXPECT_EQ(accountingProblems(), "");
    g_v1Calls = g_v2Calls = 0;
    const int v1Before = dataAnswers(), v2Before = dataAnswers(true);
    EXPECT_EQ(dll().getV2(nullptr, nullptr), ICASRV_STARTED);
    EXPECT_TRUE(dll().get(nullptr, nullptr) == ICASRV_OK && dll().getV2(nullptr, nullptr) == ICASRV_OK);
    EXPECT_EQ(g_v1Calls + g_v2Calls, 0);
    ASSERT_TRUE(waitUntil([&] { return dataAnswers() - v1Before >= 2; }, 10000));
    EXPECT_EQ(dataAnswers(true), v2Before);
    EXPECT_TRUE(pollUntilData(false));
}

TEST(Exports, ConcurrentFirstCallsStartOneTaskAndThrowingCallbacksGiveMinus3) {
    ASSERT_EQ(dll().cleanup(), 0);
    LogCapture capture(productLog());
    std::atomic<bool> go{false};
    std::atomic<int> started{0}, delivered{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            const int32_t rc = dll().get(copyV1, nullptr);
            started += rc == ICASRV_STARTED, delivered += rc == ICASRV_OK;
        });
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_TRUE(started == 1 && delivered == 7) << started << " started, " << delivered << " delivered";
    ASSERT_TRUE(pollUntilData(false));

    // Each kind of exception from a callback is caught and logged, and both locks are released.
    EXPECT_EQ(dll().get([](void*) { throw std::runtime_error("callback failed"); }, nullptr), ICASRV_EXCEPTION);
    EXPECT_EQ(dll().getV2([](void*) { throw "callback text"; }, nullptr), ICASRV_EXCEPTION);
    EXPECT_EQ(dll().get([](void*) { throw 42; }, nullptr), ICASRV_EXCEPTION);
    g_v1Calls = 0;
    EXPECT_EQ(call(false), ICASRV_OK);
    EXPECT_EQ(g_v1Calls, 1);
    ASSERT_EQ(dll().cleanup(), 0);
    EXPECT_EQ(capture.countContaining("Creating a new metrics polling thread..."), 1);
    EXPECT_EQ(capture.countContaining("[METRICS THREAD] : started..."), 1) << capture.dump();
    EXPECT_EQ(missingInOrder(capture.records(), {{"ERROR", kImpl, "[GET PLATFORM INFO] Exception: callback failed"},
                                                 {"ERROR", kImpl, "[GET PLATFORM INFO] Exception: callback text"},
                                                 {"ERROR", kImpl, "[GET PLATFORM INFO] Unknown Exception."}}),
              "");
    EXPECT_EQ(accountingProblems(), "");
}

TEST(Exports, CleanupIsPromptBetweenCyclesAndInBackoffAndReleasesEverything) {
    struct Reconnect {
        ~Reconnect() { wfsim_set_connect_state(WFActive); }
    } reconnect;
    for (const bool backoff : {false, true}) {
        SCOPED_TRACE(backoff ? "in a 60 s back-off" : "between cycles");
        wfsim_set_connect_state(backoff ? WFDisconnected : WFActive);
        const int before = dataAnswers();
        LogCapture capture(productLog());
        EXPECT_EQ(call(false), ICASRV_STARTED);
        // Between cycles: the first two cycles follow each other at once, then the task waits 3 s.
        ASSERT_TRUE(waitUntil([&] { return backoff ? capture.has("Waiting60seconds. In Pending State", "ERROR")
                                                   : dataAnswers() - before >= 2; }, backoff ? 5000 : 10000)) << capture.dump();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(dll().cleanup(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
        EXPECT_EQ(missingInOrder(capture.records(), kCleanupLines), "");
        EXPECT_EQ(accountingProblems(), "");
    }
}

// The polling thread still runs when the host leaves main: the process must end normally.
TEST(Exports, HostThatExitsWithoutCleanupEndsNormally) {
    EXPECT_EQ(runHost(L"exit", exeDir()).first, "first -6, last 0, data arrived\r\n");
}
