// Every fault the substitute WFAPI.DLL can play, met by the built DLL with its own timings:
// the first polling cycle's log lines (severity, function, text), the results the host keeps
// getting (0 while polling runs, -6 when polling starts again), the record it is handed, and
// after icasrv_cleanup no buffer, channel or session handle left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "faults/faults_host.h"
#include "faults/record_texts.h"
#include "utils/system_error.h"
#include "wfsim_control.h"

using namespace faults;

namespace {

const char* const kRun = "OxMetricsTask::run";
const char* const kPresence = "queryOXChannelPresence";
const char* const kPing = "SendBeginAndEndPing";
const char* const kV1 = "SendDataReq_v1";
const char* const kV2 = "SendDataReq_v2";
const std::string kDashes(88, '-');
const std::string kWaiting = "Waiting60seconds. In Pending State";
const std::string kNotFound = "The virtual channel 'OXLENS' has not been found on the client side.";
const char* const kUser = "fault.user";
const char* const kExtText = "fault-ext";

// A log line a case expects: exact, or (re = true) a regular expression over the whole text.
struct Line {
    const char* severity;
    const char* func;
    std::string text;
    bool re = false;
};

Line exact(const char* severity, const char* func, const std::string& text) { return {severity, func, text, false}; }
Line pattern(const char* severity, const char* func, const std::string& re) { return {severity, func, re, true}; }

bool matches(const LogRecord& r, const Line& line) {
    if (r.severity != line.severity || r.func != line.func) return false;
    return line.re ? std::regex_match(r.message, std::regex(line.text)) : r.message == line.text;
}

// The index after the last expected line if all appear in order, else -1.
int findInOrder(const std::vector<LogRecord>& records, const std::vector<Line>& lines, std::string* missing) {
    size_t at = 0;
    for (const auto& line : lines) {
        while (at < records.size() && !matches(records[at], line)) ++at;
        if (at == records.size()) {
            *missing = std::string(line.severity) + " [" + line.func + "] " + line.text;
            return -1;
        }
        ++at;
    }
    return static_cast<int>(at);
}

std::string suffix(DWORD code) { return OxeUtils::errorSuffix(code); }

DWORD windowsSessionId() {
    DWORD id = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &id);
    return id;
}

// How a case ends, seen from the host.
enum class Outcome {
    TaskEnds,  // the polling task gave up: the next call starts a new one (-6), which then delivers
    Pending,   // polling runs in its back-off: calls return 0 with the defaults
    Delivers,  // polling runs and the record carries the session's data
    NoStore,   // polling runs, but the cycle stored nothing: calls return 0 with the defaults
};

struct FaultCase {
    const char* name;
    int fault;  // 0: none; the setup plays the fault
    int count;
    bool v2;    // polling started by the version-2 export
    std::vector<Line> lines;
    Outcome outcome;
    std::function<void()> setup = nullptr;
    std::function<void(const LogCapture&)> check = nullptr;
};

void configureSession() {
    wfsim_reset();
    wfsim_set_latency(30, 0);
    ClientInfo info;
    std::memset(&info, 0, sizeof info);
    std::strcpy(info.userName, kUser);
    std::strcpy(info.computerName, "FAULT-PC");
    info.clientValue1 = 11;
    wfsim_set_client_info(&info);
    ClientInfoV2Ext ext;
    std::memset(&ext, 0, sizeof ext);
    std::strcpy(ext.extText1, kExtText);
    ext.extValue1 = 21;
    wfsim_set_client_info_v2(&ext, 1);
}

int32_t call(bool v2) { return v2 ? dll().getV2(copyV2, nullptr) : dll().get(copyV1, nullptr); }

const ClientInfo& base(bool v2) { return v2 ? g_v2.base : g_v1; }

// A record with data from the client: a name and a measured latency.
bool hasSessionData(bool v2) { return base(v2).userName[0] != '\0' && base(v2).latency >= 0; }

bool atDefaults(const ClientInfo& r) {
    return r.latency == -1 && r.userName[0] == '\0' && r.computerName[0] == '\0' && r.clientValue1 == -1 &&
           r.readFailurePercent == -1;
}

