// Every fault the substitute WFAPI.DLL can play, met by the built DLL with its own timings: the
// fault's log lines, what the host then gets, and after icasrv_cleanup nothing left behind.
#include <set>

#include "exports/dll_host.h"

const char *const kRun = "OxMetricsTask::run", *const kPresence = "queryOXChannelPresence";
const char *const kPing = "SendBeginAndEndPing", *const kV1 = "SendDataReq_v1", *const kV2 = "SendDataReq_v2";
const Line kNotFound{"ERROR", kRun, "The virtual channel 'OXLENS' has not been found on the client side."};
const Line kOpened{"INFO", kRun, "[METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully"};
const Line kCannotOpen{"ERROR", kRun, "The virtual channel 'OXLENS' cannot be opened, system error \\[-?\\d+\\]: .*",
                       true};
const Line kFound{"DEBUG", kPresence, "Virtual channel oxlens found"};
const Line kNoV2{"WARN", kV2, "didn't get data v2 (maybe old client)..."};
const Line kV1Failed{"ERROR", kRun, "\\[METRICS THREAD\\] SendDataReq_v1 failed with error : \\[\\d+\\] : [\\s\\S]*; "
                                    "continue requests\\.\\.\\.", true};

static Line failed(const char* func, const char* what, DWORD code) { return {"ERROR", func, what + errorText(code)}; }
static Line ended(const char* what) { return {"ERROR", kRun, std::string("[METRICS THREAD] Exception: ") + what}; }
// The ping's own error line, then the task's with the ping's result code.
static std::vector<Line> pingFails(const std::string& text, int code) {
    return {{"ERROR", kPing, text}, {"ERROR", kRun, "SendBeginAndEndPing failed with error : " + std::to_string(code) +
                                                        ", system error \\[-?\\d+\\]: .*", true}};
}
static Line lengthError(const char* func) { return {"ERROR", func, "ERROR reading length..."}; }

// Ends: the task gives up ("finished") and the next call starts a new one (-6), which delivers. Pending:
// the task backs off for 60 s; calls return 0 with the records' defaults (or what check expects), as with
// NoStore, where polling goes on without storing. Delivers: the session's data reaches the host.
enum Outcome { Ends, Pending, NoStore, Delivers };
// The fault armed for count calls; v2: polling started by the version-2 export.
struct FaultCase {
    int fault, count;
    Outcome outcome;
    std::vector<Line> lines;
    void (*check)() = nullptr;
    bool v2 = false;
};

#define PLX_BRIM(text) (strnlen(text, sizeof text) == sizeof text)

