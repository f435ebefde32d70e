// Users pick their session up again, often from another endpoint. After a takeover or a reconnect
// after time away, the built DLL's record shows the new endpoint's names and round trip within 5 s,
// through exactly one fresh channel, and the old channel sees no call after the one that finds it
// gone. Most cases run on the test-waits DLL (1 s cycles, back-off steps 2, 4, 8, 10 s, 1 s reads).
#include "citrix/wfapi_types.h"
#include "exports/dll_host.h"

namespace {

struct Endpoint { const char* user; const char* computer; DWORD roundTripMs; };
const Endpoint kOld{"anna.keller", "WS-KELLER-07", 5}, kNew{"m.weber", "NB-WEBER-02", 60};
const char* const kRun = "OxMetricsTask::run";
const char* const kTakenOver = "[METRICS THREAD] The channel had answered and the session is active: it was most "
                               "likely taken over from another endpoint; a fresh channel is opened without a back-off";
const char* const kAfresh = "[METRICS THREAD] The channel reaches the endpoint of the reconnected session: its "
                            "latency and read failures are measured afresh";

ClientInfo namesOf(const Endpoint& e) {
    ClientInfo info{};
    std::strcpy(info.userName, e.user);
    std::strcpy(info.computerName, e.computer);
    return info;
}
void moveTo(const Endpoint& e) {
    const ClientInfo info = namesOf(e);
    wfsim_set_client_info(&info);
    wfsim_set_latency(e.roundTripMs, 0);
}

// The record names the endpoint and carries its round trip. Under Wine a ping measures the
// substitute's round trip up to a few ms long (thread wake-ups, 10 ms pauses that sleep longer);
// the old endpoint's value, or a blend with it, is tens of ms off.
bool recordShows(const ProductDll& d, const Endpoint& e, bool withLatency = true) {
    if (d.get(copyV1, nullptr) != ICASRV_OK) return false;
    const int32_t overMs = g_v1.latency - int32_t(e.roundTripMs);
    return !std::strcmp(g_v1.userName, e.user) && !std::strcmp(g_v1.computerName, e.computer) &&
           (!withLatency || (overMs >= -2 && overMs <= 8));
}

const wchar_t* const kChannels[] = {L"CTXCAM", L"CTXTW", L"OXLENS"};  // without the last: OXLENS not listed

// Starts a polling task of d on the session configured; what d logs from then on. Each DLL
// writes one log for the process, into the folder set at its first get call.
std::unique_ptr<LogCapture> startTask(const ProductDll& d) {
    EXPECT_EQ(dll().cleanup(), 0);  // one polling task at a time talks to the substitute
    EXPECT_EQ(testWaitsDll().cleanup(), 0);
    const std::wstring folder = logRoot() + (&d == &dll() ? L"\\dll" : L"\\testwaits");
    setLogFolder(folder);
    EXPECT_EQ(d.get(copyV1, nullptr), ICASRV_STARTED);
    setLogFolder(logRoot() + L"\\dll");
    EXPECT_EQ(logFiles(folder).size(), 1u);
    return std::make_unique<LogCapture>(std::filesystem::path(logFiles(folder).at(0)).u8string());
}

std::unique_ptr<LogCapture> startOnOldEndpoint(const ProductDll& d) {
    configureSession();
    moveTo(kOld);
    auto log = startTask(d);
    EXPECT_TRUE(waitUntil([&] { return recordShows(d, kOld); }, 10000));
    return log;
}

// What every reconnect must end with: the new endpoint in the record within 5 s, one fresh
// channel, at most staleCalls calls on the old channel, nothing outstanding after cleanup.
void expectNewEndpoint(const ProductDll& d, Clock::time_point back, const WfsimCounters& before, LONG staleCalls,
                       LogCapture& log) {
    EXPECT_TRUE(waitUntil([&] { return recordShows(d, kNew); }, 10000)) << g_v1.userName << " " << g_v1.latency;
    EXPECT_LT(msSince(back), 5000);
    EXPECT_EQ(counters().channelsOpened - before.channelsOpened, 1);
    EXPECT_LE(counters().staleChannelTraffic - before.staleChannelTraffic, staleCalls);
    EXPECT_EQ(log.countContaining(kAfresh), 1) << log.dump();
    EXPECT_EQ(d.cleanup(), 0);
    EXPECT_EQ(accountingProblems().find("outstanding"), std::string::npos) << accountingProblems();
}

}  // namespace