// Calls until a record with the session's data arrives; every call must return 0.
void expectDeliveryWithin(bool v2, int boundMs, const LogCapture& log) {
    int32_t rc = 0;
    const bool arrived = waitUntil(
        [&] {
            rc = call(v2);
            return rc != ICASRV_OK || hasSessionData(v2);
        },
        boundMs);
    EXPECT_EQ(rc, ICASRV_OK) << dump(log.records());
    EXPECT_TRUE(arrived && hasSessionData(v2)) << "no data\n" << dump(log.records());
}

// The DLL creates its log at the first call of the process: a healthy session first.
std::string dllLog() {
    if (dllLogPath().empty()) {
        configureSession();
        EXPECT_EQ(dll().get(copyV1, nullptr), ICASRV_STARTED);
        EXPECT_TRUE(waitUntil([] { return dll().get(copyV1, nullptr) == ICASRV_OK && hasSessionData(false); }, 10000));
        EXPECT_EQ(dll().cleanup(), 0);
    }
    return dllLogPath();
}

void runCase(const FaultCase& c) {
    SCOPED_TRACE(c.name);
    dll().cleanup();  // nothing left running by a case that failed before its end
    const std::string logPath = dllLog();
    ASSERT_FALSE(logPath.empty());
    configureSession();
    if (c.setup) c.setup();
    if (c.fault != 0) wfsim_set_fault(c.fault, c.count);
    LogCapture log(logPath);

    ASSERT_EQ(call(c.v2), ICASRV_STARTED);
    std::string missing;
    const bool seen = waitUntil([&] { return findInOrder(log.records(), c.lines, &missing) >= 0; }, 15000);
    ASSERT_TRUE(seen) << "missing or out of order: " << missing << "\n--- log:\n" << dump(log.records());

    switch (c.outcome) {
        case Outcome::TaskEnds: {
            if (c.check) c.check(log);
            int32_t rc = 0;
            EXPECT_TRUE(waitUntil(
                [&] {
                    rc = call(c.v2);
                    return rc != ICASRV_OK;
                },
                5000));
            EXPECT_EQ(rc, ICASRV_STARTED) << "an ended task is started again";
            expectDeliveryWithin(c.v2, 10000, log);
            break;
        }
        case Outcome::Pending:
        case Outcome::NoStore: {
            g_calls = 0;
            EXPECT_EQ(call(c.v2), ICASRV_OK);
            EXPECT_EQ(g_calls, 1);
            if (c.check) {
                c.check(log);
            } else {
                EXPECT_TRUE(atDefaults(base(c.v2))) << "latency " << base(c.v2).latency << " user "
                                                    << base(c.v2).userName;
            }
            break;
        }
        case Outcome::Delivers:
            expectDeliveryWithin(c.v2, 10000, log);
            if (c.check) c.check(log);
            break;
    }

    EXPECT_EQ(dll().cleanup(), 0);
    EXPECT_EQ(accountingProblems(), "");
    EXPECT_TRUE(log.has("Data polling thread stopped", "DEBUG"));
}

