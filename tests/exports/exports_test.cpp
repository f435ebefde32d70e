// The built DLL, loaded by path as a host loads it, against the substitute WinFrame API linked into
// this program (the very instance the DLL uses). The first get call of the process is in FirstCall...
#include <stdexcept>
#include <thread>

#include "citrix/wfapi_types.h"
#include "dll_host.h"

const char *const kImpl = "_icasrv_get_remote_info_impl", *const kCleanup = "icasrv_cleanup";
const std::string kCalling = "Callling internal '_icasrv_get_remote_info_impl' function...", kHyphens(35, '-');
const std::vector<Line> kCleanupLines = {
    {"DEBUG", kCleanup, "Callling internal 'icasrv_cleanup' function..."},
    {"DEBUG", kCleanup, "Citrix server dll cleanup started..."}, {"DEBUG", kCleanup, "Stopping data polling thread..."},
    {"DEBUG", "OxMetricsTask::run", "[METRICS THREAD] : Stop flag has been set."},
    {"DEBUG", kCleanup, "Data polling thread stopped"}, {"DEBUG", kCleanup, "Unloading WFAPI dll..."},
    {"INFO", "closeWFAPI", "[WFAPI_WRAPPER] : WFAPI dll unloaded"}, {"VERB", kCleanup, kHyphens},
    {"VERB", kCleanup, "--- CITRIX SERVER DLL LOG Finished"}, {"VERB", kCleanup, kHyphens}};

// Runs bin-noapi\child_host.exe with the DLL and the mode, logging into folder.
static ChildResult runChildHost(const std::wstring& mode, const std::wstring& folder) {
    const std::wstring hostDir = exeDir() + L"\\..\\bin-noapi";
    setLogFolder(folder);
    ChildResult child =
        runChild(hostDir + L"\\child_host.exe", L"\"" + exeDir() + L"\\" PLX_DLL_NAME_W L"\" " + mode, hostDir);
    setLogFolder(logRoot() + L"\\dll");
    return child;
}

// A C++ exception of a host built with this toolchain: on x86_64 an SEH exception that the library's
// handlers catch across modules (Exports.ConcurrentFirstCalls...). On i686 it unwinds by DWARF tables,
// kept per module: the host's runtime cannot see the library's frames, finds no handler and terminates
// the host. The library cannot catch it there, so the header tells hosts not to let one escape.
#ifndef _WIN64
TEST(ChildHosts, ToolchainCxxExceptionFromACallbackEndsA32BitHost) {
    const ChildResult child = runChildHost(L"throw \"" + exeDir() + L"\\" PLX_WFAPI_NAME_W L"\"", logRoot() + L"\\throw");
    EXPECT_EQ(child.exitCode, 3) << "abort()";
    EXPECT_EQ(child.output.rfind("started -6\r\nterminate called after throwing an instance of 'std::runtime_error'", 0),
              0u) << child.output;
}
#endif

TEST(ChildHosts, WithoutWfapiEveryCallFailsAndNothingIsStarted) {
    // child_host (tests/exports/child) runs in a folder without the WinFrame API, with a log folder of its own.
    const std::wstring folder = logRoot() + L"\\noapi";
    const ChildResult child = runChildHost(L"noapi", folder);
    EXPECT_EQ(child.output, "results 0 -10 -10 -10 -10 0, 0 callbacks\r\n") << "cleanup, four get calls, cleanup";
    const std::vector<std::wstring> logs = logFiles(folder);
    ASSERT_EQ(logs.size(), 1u);
    const std::vector<LogRecord> records = readLogRecords(std::filesystem::path(logs[0]).u8string());
    int calls = 0, loadErrors = 0, cleanups = 0;
    for (const auto& r : records) {
        calls += r.severity == "DEBUG" && r.func == kImpl && r.message == kCalling;
        loadErrors += r.severity == "ERROR" && r.func == "initWFAPI" &&
                      r.message.rfind("[WFAPI_WRAPPER] ERR : LoadLibraryW [" PLX_WFAPI_NAME "] failed with error : [", 0) == 0;
        cleanups += r.severity == "DEBUG" && r.func == kCleanup && r.message == kCleanupLines[0].text;
        for (const char* never : {"Resetting Platform", "metrics polling thread", "Stop flag", "WFAPI dll unloaded"})
            EXPECT_EQ(r.message.find(never), std::string::npos) << r.message;  // nothing reset, started or unloaded
    }
    // Every call tries the load again; the cleanup before any call has no logger to write to.
    EXPECT_TRUE(calls == 4 && loadErrors == 4 && cleanups == 1) << calls << ", " << loadErrors << ", " << cleanups;
}