TEST(Reconnect, TakeoversReachTheNewEndpointWithinFiveSeconds) {
    enum Moment { InThePause, DuringAPing, ListedLate };
    // The calls the old channel sees: the ping's first write; one if the ping's read begins after the takeover.
    const struct { const char* what; Moment moment; LONG fewestStaleCalls, staleCalls; } cases[] = {
        {"in the pause between two 3 s cycles: the next ping finds the old channel gone", InThePause, 1, 1},
        {"while a ping waits for its answer (300 ms round trips)", DuringAPing, 0, 1},
        {"by a client that lists OXLENS only after a cycle found it missing", ListedLate, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProductDll& d = c.moment == InThePause ? dll() : testWaitsDll();
        auto log = startOnOldEndpoint(d);
        const LONG data = counters().dataAnswers;
        if (c.moment == DuringAPing) wfsim_set_latency(300, 0);
        ASSERT_TRUE(waitUntil([&] {
            const WfsimCounters n = counters();  // between exchanges: every answer queued so far has been read
            if (c.moment == DuringAPing) return n.pingReadsWaiting > 0;
            return n.answersRead == n.pingAnswers + n.dataAnswers + n.dataV2Answers &&
                   (c.moment == ListedLate || n.dataAnswers > data);
        }, 10000));
        const WfsimCounters before = counters();
        // In one step, so that no state query sees the session away (that is the next test's case).
        const ClientInfo names = namesOf(kNew);
        wfsim_take_over(&names, kNew.roundTripMs, kChannels, c.moment == ListedLate ? 2 : 3);
        const auto back = Clock::now();
        if (c.moment == ListedLate) {
            ASSERT_TRUE(waitUntil([&] { return log->countContaining("has not been found on the client side.") > 0; }));
            wfsim_set_channels(kChannels, 3);
        }
        expectNewEndpoint(d, back, before, c.staleCalls, *log);
        EXPECT_GE(counters().staleChannelTraffic - before.staleChannelTraffic, c.fewestStaleCalls);
        EXPECT_EQ(log->countContaining(kTakenOver), 1);
        EXPECT_EQ(log->countContaining("In Pending State"), 0);
        if (c.moment != InThePause) continue;
        EXPECT_EQ(missingInOrder(log->records(), {{"ERROR", kRun, "SendBeginAndEndPing failed with error : -127,.*", true},
                                                  {"INFO", kRun, kTakenOver}}), "");
    }
}

// Away through two back-off steps, a ping broken by the disconnect: the record keeps the last
// endpoint, the back-off asks only for the connect state once per cycle, and after the reconnect
// the new endpoint's round trip and read failures replace the old ones.
TEST(Reconnect, AwayThroughTheBackoffThenBackFromAnotherEndpoint) {
    const ProductDll& d = testWaitsDll();
    auto log = startOnOldEndpoint(d);
    // Failed reads count against the old endpoint (answers at once: the retry drains the late ones).
    wfsim_set_latency(0, 0);
    wfsim_set_fault(WFSIM_FAULT_DATA_READ_FAILS, 3);
    ASSERT_TRUE(waitUntil([&] { return d.get(copyV1, nullptr) == ICASRV_OK && g_v1.readFailurePercent > 0; }, 20000));
    wfsim_set_latency(300, 0);
    ASSERT_TRUE(waitUntil([] { return counters().pingReadsWaiting > 0; }, 10000));
    wfsim_set_connect_state(WFDisconnected);
    ASSERT_TRUE(waitUntil([&] { return log->countContaining("Waiting2seconds. In Pending State") == 1; }));
    const WfsimCounters away = counters();
    const auto awayStart = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return log->countContaining("Waiting4seconds. In Pending State") == 1; }, 10000));
    const WfsimCounters stillAway = counters();
    // One state query per 1 s slice, plus the cycle's own three queries between the steps.
    const long queries = stillAway.calls[WFSIM_WFQuerySessionInformationW] - away.calls[WFSIM_WFQuerySessionInformationW];
    const double slices = msSince(awayStart) / 1000.0;
    EXPECT_TRUE(queries >= slices - 1 && queries <= slices + 4) << queries << " queries in " << slices << " s";
    EXPECT_EQ(stillAway.writes + stillAway.reads, away.writes + away.reads);
    EXPECT_TRUE(recordShows(d, kOld, false)) << "while away the record describes the last endpoint seen";

    moveTo(kNew);
    wfsim_set_connect_state(WFActive);
    const auto back = Clock::now();
    expectNewEndpoint(d, back, stillAway, 0, *log);
    EXPECT_EQ(g_v1.readFailurePercent, 0) << "the new channel's reads have not failed";
    EXPECT_EQ(missingInOrder(log->records(),
                             {{"ERROR", kRun, "SendBeginAndEndPing failed with error : -129,.*", true},
                              {"ERROR", kRun, "Waiting2seconds. In Pending State"},
                              {"ERROR", kRun, "Waiting4seconds. In Pending State"},
                              {"INFO", kRun, "\\[METRICS THREAD\\] The session is connected again \\(WFActive \\[User "
                                             "logged on to WinStation\\]\\): the back-off wait ends after \\d of 4 seconds", true},
                              {"INFO", kRun, kAfresh}}), "");
    EXPECT_EQ(log->countContaining(kTakenOver), 0);
}

// A counterpart that has never answered gets no quick reopens: its back-off climbs step by step,
// and the record keeps its defaults.
TEST(Reconnect, SilentCounterpartClimbsTheWholeBackoff) {
    configureSession();
    wfsim_set_fault(WFSIM_FAULT_NO_ANSWER, -1);
    auto log = startTask(testWaitsDll());
    ASSERT_TRUE(waitUntil([&] { return log->countContaining("Waiting4seconds. In Pending State") == 1; }, 15000));
    EXPECT_EQ(counters().channelsOpened, 2) << "the first open and one after the 2 s step";
    EXPECT_EQ(missingInOrder(log->records(), {{"ERROR", "SendBeginAndEndPing", "PONG response eeading error:258"},
                                              {"ERROR", kRun, "SendBeginAndEndPing failed with error : -129, system "
                                                              "error \\[-?\\d+\\]: .*", true},
                                              {"ERROR", kRun, "Waiting2seconds. In Pending State"},
                                              {"ERROR", kRun, "Waiting4seconds. In Pending State"}}), "");
    EXPECT_EQ(callCounted(false, testWaitsDll()), std::make_pair(ICASRV_OK, 1));
    EXPECT_TRUE(atDefaults(g_v1));
    EXPECT_EQ(log->countContaining(kTakenOver), 0);
    EXPECT_EQ(testWaitsDll().cleanup(), 0);
    EXPECT_EQ(accountingProblems(), "");
}