std::vector<FaultCase> sessionCases() {
    const std::string sid = std::to_string(windowsSessionId());
    return {
        {"session id query fails", WFSIM_FAULT_SESSION_ID_QUERY_FAILS, 1, false,
         {exact("ERROR", "querySessionID", " === WFQuerySessionInformation failed: " + suffix(ERROR_ACCESS_DENIED)),
          exact("ERROR", kRun, "[METRICS THREAD] Exception: Session Connection ID is not valid."),
          exact("DEBUG", kRun, "[METRICS THREAD] finished...")},
         Outcome::TaskEnds},
        {"session id zero", WFSIM_FAULT_SESSION_ID_ZERO, 1, false,
         {exact("ERROR", "querySessionID",
                " === WFQuerySessionInformation: server dll does not run in ICA session(SessionID = 0)"),
          exact("ERROR", kRun, "[METRICS THREAD] Exception: Session Connection ID is not valid."),
          exact("DEBUG", kRun, "[METRICS THREAD] finished...")},
         Outcome::TaskEnds},
        {"session handle refused", WFSIM_FAULT_SMC_OPEN_FAILS, 1, false,
         {exact("ERROR", "openSessionHandle", " === WFSmcOpenSessionHandle: " + suffix(ERROR_ACCESS_DENIED)),
          exact("ERROR", kRun, "[METRICS THREAD] Exception: Cannot Open Session Handle."),
          exact("DEBUG", kRun, "[METRICS THREAD] finished...")},
         Outcome::TaskEnds},
        {"session handle null", WFSIM_FAULT_SMC_OPEN_NULL_HANDLE, 1, false,
         {pattern("DEBUG", "openSessionHandle", " === WFSmcOpenSessionHandle has been opened successfully; handle = 0x0+")},
         Outcome::Delivers},
        {"version query fails", WFSIM_FAULT_VERSION_QUERY_FAILS, 1, false,
         {exact("ERROR", "queryVDAVersion", " === WFQuerySessionInformation failed: " + suffix(ERROR_ACCESS_DENIED)),
          exact("ERROR", kRun, "The Driver error: can't get VDA version: -138"), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        {"state query fails", WFSIM_FAULT_STATE_QUERY_FAILS, 1, false,
         {exact("ERROR", "querySessionState", " === WFQuerySessionInformation failed: " + suffix(ERROR_ACCESS_DENIED)),
          exact("ERROR", kRun, "Query Session State error: -103"), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        {"session disconnected", 0, 0, false,
         {exact("DEBUG", "querySessionState",
                " === WFQuerySessionInformation success; WFConnectState = WFDisconnected [WinStation logged on without "
                "client]"),
          exact("WARN", kRun,
                "Session Connection State is not WFActive and not WFConnected. Waiting for connection..."),
          exact("ERROR", kRun, kWaiting)},
         Outcome::Pending, [] { wfsim_set_connect_state(4); }},
        {"channel list fails", WFSIM_FAULT_CHANNEL_LIST_FAILS, 1, false,
         {exact("ERROR", kPresence,
                "WFSmcGetSessionVirtualChannelNames failed with error : [31] : " + suffix(ERROR_GEN_FAILURE) +
                    " ;SessionId = " + sid + "; status = 31"),
          exact("ERROR", kRun, kNotFound), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        {"channel list empty", WFSIM_FAULT_CHANNEL_LIST_EMPTY, 1, false,
         {exact("DEBUG", kPresence,
                " === WFSmcGetSessionVirtualChannelNames succeeded, virtual channel count = 0; list of vchannels : "),
          exact("WARN", kPresence, kDashes),
          exact("WARN", kPresence, "Virtual channel oxlens does not exist on client side"),
          exact("WARN", kPresence, kDashes), exact("ERROR", kRun, kNotFound), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        {"channel offered in other case", WFSIM_FAULT_CHANNEL_LIST_OTHER_CASE, 1, false,
         {exact("INFO", kPresence, "\t\t|-- Virtual channel found  : [1] : oxlens"),
          exact("DEBUG", kPresence, "Virtual channel oxlens found")},
         Outcome::Delivers},
        {"channel list overflows its buffer", WFSIM_FAULT_CHANNEL_LIST_OVERFLOW, 1, false,
         {exact("DEBUG", kPresence,
                " === WFSmcGetSessionVirtualChannelNames succeeded, virtual channel count = 320; list of vchannels : "),
          exact("INFO", kPresence, "\t\t|-- Virtual channel found  : [1] : oxlens"),
          exact("DEBUG", kPresence, "Virtual channel oxlens found")},
         Outcome::Delivers},
        {"channel vanished", WFSIM_FAULT_CHANNEL_VANISHED, 1, false,
         {exact("DEBUG", kPresence,
                " === WFSmcGetSessionVirtualChannelNames succeeded, virtual channel count = 2; list of vchannels : "),
          exact("INFO", kPresence, "\t\t|-- Virtual channel found  : [1] : ctxtw"),
          exact("WARN", kPresence, "Virtual channel oxlens does not exist on client side"),
          exact("ERROR", kRun, kNotFound), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        // A client whose channel name is no valid UTF-16 cannot be compared: the task ends, and
        // the next call starts a new one, which finds the channel once the name is gone.
        {"channel name without valid UTF-16", 0, 0, false,
         {exact("INFO", kPresence, "\t\t|-- Virtual channel found  : [0] : ctxcam"),
          exact("ERROR", kRun, "[METRICS THREAD] Exception: bad conversion"),
          exact("DEBUG", kRun, "[METRICS THREAD] finished...")},
         Outcome::TaskEnds,
         [] {
             const wchar_t broken[] = {L'C', L'T', L'X', wchar_t(0xD800), L'\0'};
             const wchar_t* names[] = {L"CTXCAM", broken, L"OXLENS"};
             wfsim_set_channels(names, 3);
         },
         [](const LogCapture&) {
             const wchar_t* names[] = {L"CTXCAM", L"OXLENS"};
             wfsim_set_channels(names, 2);
         }},
    };
}

std::vector<FaultCase> channelCases() {
    const std::string opened = " === WFVirtualChannelOpen has been opened successfully; handle = 0x[0-9a-fA-F]+\n";
    const std::string cannotOpen = "The virtual channel 'OXLENS' cannot be opened, system error \\[-?\\d+\\]: .*";
    auto pingFailed = [](int code) {
        return pattern("ERROR", kRun,
                       "SendBeginAndEndPing failed with error : " + std::to_string(code) +
                           ", system error \\[-?\\d+\\]: .*");
    };
    const Line v1Failed = pattern(
        "ERROR", kRun, "\\[METRICS THREAD\\] SendDataReq_v1 failed with error : \\[\\d+\\] : [\\s\\S]*; continue requests\\.\\.\\.");
    const Line v2Failed = pattern(
        "ERROR", kRun, "\\[METRICS THREAD\\] : SendDataReq_v2 failed with error: \\[\\d+\\] : [\\s\\S]*; continuing requests\\.\\.\\.");
    return {
        {"channel open fails", WFSIM_FAULT_CHANNEL_OPEN_FAILS, 1, false,
         {exact("ERROR", "tryOpenVirtualChannel", " === WFVirtualChannelOpen failed: " + suffix(ERROR_GEN_FAILURE)),
          pattern("ERROR", kRun, cannotOpen), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        // The channel is open when its client data cannot be fetched: the task holds it until
        // the next open or its end, and cleanup leaves nothing open (checked for every case).
        {"client data query fails", WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS, 1, false,
         {pattern("DEBUG", "tryOpenVirtualChannel", opened),
          exact("ERROR", "tryOpenVirtualChannel", " === WFVirtualChannelQuery failed: " + suffix(ERROR_GEN_FAILURE)),
          pattern("ERROR", kRun, cannotOpen), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        {"write fails", WFSIM_FAULT_WRITE_FAILS, 1, false,
         {exact("ERROR", kPing, "PING request writing error: 31"), pingFailed(-127), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        {"short write", WFSIM_FAULT_WRITE_SHORT, 1, false,
         {exact("ERROR", kPing,
                "PING request writing error: Should write 4160 bytes, written : 2080 bytes; System error: 0"),
          pingFailed(-128), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        {"read fails", WFSIM_FAULT_READ_FAILS, 1, false,
         {exact("ERROR", kPing, "PONG response eeading error:31"), pingFailed(-129), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        // Nothing read and nothing left to drain: the untouched answer buffer has no signature.
        {"read delivers nothing", WFSIM_FAULT_READ_ZERO_BYTES, 1, false,
         {exact("ERROR", kPing, "Error Reading PONG response. Expected uSign = 0x4950, received 0x0."),
          pingFailed(-131), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        {"stale answers are drained", WFSIM_FAULT_STALE_ANSWERS, 1, false,
         {exact("INFO", kRun, "[METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully")},
         Outcome::Delivers, nullptr,
         [](const LogCapture& log) {
             for (const auto& r : log.records())
                 EXPECT_FALSE(r.func == kPing || r.func == kV1) << describe(r);
         }},
        {"swapped signature", WFSIM_FAULT_SWAPPED_SIGNATURE, 1, false,
         {exact("ERROR", kPing, "Error Reading PONG response. Expected uSign = 0x4950, received 0x5049."),
          pingFailed(-131), exact("ERROR", kRun, kWaiting)},
         Outcome::Pending},
        {"answers shorter than announced", WFSIM_FAULT_ANSWER_SHORTER, -1, false,
         {exact("ERROR", kV1, "ERROR reading length..."),
          exact("ERROR", kV1, "VirtualChannelRead Too Short - read 2088 bytes\n"), v1Failed},
         Outcome::NoStore},
        {"answers longer than announced", WFSIM_FAULT_ANSWER_LONGER, -1, false,
         {exact("ERROR", kV1, "ERROR reading length..."),
          pattern("ERROR", kV1, "VirtualChannelRead Too Short - read \\d+ bytes\n"), v1Failed},
         Outcome::NoStore},
        // Answers announcing 65535 bytes: no read ever asks for more than its buffer holds.
        {"length beyond the buffer", WFSIM_FAULT_LENGTH_BEYOND_BUFFER, -1, true,
         {exact("ERROR", kV1, "ERROR reading length..."),
          exact("ERROR", kV1, "VirtualChannelRead Too Short - read 4160 bytes\n"), v1Failed,
          exact("WARN", kV2, "didn't get data v2 (maybe old client)..."), exact("ERROR", kV2, "ERROR reading length..."),
          v2Failed},
         Outcome::NoStore, nullptr,
         [](const LogCapture&) {
             EXPECT_TRUE(atDefaults(g_v2.base));
             EXPECT_EQ(g_v2.ext.extValue1, -1);
             std::vector<DWORD> sizes(4096);
             sizes.resize(wfsim_read_sizes(sizes.data(), static_cast<DWORD>(sizes.size())));
             ASSERT_FALSE(sizes.empty());
             for (DWORD size : sizes) EXPECT_TRUE(size == 4160 || size == 1092) << "read of " << size << " bytes";
         }},
        // Texts filled to the brim reach the host as they came, every array without its NUL.
        {"texts without terminator", WFSIM_FAULT_TEXT_WITHOUT_NUL, -1, true,
         {exact("INFO", kRun, "[METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully")},
         Outcome::Delivers, nullptr,
         [](const LogCapture&) {
             for (const auto& f : records::clientInfoTexts())
                 EXPECT_EQ(records::textLength(&g_v2.base, f), f.size) << f.name;
             for (const auto& f : records::extTexts()) EXPECT_EQ(records::textLength(&g_v2.ext, f), f.size) << f.name;
             EXPECT_GE(g_v2.base.latency, 0);
             EXPECT_EQ(g_v2.base.clientValue1, 11);
         }},
        // Without names the version-1 record is never stored, yet the version-2 record takes
        // each cycle's data; the third nameless cycle in a row backs off.
        {"answers without names", WFSIM_FAULT_EMPTY_NAMES, -1, true,
         {exact("ERROR", kRun, "[METRICS THREAD] : [clientInfo.userName] or [clientInfo.computerName] is empty."),
          exact("ERROR", kRun, kWaiting)},
         Outcome::Pending, nullptr,
         [](const LogCapture&) {
             EXPECT_STREQ(g_v2.ext.extText1, kExtText);
             EXPECT_EQ(g_v2.base.userName[0], '\0');
             EXPECT_EQ(g_v2.base.clientValue1, 11);
             EXPECT_GE(g_v2.base.latency, 0);
             ASSERT_EQ(dll().get(copyV1, nullptr), ICASRV_OK);
             EXPECT_TRUE(atDefaults(g_v1));
         }},
        // Complete answers of another type: both requests count as answered, nothing is copied.
        {"answers of another type", WFSIM_FAULT_WRONG_ANSWER_TYPE, -1, true,
         {exact("WARN", kV2, "didn't get data v2 (maybe old client)...")},
         Outcome::NoStore, nullptr,
         [](const LogCapture& log) {
             EXPECT_EQ(log.countContaining("SendDataReq_v1 failed"), 0) << dump(log.records());
             EXPECT_EQ(log.countContaining("SendDataReq_v2 failed"), 0);
             EXPECT_EQ(g_v2.base.userName[0], '\0');
             EXPECT_EQ(g_v2.ext.extValue1, -1);
             EXPECT_EQ(g_v2.ext.extText1[0], '\0');
         }},
    };
}

}  // namespace

TEST(FaultMatrix, SessionAndChannelDiscoveryFaults) {
    for (const auto& c : sessionCases()) {
        runCase(c);
        if (HasFatalFailure()) return;
    }
}

TEST(FaultMatrix, ChannelTrafficFaults) {
    for (const auto& c : channelCases()) {
        runCase(c);
        if (HasFatalFailure()) return;
    }
}