TEST(Exports, FirstCallStartsPollingThenDeliversVersion1) {
    reloadDll();
    configureSession();
    wfsim_set_latency(2000, 0);  // the first cycle's first ping takes 2 s
    EXPECT_EQ(callCounted(false), std::make_pair(ICASRV_STARTED, 0));
    EXPECT_EQ(callCounted(false), std::make_pair(ICASRV_OK, 1));  // the task counts as running right after -6
    EXPECT_TRUE(atDefaults(g_v1)) << "no cycle has talked to the client yet";
    ASSERT_TRUE(waitUntil([] { return counters().writes > 0; }));  // the slow ping is on its way
    wfsim_set_latency(20, 0);
    ASSERT_TRUE(pollUntilData(false));
    EXPECT_TRUE(std::strcmp(g_v1.userName, "host.user") == 0 && std::strcmp(g_v1.computerName, "HOST-PC-01") == 0 &&
                g_v1.clientValue1 == 1234 && g_v1.clientReal1 == 2.5);
    EXPECT_EQ(g_v1.readFailurePercent, 0) << "no read failed; the client's 55 never reaches the host";
    // The version-2 record of a version-1 task keeps its defaults, base and extension.
    EXPECT_EQ(callCounted(true), std::make_pair(ICASRV_OK, 1));
    EXPECT_TRUE(atDefaults(g_v2.base) && !g_v2.ext.extText1[0] && g_v2.ext.extValue1 == -1 && g_v2.ext.extValue3 == -1);
    EXPECT_EQ(missingInOrder(readLogRecords(productLog()),
                             {{"INFO", "initGlobalData", "--- CITRIX SERVER DLL LOG Started ---"},
                              {"DEBUG", kImpl, kCalling},
                              {"INFO", kImpl, "Resetting Platform Info ( V1 and V2 )"},
                              {"INFO", kImpl, "Platform Info _glClientInfo and _glClientInfo_v2 ( V1 and V2 ) has been "
                                              "resetted to default values"},
                              {"DEBUG", kImpl, "Creating a new metrics polling thread..."},
                              {"DEBUG", kImpl, "Metrics polling thread created successfully!"},
                              {"DEBUG", kImpl, kCalling}}),
              "");
}

TEST(Exports, CleanupTwiceThenVersion2TaskAndNullCallbacks) {
    LogCapture capture(startedLog());
    configureSession();
    EXPECT_TRUE(dll().cleanup() == 0 && dll().cleanup() == 0);
    EXPECT_EQ(capture.countContaining(kCleanupLines[0].text), 2);
    EXPECT_EQ(capture.countContaining("WFAPI dll unloaded"), 0);
    EXPECT_EQ(callCounted(true), std::make_pair(ICASRV_STARTED, 0));  // a fresh start: WFAPI loaded, records reset
    EXPECT_TRUE(capture.has("[WFAPI_WRAPPER] : initializing...", "INFO") &&
                capture.has("Resetting Platform Info ( V1 and V2 )", "INFO"))
        << capture.dump();
    ASSERT_TRUE(waitUntil([] { return call(true) == ICASRV_OK && !std::strcmp(g_v2.ext.extText1, "ext-one"); }, 10000));
    EXPECT_TRUE(!std::strcmp(g_v2.base.userName, "host.user") && !std::strcmp(g_v2.base.computerName, "HOST-PC-01") &&
                g_v2.base.latency >= 0 && g_v2.ext.extValue3 == 77);
    EXPECT_EQ(callCounted(false), std::make_pair(ICASRV_OK, 1));  // the same task keeps the version-1 record current
    EXPECT_STREQ(g_v1.userName, "host.user");

    // A version-2 call with a null callback starts a task without version-2 requests.
    ASSERT_EQ(dll().cleanup(), 0);
    EXPECT_EQ(accountingProblems(), "");
    g_v1Calls = g_v2Calls = 0;
    const WfsimCounters before = counters();
    EXPECT_TRUE(dll().getV2(nullptr, nullptr) == ICASRV_STARTED && dll().get(nullptr, nullptr) == ICASRV_OK &&
                dll().getV2(nullptr, nullptr) == ICASRV_OK);
    EXPECT_EQ(g_v1Calls + g_v2Calls, 0);
    ASSERT_TRUE(waitUntil([&] { return counters().dataAnswers - before.dataAnswers >= 2; }, 10000));
    EXPECT_EQ(counters().dataV2Answers, before.dataV2Answers);
    EXPECT_TRUE(pollUntilData(false));
}

