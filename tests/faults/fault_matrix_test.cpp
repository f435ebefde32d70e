// Every fault the substitute WFAPI.DLL can play, met by the built DLL with its own timings: the
// fault's log lines, what the host then gets, and after icasrv_cleanup nothing left behind.
#include <set>

#include "exports/dll_host.h"
#include "utils/system_error.h"

namespace {

const char *const kRun = "OxMetricsTask::run", *const kPresence = "queryOXChannelPresence";
const char *const kPing = "SendBeginAndEndPing", *const kV1 = "SendDataReq_v1", *const kV2 = "SendDataReq_v2";
const Line kWaiting{"ERROR", kRun, "Waiting60seconds. In Pending State"};
const Line kNotFound{"ERROR", kRun, "The virtual channel 'OXLENS' has not been found on the client side."};
const Line kOpened{"INFO", kRun, "[METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully"};
const Line kCannotOpen{"ERROR", kRun, "The virtual channel 'OXLENS' cannot be opened, system error \\[-?\\d+\\]: .*", true};
const Line kOxlensFound{"DEBUG", kPresence, "Virtual channel oxlens found"};
const Line kNoV2{"WARN", kV2, "didn't get data v2 (maybe old client)..."};
const Line kV1Failed{"ERROR", kRun, "\\[METRICS THREAD\\] SendDataReq_v1 failed with error : \\[\\d+\\] : [\\s\\S]*; continue requests\\.\\.\\.", true};

Line failed(const char* func, const char* what, DWORD code) { return {"ERROR", func, what + OxeUtils::errorSuffix(code)}; }
Line ended(const char* what) { return {"ERROR", kRun, std::string("[METRICS THREAD] Exception: ") + what}; }
Line ping(const std::string& text) { return {"ERROR", kPing, text}; }
Line pingFailed(int code) {
    return {"ERROR", kRun, "SendBeginAndEndPing failed with error : " + std::to_string(code) + ", system error \\[-?\\d+\\]: .*", true};
}
Line lengthError(const char* func) { return {"ERROR", func, "ERROR reading length..."}; }

// Ends: the task gives up and the next call starts a new one (-6), which delivers. Defaults:
// calls return 0 with the records' defaults (or what check expects). Delivers: the session's data.
enum class Outcome { Ends, Defaults, Delivers };
struct FaultCase {
    int fault, count;
    bool v2;  // polling started by the version-2 export
    Outcome outcome;
    std::vector<Line> lines;
    void (*check)(const LogCapture&) = nullptr;
};

// Texts filled to the brim reach the host as they came, each array without its NUL.
void brim(const char* text, size_t size, const char* name) { EXPECT_EQ(strnlen(text, size), size) << name; }
#define PLX_BRIM(record, field) brim(record.field, sizeof record.field, #field)
void checkBrim(const LogCapture&) {
    PLX_BRIM(g_v2.base, userName), PLX_BRIM(g_v2.base, computerName), PLX_BRIM(g_v2.base, clientText1);
    PLX_BRIM(g_v2.base, clientText2), PLX_BRIM(g_v2.base, clientText3), PLX_BRIM(g_v2.base, clientText4);
    PLX_BRIM(g_v2.base, clientText5), PLX_BRIM(g_v2.base, clientText6), PLX_BRIM(g_v2.base, clientText7);
    PLX_BRIM(g_v2.base, clientText8), PLX_BRIM(g_v2.base, clientText9), PLX_BRIM(g_v2.base, clientText10);
    PLX_BRIM(g_v2.base, clientText11), PLX_BRIM(g_v2.base, clientText12), PLX_BRIM(g_v2.base, clientText13);
    PLX_BRIM(g_v2.base, clientText14), PLX_BRIM(g_v2.base, clientText15), PLX_BRIM(g_v2.base, clientText16);
    PLX_BRIM(g_v2.ext, extText1), PLX_BRIM(g_v2.ext, extText2), PLX_BRIM(g_v2.ext, extText3);
    EXPECT_EQ(g_v2.base.clientValue1, 1234);
}

// Answers announcing 65535 bytes: no read ever asks for more than its buffer holds.
void checkReadSizes(const LogCapture&) {
    EXPECT_TRUE(atDefaults(g_v2.base) && g_v2.ext.extValue1 == -1);
    std::vector<DWORD> sizes(4096);
    sizes.resize(wfsim_read_sizes(sizes.data(), static_cast<DWORD>(sizes.size())));
    ASSERT_FALSE(sizes.empty());
    for (DWORD size : sizes) EXPECT_TRUE(size == 4160 || size == 1092) << "read of " << size << " bytes";
}

// Complete answers of another type count as answered, and nothing is copied.
void checkOtherType(const LogCapture& log) {
    EXPECT_EQ(log.countContaining("SendDataReq_v1 failed") + log.countContaining("SendDataReq_v2 failed"), 0) << log.dump();
    EXPECT_TRUE(g_v2.base.userName[0] == '\0' && g_v2.ext.extValue1 == -1 && g_v2.ext.extText1[0] == '\0');
}

std::vector<FaultCase> faultCases() {
    DWORD sid = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &sid);
    const char* const queryFailed = " === WFQuerySessionInformation failed: ";
    const Line finished{"DEBUG", kRun, "[METRICS THREAD] finished..."};
    const auto channels = [](int n) {
        return Line{"DEBUG", kPresence, " === WFSmcGetSessionVirtualChannelNames succeeded, virtual channel count = " +
                                            std::to_string(n) + "; list of vchannels : "};
    };
    const auto tooShort = [](const char* bytes) {
        return Line{"ERROR", kV1, std::string("VirtualChannelRead Too Short - read ") + bytes + " bytes\n", true};
    };
    return {
        {WFSIM_FAULT_SESSION_ID_QUERY_FAILS, 1, false, Outcome::Ends,
         {failed("querySessionID", queryFailed, ERROR_ACCESS_DENIED), ended("Session Connection ID is not valid."), finished}},
        {WFSIM_FAULT_SESSION_ID_ZERO, 1, false, Outcome::Ends,
         {{"ERROR", "querySessionID", " === WFQuerySessionInformation: server dll does not run in ICA session(SessionID = 0)"},
          ended("Session Connection ID is not valid."), finished}},
        {WFSIM_FAULT_SMC_OPEN_FAILS, 1, false, Outcome::Ends,
         {failed("openSessionHandle", " === WFSmcOpenSessionHandle: ", ERROR_ACCESS_DENIED), ended("Cannot Open Session Handle."), finished}},
        {WFSIM_FAULT_SMC_OPEN_NULL_HANDLE, 1, false, Outcome::Delivers,
         {{"DEBUG", "openSessionHandle", " === WFSmcOpenSessionHandle has been opened successfully; handle = 0x0+", true}}},
        {WFSIM_FAULT_VERSION_QUERY_FAILS, 1, false, Outcome::Defaults,
         {failed("queryVDAVersion", queryFailed, ERROR_ACCESS_DENIED), {"ERROR", kRun, "The Driver error: can't get VDA version: -138"}, kWaiting}},
        {WFSIM_FAULT_STATE_QUERY_FAILS, 1, false, Outcome::Defaults,
         {failed("querySessionState", queryFailed, ERROR_ACCESS_DENIED), {"ERROR", kRun, "Query Session State error: -103"}, kWaiting}},
        {WFSIM_FAULT_CHANNEL_LIST_FAILS, 1, false, Outcome::Defaults,
         {{"ERROR", kPresence, "WFSmcGetSessionVirtualChannelNames failed with error : [31] : " + OxeUtils::errorSuffix(ERROR_GEN_FAILURE) +
                                   " ;SessionId = " + std::to_string(sid) + "; status = 31"}, kNotFound, kWaiting}},
        {WFSIM_FAULT_CHANNEL_LIST_EMPTY, 1, false, Outcome::Defaults,
         {channels(0), {"WARN", kPresence, "Virtual channel oxlens does not exist on client side"}, kNotFound, kWaiting}},
        {WFSIM_FAULT_CHANNEL_LIST_OTHER_CASE, 1, false, Outcome::Delivers,
         {{"INFO", kPresence, "\t\t|-- Virtual channel found  : [1] : oxlens"}, kOxlensFound}},
        {WFSIM_FAULT_CHANNEL_LIST_OVERFLOW, 1, false, Outcome::Delivers, {channels(320), kOxlensFound}},
        {WFSIM_FAULT_CHANNEL_VANISHED, 1, false, Outcome::Defaults,
         {channels(2), {"INFO", kPresence, "\t\t|-- Virtual channel found  : [1] : ctxtw"}, kNotFound, kWaiting}},
        {WFSIM_FAULT_CHANNEL_OPEN_FAILS, 1, false, Outcome::Defaults,
         {failed("tryOpenVirtualChannel", " === WFVirtualChannelOpen failed: ", ERROR_GEN_FAILURE), kCannotOpen, kWaiting}},
        // The channel is open when its client data cannot be fetched; cleanup still leaves nothing open.
        {WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS, 1, false, Outcome::Defaults,
         {failed("tryOpenVirtualChannel", " === WFVirtualChannelQuery failed: ", ERROR_GEN_FAILURE), kCannotOpen, kWaiting}},
        {WFSIM_FAULT_WRITE_FAILS, 1, false, Outcome::Defaults, {ping("PING request writing error: 31"), pingFailed(-127), kWaiting}},
        {WFSIM_FAULT_WRITE_SHORT, 1, false, Outcome::Defaults,
         {ping("PING request writing error: Should write 4160 bytes, written : 2080 bytes; System error: 0"), pingFailed(-128), kWaiting}},
        {WFSIM_FAULT_READ_FAILS, 1, false, Outcome::Defaults, {ping("PONG response eeading error:31"), pingFailed(-129), kWaiting}},
        // A read that waits out its 5 s time-out, and a counterpart that never answers.
        {WFSIM_FAULT_READ_TIMEOUT, 1, false, Outcome::Defaults, {ping("PONG response eeading error:258"), pingFailed(-129), kWaiting}},
        {WFSIM_FAULT_NO_ANSWER, -1, false, Outcome::Defaults, {ping("PONG response eeading error:258"), pingFailed(-129), kWaiting}},
        // Nothing read and nothing to drain: the untouched answer buffer has no signature.
        {WFSIM_FAULT_READ_ZERO_BYTES, 1, false, Outcome::Defaults,
         {ping("Error Reading PONG response. Expected uSign = 0x4950, received 0x0."), pingFailed(-131), kWaiting}},
        {WFSIM_FAULT_SWAPPED_SIGNATURE, 1, false, Outcome::Defaults,
         {ping("Error Reading PONG response. Expected uSign = 0x4950, received 0x5049."), pingFailed(-131), kWaiting}},
        {WFSIM_FAULT_STALE_ANSWERS, 1, false, Outcome::Delivers, {kOpened}},
        {WFSIM_FAULT_ANSWER_SHORTER, -1, false, Outcome::Defaults, {lengthError(kV1), tooShort("2088"), kV1Failed}},
        {WFSIM_FAULT_ANSWER_LONGER, -1, false, Outcome::Defaults, {lengthError(kV1), tooShort("\\d+"), kV1Failed}},
        {WFSIM_FAULT_LENGTH_BEYOND_BUFFER, -1, true, Outcome::Defaults,
         {lengthError(kV1), tooShort("4160"), kV1Failed, kNoV2, lengthError(kV2),
          {"ERROR", kRun, "\\[METRICS THREAD\\] : SendDataReq_v2 failed with error: \\[\\d+\\] : [\\s\\S]*; continuing requests\\.\\.\\.", true}},
         checkReadSizes},
        {WFSIM_FAULT_TEXT_WITHOUT_NUL, -1, true, Outcome::Delivers, {kOpened}, checkBrim},
        // Nameless answers never reach the version-1 record; the third in a row backs off.
        {WFSIM_FAULT_EMPTY_NAMES, -1, false, Outcome::Defaults,
         {{"ERROR", kRun, "[METRICS THREAD] : [clientInfo.userName] or [clientInfo.computerName] is empty."}, kWaiting}},
        {WFSIM_FAULT_WRONG_ANSWER_TYPE, -1, true, Outcome::Defaults, {kNoV2}, checkOtherType},
    };
}

}  // namespace

