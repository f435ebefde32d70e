// A user leaves the session and picks it up again from another endpoint, met by the built DLL:
// while the session is away the record keeps the last endpoint and the back-off keeps its steps
// at one state query per cycle; after the reconnect the new endpoint's names are in the record
// within one cycle and one exchange (5 s), however far the back-off has climbed and also when the
// disconnect broke an exchange, through a fresh channel: nothing is read from or written to the
// old endpoint's channel again.
#include "citrix/wfapi_types.h"
#include "exports/dll_host.h"

static void setEndpoint(const char* user, const char* computer) {
    ClientInfo info{};
    std::strcpy(info.userName, user);
    std::strcpy(info.computerName, computer);
    wfsim_set_client_info(&info);
}

static bool recordShows(const ProductDll& d, const char* user, const char* computer) {
    return d.get(copyV1, nullptr) == ICASRV_OK && !std::strcmp(g_v1.userName, user) &&
           !std::strcmp(g_v1.computerName, computer);
}

TEST(Reconnect, NewEndpointInTheRecordWithinACycleOfTheReconnect) {
    const char* const kRun = "OxMetricsTask::run";
    const struct {
        const char* what;
        const ProductDll& (*dll)();
        const wchar_t* logFolder;
        long long awayMs;                 // at least this long, and until the last back-off step began
        std::vector<std::string> steps;  // back-off steps (s) begun while away, in order
        bool midExchange = false;         // the disconnect breaks a ping: the ping fails, not the state check
    } cases[] = {
        {"10 s away: the 60 s step", dll, L"dll", 10000, {"60"}},
        // The DLL with steps of 2, 4, 8 and 10 s for 60, 120, 240 and 300 s: away into the capped step.
        {"away past the 120 s step", testWaitsDll, L"testwaits", 15000, {"2", "4", "8", "10"}},
        {"away while a ping waits for its answer", dll, L"dll", 5000, {"60"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProductDll& d = c.dll();
        ASSERT_EQ(dll().cleanup(), 0);  // one polling task at a time talks to the substitute
        configureSession();
        setEndpoint("anna.keller", "WS-KELLER-07");
        const std::wstring folder = logRoot() + L"\\" + c.logFolder;
        setLogFolder(folder);  // read at the DLL's first get call
        ASSERT_EQ(d.get(copyV1, nullptr), ICASRV_STARTED);
        setLogFolder(logRoot() + L"\\dll");
        // The first two cycles follow each other at once: away only in the pause after the second.
        ASSERT_TRUE(waitUntil([&] { return counters().dataAnswers >= 2; }, 10000));
        ASSERT_TRUE(waitUntil([&] { return recordShows(d, "anna.keller", "WS-KELLER-07"); }, 10000));
        ASSERT_EQ(logFiles(folder).size(), 1u);
        LogCapture log(std::filesystem::path(logFiles(folder)[0]).u8string());

        if (c.midExchange) {  // answers take 400 ms: each ping is in flight for 2 s
            wfsim_set_latency(400, 0);
            const long pings = counters().pingAnswers;
            ASSERT_TRUE(waitUntil([&] { return counters().pingAnswers > pings + 1; }, 10000));
        }
        wfsim_set_connect_state(WFDisconnected);
        const auto away = Clock::now();
        std::vector<Line> steps;
        for (const std::string& s : c.steps) steps.push_back({"ERROR", kRun, "Waiting" + s + "seconds. In Pending State"});
        ASSERT_TRUE(waitUntil([&] { return log.countContaining("seconds. In Pending State") > 0; }, 5000)) << log.dump();
        const WfsimCounters backoffBegan = counters();
        const auto backoffStart = Clock::now();
        int polls = 0, lastEndpointShown = 0;
        ASSERT_TRUE(waitUntil([&] {
            ++polls, lastEndpointShown += recordShows(d, "anna.keller", "WS-KELLER-07");
            return msSince(away) >= c.awayMs && missingInOrder(log.records(), steps).empty();
        }, 30000)) << missingInOrder(log.records(), steps);
        EXPECT_EQ(lastEndpointShown, polls) << "while away the record describes the last endpoint seen";
        EXPECT_EQ(log.countContaining("seconds. In Pending State"), static_cast<int>(steps.size()))
            << "no step ends early while the session stays away";
        const WfsimCounters stayedAway = counters();
        if (steps.size() == 1) {  // the whole time in one step: one state query per cycle, nothing else
            const double cycles = msSince(backoffStart) / 3000.0;
            const long queries = stayedAway.calls[WFSIM_WFQuerySessionInformationW] -
                                 backoffBegan.calls[WFSIM_WFQuerySessionInformationW];
            EXPECT_TRUE(queries >= cycles - 1 && queries <= cycles + 1) << queries << " queries in " << cycles;
            EXPECT_EQ(stayedAway.calls[WFSIM_WFSmcGetSessionVirtualChannelNames],
                      backoffBegan.calls[WFSIM_WFSmcGetSessionVirtualChannelNames]);
            EXPECT_EQ(stayedAway.writes + stayedAway.reads, backoffBegan.writes + backoffBegan.reads);
        }

        EXPECT_EQ(log.countContaining("SendBeginAndEndPing failed with error : -129"), c.midExchange ? 1 : 0);
        setEndpoint("m.weber", "NB-WEBER-02");
        wfsim_set_latency(20, 2);
        wfsim_set_connect_state(WFActive);
        const auto back = Clock::now();
        ASSERT_TRUE(waitUntil([&] { return recordShows(d, "m.weber", "NB-WEBER-02"); }, 20000)) << log.dump();
        EXPECT_LT(msSince(back), 5000) << "one cycle and one exchange";
        EXPECT_EQ(counters().channelsOpened - stayedAway.channelsOpened, 1);
        EXPECT_EQ(counters().staleChannelTraffic, 0) << "the old endpoint's channel is never read or written again";
        const std::string early = "\\[METRICS THREAD\\] The session is connected again \\(WFActive \\[User logged on "
                                  "to WinStation\\]\\): the back-off wait ends after \\d+ of " + c.steps.back() +
                                  " seconds";
        EXPECT_EQ(missingInOrder(log.records(), {{"INFO", kRun, early, true},
                                                 {"INFO", kRun, "[METRICS THREAD] The virtual channel 'OXLENS' has "
                                                                "been open sucessfully"}}), "");
        EXPECT_EQ(d.cleanup(), 0);
        EXPECT_EQ(accountingProblems(), "");
    }
}