static std::vector<FaultCase> faultCases() {
    const char* const queryFailed = " === WFQuerySessionInformation failed: ";
    const auto channels = [](int n) {
        return Line{"DEBUG", kPresence, " === WFSmcGetSessionVirtualChannelNames succeeded, virtual channel count = " +
                                            std::to_string(n) + "; list of vchannels : "};
    };
    const auto tooShort = [](const char* bytes) {
        return Line{"ERROR", kV1, std::string("VirtualChannelRead Too Short - read ") + bytes + " bytes\n", true};
    };
    const Line invalidId = ended("Session Connection ID is not valid.");
    const Line noVersion{"ERROR", kRun, "The Driver error: can't get VDA version: -138"};
    const std::string listed = "\t\t|-- Virtual channel found  : [1] : ";
    const std::string badSign = "Error Reading PONG response. Expected uSign = 0x4950, received ";
    return {
        {0, 0, Delivers, {}},  // the healthy session first: the DLL creates its log at its first call
        {WFSIM_FAULT_SESSION_ID_QUERY_FAILS, 1, Ends,
         {failed("querySessionID", queryFailed, ERROR_ACCESS_DENIED), invalidId}},
        {WFSIM_FAULT_SESSION_ID_ZERO, 1, Ends,
         {{"ERROR", "querySessionID",
           " === WFQuerySessionInformation: server dll does not run in ICA session(SessionID = 0)"}, invalidId}},
        {WFSIM_FAULT_SMC_OPEN_FAILS, 1, Ends,
         {failed("openSessionHandle", " === WFSmcOpenSessionHandle: ", ERROR_ACCESS_DENIED),
          ended("Cannot Open Session Handle.")}},
        {WFSIM_FAULT_SMC_OPEN_NULL_HANDLE, 1, Delivers,
         {{"DEBUG", "openSessionHandle", " === WFSmcOpenSessionHandle has been opened successfully; handle = 0x0+",
           true}}},
        // A success without a buffer says so; the stale last error is not reported.
        {WFSIM_FAULT_QUERY_NULL_BUFFER, 1, Ends,
         {{"ERROR", "querySessionID", queryFailed + std::string("the call reported success but handed back no buffer")},
          invalidId}},
        {WFSIM_FAULT_VERSION_QUERY_FAILS, 1, Pending,
         {failed("queryVDAVersion", queryFailed, ERROR_ACCESS_DENIED), noVersion}},
        // Cut inside its numbers: nothing past the 12 bytes is read (the buffer ends at an inaccessible page).
        {WFSIM_FAULT_VERSION_ANSWER_SHORT, 1, Pending,
         {{"ERROR", "queryVDAVersion", queryFailed + std::string("the WFVersion answer is too short: 12 bytes, at "
                                                                 "least 22 expected")}, noVersion}},
        {WFSIM_FAULT_STATE_QUERY_FAILS, 1, Pending,
         {failed("querySessionState", queryFailed, ERROR_ACCESS_DENIED),
          {"ERROR", kRun, "Query Session State error: -103"}}},
        {WFSIM_FAULT_CHANNEL_LIST_FAILS, 1, Pending,
         {{"ERROR", kPresence, "WFSmcGetSessionVirtualChannelNames failed with error : [31] : " +
                                   errorText(ERROR_GEN_FAILURE) + " ;SessionId = " + windowsSessionId() +
                                   "; status = 31"}, kNotFound}},
        {WFSIM_FAULT_CHANNEL_LIST_EMPTY, 1, Pending,
         {channels(0), {"WARN", kPresence, "Virtual channel oxlens does not exist on client side"}, kNotFound}},
        {WFSIM_FAULT_CHANNEL_LIST_OTHER_CASE, 1, Delivers, {{"INFO", kPresence, listed + "oxlens"}, kFound}},
        // An entry that is not valid UTF-16 before OXLENS, in every listing: passed over with a warning.
        {WFSIM_FAULT_CHANNEL_NAME_NOT_UTF16, -1, Delivers,
         {{"WARN", kPresence, "\t\t|-- Virtual channel [1] : name is not valid UTF-16, skipped"},
          {"INFO", kPresence, "\t\t|-- Virtual channel found  : [2] : oxlens"}, kFound, kOpened}},
        {WFSIM_FAULT_CHANNEL_LIST_OVERFLOW, 1, Delivers, {channels(320), kFound}},
        {WFSIM_FAULT_CHANNEL_VANISHED, 1, Pending, {channels(2), {"INFO", kPresence, listed + "ctxtw"}, kNotFound}},
        {WFSIM_FAULT_CHANNEL_OPEN_FAILS, 1, Pending,
         {failed("tryOpenVirtualChannel", " === WFVirtualChannelOpen failed: ", ERROR_GEN_FAILURE), kCannotOpen}},
        // The channel is open when its client data cannot be fetched; cleanup still leaves nothing open.
        {WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS, 1, Pending,
         {failed("tryOpenVirtualChannel", " === WFVirtualChannelQuery failed: ", ERROR_GEN_FAILURE), kCannotOpen}},
        {WFSIM_FAULT_WRITE_FAILS, 1, Pending, pingFails("PING request writing error: 31", -127)},
        {WFSIM_FAULT_WRITE_SHORT, 1, Pending,
         pingFails("PING request writing error: Should write 4160 bytes, written : 2080 bytes; System error: 0", -128)},
        {WFSIM_FAULT_READ_FAILS, 1, Pending, pingFails("PONG response eeading error:31", -129)},
        {WFSIM_FAULT_DRAIN_READ_FAILS, 1, Pending, pingFails("PONG response eeading error:31", -130)},
        // Two failed reads of a data answer: the request's next attempts still deliver.
        {WFSIM_FAULT_DATA_READ_FAILS, 2, Delivers,
         {{"ERROR", kV1, "reading failed..."}, {"ERROR", kV1, "VirtualChannelRead Failed 31\n"},
          {"ERROR", kV1, "reading failed..."}}},
        // A read that waits out its 5 s time-out. A counterpart that never answers: in Reconnect.Silent...
        {WFSIM_FAULT_READ_TIMEOUT, 1, Pending, pingFails("PONG response eeading error:258", -129)},
        // Nothing read and nothing to drain: the untouched answer buffer has no signature.
        {WFSIM_FAULT_READ_ZERO_BYTES, 1, Pending, pingFails(badSign + "0x0.", -131)},
        {WFSIM_FAULT_SWAPPED_SIGNATURE, 1, Pending, pingFails(badSign + "0x5049.", -131)},
        {WFSIM_FAULT_STALE_ANSWERS, 1, Delivers, {kOpened}},
        {WFSIM_FAULT_ANSWER_SHORTER, -1, NoStore, {lengthError(kV1), tooShort("2088"), kV1Failed}},
        {WFSIM_FAULT_ANSWER_LONGER, -1, NoStore, {lengthError(kV1), tooShort("\\d+"), kV1Failed}},
        {WFSIM_FAULT_LENGTH_BEYOND_BUFFER, -1, NoStore,
         {lengthError(kV1), tooShort("4160"), kV1Failed, kNoV2, lengthError(kV2),
          {"ERROR", kRun, "\\[METRICS THREAD\\] : SendDataReq_v2 failed with error: \\[\\d+\\] : [\\s\\S]*; "
                          "continuing requests\\.\\.\\.", true}},
         [] {  // answers announcing 65535 bytes: every read asks for the size of its buffer, no more
             const std::vector<DWORD> sizes = readSizes();
             EXPECT_TRUE(!sizes.empty() && atDefaults(g_v2.base) && g_v2.ext.extValue1 == -1);
             for (DWORD size : sizes) EXPECT_TRUE(size == 4160 || size == 1092) << "read of " << size << " bytes";
         }, true},
        // Texts filled to the brim reach the host as they came, without their NUL (first and last arrays).
        {WFSIM_FAULT_TEXT_WITHOUT_NUL, -1, Delivers, {kOpened}, [] {
             EXPECT_TRUE(PLX_BRIM(g_v2.base.userName) && PLX_BRIM(g_v2.base.clientText16) &&
                         PLX_BRIM(g_v2.ext.extText1) && PLX_BRIM(g_v2.ext.extText3) && g_v2.base.clientValue1 == 1234);
         }, true},
        {WFSIM_FAULT_EMPTY_NAMES, -1, Pending,
         {{"ERROR", kRun, "[METRICS THREAD] : [clientInfo.userName] or [clientInfo.computerName] is empty."}}},
        // Complete answers of another type: nothing is copied.
        {WFSIM_FAULT_WRONG_ANSWER_TYPE, -1, NoStore, {kNoV2},
         [] { EXPECT_TRUE(!g_v2.base.userName[0] && g_v2.ext.extValue1 == -1 && !g_v2.ext.extText1[0]); }, true},
    };
}