TEST(FaultMatrix, EveryFaultOfTheSubstituteWFAPI) {
    configureSession();  // the DLL creates its log at its first call: a healthy session first
    if (productLog().empty()) {
        ASSERT_EQ(call(false), ICASRV_STARTED);
        ASSERT_TRUE(waitUntil([] { return call(false) == ICASRV_OK && hasData(g_v1); }, 10000));
    }
    std::set<int> covered;
    for (const FaultCase& c : faultCases()) {
        SCOPED_TRACE("fault " + std::to_string(c.fault));
        ASSERT_EQ(dll().cleanup(), 0);
        configureSession();
        wfsim_set_fault(c.fault, c.count);
        LogCapture log(productLog());
        ASSERT_EQ(call(c.v2), ICASRV_STARTED);
        std::string missing;
        ASSERT_TRUE(waitUntil([&] { return (missing = missingInOrder(log.records(), c.lines)).empty(); }, 15000)) << missing;
        const ClientInfo& base = c.v2 ? g_v2.base : g_v1;
        int32_t rc = ICASRV_OK;
        if (c.outcome == Outcome::Ends) {
            EXPECT_TRUE(waitUntil([&] { return (rc = call(c.v2)) != ICASRV_OK; }, 5000));
            EXPECT_EQ(rc, ICASRV_STARTED) << "an ended task is started again";
        }
        if (c.outcome == Outcome::Defaults) {
            g_v1Calls = g_v2Calls = 0;
            EXPECT_EQ(call(c.v2), ICASRV_OK);
            EXPECT_EQ(g_v1Calls + g_v2Calls, 1);
            EXPECT_TRUE(c.check || atDefaults(base)) << "latency " << base.latency;
        } else {
            EXPECT_TRUE(waitUntil([&] { return (rc = call(c.v2)) != ICASRV_OK || hasData(base); }, 10000)) << log.dump();
            EXPECT_EQ(rc, ICASRV_OK);
        }
        if (c.check) c.check(log);
        EXPECT_EQ(dll().cleanup(), 0);
        EXPECT_EQ(accountingProblems(), "");
        covered.insert(c.fault);
    }
    EXPECT_EQ(covered.size(), WFSIM_FAULT_COUNT_ - 1u) << "a fault kind of the substitute without its case";
}