TEST(Exports, ConcurrentFirstCallsStartOneTaskAndRaisingCallbacksGiveMinus3) {
    LogCapture capture(startedLog());
    configureSession();
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

    // Whatever a callback raises is caught and logged, and both locks are released: an MSVC-built host's
    // C++ throw (SEH 0xE06D7363) and an access violation in host code on both architectures; this
    // toolchain's own C++ exceptions where they can cross modules (x86_64; see ChildHosts for i686).
    struct Raised { RemoteInfoCallback callback; std::vector<Line> lines; };
    const auto foreign = [](const char* code) {
        return std::vector<Line>{{"WARN", "callHostCallback", std::string("The host's callback raised exception ") +
                                                                  code + "; the call returns -3"},
                                 {"ERROR", kImpl, "[GET PLATFORM INFO] Unknown Exception."}};
    };
    const auto raiseLikeMsvc = [](void*) {  // RaiseException with the C++ exception code and its magic
        const ULONG_PTR info[4] = {0x19930520, 0, 0, 0};
        RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, sizeof(void*) == 8 ? 4 : 3, info);
    };
    std::vector<Raised> raised = {{raiseLikeMsvc, foreign("0xE06D7363")},
                                  {[](void*) { *(volatile int*)nullptr = 1; }, foreign("0xC0000005")}};
#ifdef _WIN64
    raised.push_back({[](void*) { throw std::runtime_error("callback failed"); },
                      {{"ERROR", kImpl, "[GET PLATFORM INFO] Exception: callback failed"}}});
    raised.push_back({[](void*) { throw "callback text"; }, {{"ERROR", kImpl, "[GET PLATFORM INFO] Exception: callback text"}}});
    raised.push_back({[](void*) { throw 42; }, {{"ERROR", kImpl, "[GET PLATFORM INFO] Unknown Exception."}}});
#endif
    for (const Raised& r : raised) {
        LogCapture one(productLog());
        EXPECT_EQ(dll().get(r.callback, nullptr), ICASRV_EXCEPTION);
        EXPECT_EQ(dll().getV2(r.callback, nullptr), ICASRV_EXCEPTION);
        EXPECT_EQ(missingInOrder(one.records(), r.lines), "");
        EXPECT_EQ(callCounted(false), std::make_pair(ICASRV_OK, 1));
    }
    ASSERT_EQ(dll().cleanup(), 0);
    EXPECT_EQ(capture.countContaining("Creating a new metrics polling thread..."), 1);
    EXPECT_EQ(capture.countContaining("[METRICS THREAD] : started..."), 1) << capture.dump();
    EXPECT_EQ(accountingProblems(), "");
}

TEST(Exports, CleanupIsPromptBetweenCyclesAndInBackoffAndReleasesEverything) {
    const std::string log = startedLog();
    configureSession();
    for (const bool backoff : {false, true}) {
        SCOPED_TRACE(backoff ? "in a 60 s back-off" : "between cycles");
        wfsim_set_connect_state(backoff ? WFDisconnected : WFActive);
        const LONG before = counters().dataAnswers;
        LogCapture capture(log);
        EXPECT_EQ(call(false), ICASRV_STARTED);
        // Between cycles: the first two cycles follow each other at once, then the task waits 3 s.
        ASSERT_TRUE(waitUntil([&] { return backoff ? capture.has("Waiting60seconds. In Pending State", "ERROR")
                                                   : counters().dataAnswers - before >= 2; }, backoff ? 5000 : 10000))
            << capture.dump();
        sleepMs(100);
        const auto start = Clock::now();
        EXPECT_EQ(dll().cleanup(), 0);
        EXPECT_LT(msSince(start), 1000);
        EXPECT_EQ(missingInOrder(capture.records(), kCleanupLines), "");
        EXPECT_EQ(accountingProblems(), "");
    }
    // In a ping's read (400 ms round trips): the stop waits for the cycle's exchanges (at most six
    // reads), then releases everything.
    wfsim_set_connect_state(WFActive);
    wfsim_set_latency(400, 0);
    EXPECT_EQ(call(false), ICASRV_STARTED);
    ASSERT_TRUE(waitUntil([] { return counters().pingReadsWaiting > 0; }));
    const auto start = Clock::now();
    EXPECT_EQ(dll().cleanup(), 0);
    EXPECT_LT(msSince(start), 10000) << "2.4 s of reads at most, generous under load";
    EXPECT_EQ(counters().pingReadsWaiting, 0);
    EXPECT_EQ(accountingProblems(), "");
}