TEST(FaultMatrix, EveryFaultOfTheSubstituteWFAPI) {
    std::set<int> covered = {WFSIM_FAULT_NO_ANSWER};  // on the test-waits DLL: its reads give up after 1 s
    for (const FaultCase& c : faultCases()) {
        SCOPED_TRACE("fault " + std::to_string(c.fault));
        ASSERT_EQ(dll().cleanup(), 0);
        configureSession();
        wfsim_set_fault(c.fault, c.count);
        LogCapture log(productLog());
        ASSERT_EQ(call(c.v2), ICASRV_STARTED);
        std::vector<Line> lines = c.lines;
        if (c.outcome == Ends || c.outcome == Pending)
            lines.push_back(c.outcome == Ends ? Line{"DEBUG", kRun, "[METRICS THREAD] finished..."}
                                              : Line{"ERROR", kRun, "Waiting60seconds. In Pending State"});
        std::string missing;
        ASSERT_TRUE(waitUntil([&] { return (missing = missingInOrder(log.records(), lines)).empty(); }, 15000))
            << missing;
        const ClientInfo& base = c.v2 ? g_v2.base : g_v1;
        EXPECT_TRUE(c.outcome != Ends || waitUntil([&] { return call(c.v2) == ICASRV_STARTED; }, 5000))
            << "an ended task is started again";
        if (c.outcome == Pending || c.outcome == NoStore) {
            EXPECT_EQ(callCounted(c.v2), std::make_pair(ICASRV_OK, 1));
            EXPECT_TRUE(c.check || atDefaults(base)) << "latency " << base.latency;
        } else {
            EXPECT_TRUE(pollUntilData(c.v2)) << log.dump();
        }
        if (c.check) c.check();
        EXPECT_EQ(dll().cleanup(), 0);
        EXPECT_EQ(accountingProblems(), "");
        covered.insert(c.fault);
    }
    EXPECT_EQ(covered.size(), size_t(WFSIM_FAULT_COUNT_)) << "the healthy session and each fault kind, one case each";
}
