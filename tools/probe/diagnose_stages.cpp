#include "diagnose_stages.h"

#include <cctype>
#include <cstring>

namespace diagnose {
namespace {

enum StageId { WFAPI, SESSION_ID, SESSION_ACTIVE, CHANNEL_OFFERED, CHANNEL_OPEN, PING, DATA_V1, DATA_V2, READS, COUNT };

const char* const kTitles[COUNT] = {"WFAPI loaded",
                                    "session identified (not the console or a non-ICA session)",
                                    "session active",
                                    "the client offers OXLENS",
                                    "channel opened",
                                    "ping answered",
                                    "version-1 data",
                                    "version-2 data",
                                    "read failures"};

const char* const kCheckServices = " Check that the Citrix services on the VDA run, then run the probe again.";

// Advice for the failures the log can show; the stage's own line says the details.
const char* const kNoWfapi =
    "WFAPI.DLL cannot be loaded: this machine is not a Citrix VDA, or WFAPI.DLL is not on the DLL search "
    "path of the process. Run the probe (and the agent) on the VDA, inside the user's ICA session.";
const char* const kWfapiIncomplete =
    "The WFAPI.DLL that was found lacks an entry point the library needs: it is not the VDA's own "
    "WFAPI.DLL, or a very old one. Look for another WFAPI.DLL in the probe's folder, the current folder or on PATH.";
const char* const kNotIca =
    "This is not an ICA session: the library runs on the console or in a non-ICA (for example RDP) "
    "session. Run the probe, and the agent, inside the user's Citrix session on the VDA.";
const char* const kSessionQuery = "The VDA does not tell the session's id (the query failed, see the line above).";
const char* const kSessionHandle = "The VDA refuses a monitoring handle for this session (see the line above).";
const char* const kNotConnected =
    "The session is not connected to the user's client (see its state above). Ask the user to reconnect "
    "to the session; the library then tries again after its back-off wait (60 s, then 120, 240 and 300 s), "
    "or restart the agent.";
const char* const kStateQuery = "The VDA does not answer the session queries (see the line above).";
const char* const kNoChannel =
    "The user's Citrix client does not offer the OXLENS virtual channel: the OXLENS component is not "
    "installed on the user's endpoint, or it is disabled there. Install or enable it, then reconnect the session.";
const char* const kChannelList = "The VDA cannot list the session's virtual channels (see the line above).";
const char* const kOpenFailed =
    "The client offers OXLENS, but the channel cannot be opened: a Citrix policy may block it (the "
    "virtual channel allow list on the VDA), or the client's component refused it. Allow OXLENS in the "
    "policy, then reconnect the session.";
const char* const kPingSilent =
    "The channel is open, but the OXLENS counterpart on the endpoint does not answer. Its component on "
    "the client is not running or hangs: restart the Citrix client (Workspace app) on the endpoint, and "
    "reinstall the OXLENS component if that does not help.";
const char* const kPingWrite =
    "Requests cannot be written to the channel: the connection to the client dropped or the client "
    "closed the channel. Reconnect the session and run the probe again.";
const char* const kPingSignature =
    "Something answers on the channel, but not in the OXLENS protocol (wrong signature): the client's "
    "component does not match this plug-in. Install the matching OXLENS component on the endpoint.";
const char* const kV1Failed =
    "The counterpart answers pings, but its version-1 data did not arrive whole (see the line above). "
    "Update the OXLENS component on the endpoint; if reads fail too, check the network between endpoint and VDA.";
const char* const kEmptyNames =
    "The counterpart answers with neither a user name nor a computer name, so the library keeps no "
    "record. Check the OXLENS component on the endpoint (its version and its rights to read these names).";
const char* const kOldClient =
    "The client sends version-1 data but no version-2 data: its OXLENS component is too old. Update it "
    "on the endpoint, or let the agent ask for version-1 data (the probe without --v2 shows it).";
const char* const kV2Failed =
    "The version-2 request failed (see the line above). Update the OXLENS component on the endpoint.";
const char* const kReadFailures =
    "Channel reads fail now and then: the connection between endpoint and VDA is unstable or the "
    "client's component answers late. Check the network and the session's round trip; update the OXLENS component.";

struct Rule {
    StageId stage;
    bool ok;
    const char* func;
    const char* text;
    bool prefix;  // text starts the message, else it is the whole message
    const char* advice;
    const char* extra = "";
    const char* detailFrom = nullptr;  // show this function's last line of the cycle instead, it says more
};

// The library's own lines, first match wins (so an ok line comes before a broader failure line).
const Rule kRules[] = {
    {WFAPI, true, "initWFAPI", "[WFAPI_WRAPPER] : WFAPI Wrapper loaded successfully", false, nullptr},
    {WFAPI, false, "initWFAPI", "[WFAPI_WRAPPER] ERR : LoadLibraryW [", true, kNoWfapi},
    {WFAPI, false, "initWFAPI", " [WFAPI_WRAPPER] ERR : GetProcAddress [", true, kWfapiIncomplete},
    {SESSION_ID, true, "querySessionID", " === WFQuerySessionInformation success: SessionID = ", true, nullptr},
    {SESSION_ID, false, "querySessionID",
     " === WFQuerySessionInformation: server dll does not run in ICA session(SessionID = 0)", false, kNotIca},
    {SESSION_ID, false, "querySessionID", " === WFQuerySessionInformation failed: ", true, kSessionQuery,
     kCheckServices},
    {SESSION_ID, false, "openSessionHandle", " === WFSmcOpenSessionHandle: ", true, kSessionHandle, kCheckServices},
    {SESSION_ACTIVE, true, "querySessionState", " === WFQuerySessionInformation success; WFConnectState = WFActive ",
     true, nullptr},
    {SESSION_ACTIVE, true, "querySessionState", " === WFQuerySessionInformation success; WFConnectState = WFConnected ",
     true, nullptr},
    {SESSION_ACTIVE, false, "querySessionState", " === WFQuerySessionInformation success; WFConnectState = ", true,
     kNotConnected},
    {SESSION_ACTIVE, false, "querySessionState", " === WFQuerySessionInformation failed: ", true, kStateQuery,
     kCheckServices},
    {SESSION_ACTIVE, false, "queryVDAVersion", " === WFQuerySessionInformation failed: ", true, kStateQuery,
     kCheckServices},
    {CHANNEL_OFFERED, true, "queryOXChannelPresence", "Virtual channel oxlens found", false, nullptr},
    {CHANNEL_OFFERED, false, "queryOXChannelPresence", "Virtual channel oxlens does not exist on client side", false,
     kNoChannel},
    {CHANNEL_OFFERED, false, "queryOXChannelPresence", "WFSmcGetSessionVirtualChannelNames failed with error : ", true,
     kChannelList, kCheckServices},
    {CHANNEL_OFFERED, false, "queryOXChannelPresence", "WFSmcOpenSessionHandle failed with error : ", true,
     kChannelList, kCheckServices},
    {CHANNEL_OFFERED, false, "queryOXChannelPresence", "ProcessIdToSessionId failed with error : ", true, kChannelList,
     kCheckServices},
    {CHANNEL_OPEN, true, "OxMetricsTask::run",
     "[METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully", false, nullptr},
    {CHANNEL_OPEN, false, "tryOpenVirtualChannel", " === WFVirtualChannelOpen failed: ", true, kOpenFailed},
    {CHANNEL_OPEN, false, "tryOpenVirtualChannel", " === WFVirtualChannelQuery failed: ", true, kOpenFailed},
    {PING, false, "SendBeginAndEndPing", "PING request writing error: ", true, kPingWrite},
    {PING, false, "SendBeginAndEndPing", "PONG response eeading error:", true, kPingSilent},
    {PING, false, "SendBeginAndEndPing", "Error Reading PONG response.", true, kPingSignature},
    {DATA_V1, false, "OxMetricsTask::run", "[METRICS THREAD] SendDataReq_v1 failed with error : ", true, kV1Failed, "",
     "SendDataReq_v1"},
    {DATA_V1, false, "OxMetricsTask::run",
     "[METRICS THREAD] : [clientInfo.userName] or [clientInfo.computerName] is empty.", false, kEmptyNames},
    // An old client ignores the request: its reads wait out their time-out (258), and after five
    // attempts the library names the likely cause itself.
    {DATA_V2, false, "SendDataReq_v2", "VirtualChannelRead Failed 258", true, kOldClient},
    {DATA_V2, false, "SendDataReq_v2", "didn't get data v2 (maybe old client)...", false, kOldClient},
    {DATA_V2, false, "OxMetricsTask::run", "[METRICS THREAD] : SendDataReq_v2 failed with error: ", true, kV2Failed, "",
     "SendDataReq_v2"},
};

bool matches(const Rule& r, const LogLine& l) {
    if (l.func != r.func) return false;
    return r.prefix ? l.message.compare(0, std::strlen(r.text), r.text) == 0 : l.message == r.text;
}

bool startsWith(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// The advice names the WinFrame API library as the load error line does (its name differs by architecture).
std::string withLibraryName(std::string advice, const std::string& loadErrorLine) {
    const size_t start = loadErrorLine.find('[', loadErrorLine.find("LoadLibraryW")) + 1;
    const size_t end = loadErrorLine.find(']', start);
    const std::string name = loadErrorLine.substr(start, end == std::string::npos ? 0 : end - start);
    for (size_t at = advice.find("WFAPI.DLL"); !name.empty() && at != std::string::npos;
         at = advice.find("WFAPI.DLL", at + name.size()))
        advice.replace(at, 9, name);
    return advice;
}

}  // namespace

void parseLog(const std::string& text, std::vector<LogLine>& out) {
    // "2026-12-06 06:47:21.474 INFO  [284] [initGlobalData@38] message"
    static const char kShape[] = "dddd-dd-dd dd:dd:dd.ddd ";
    const size_t shapeLength = sizeof kShape - 1;
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;  // plog starts each file with a BOM
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool head = line.size() > shapeLength;
        for (size_t i = 0; head && i < shapeLength; ++i)
            head = kShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == kShape[i];
        const size_t severityEnd = head ? line.find(' ', shapeLength) : std::string::npos;
        const size_t threadStart = line.find('[', severityEnd == std::string::npos ? line.size() : severityEnd);
        const size_t threadEnd = line.find("] [", threadStart == std::string::npos ? line.size() : threadStart);
        const size_t funcEnd = line.find("] ", threadEnd == std::string::npos ? line.size() : threadEnd + 3);
        if (funcEnd == std::string::npos) {
            if (!out.empty()) out.back().message += "\n" + line;
            continue;
        }
        LogLine l;
        l.severity = line.substr(shapeLength, severityEnd - shapeLength);
        l.thread = line.substr(threadStart + 1, threadEnd - threadStart - 1);
        const std::string funcAndLine = line.substr(threadEnd + 3, funcEnd - threadEnd - 3);
        l.func = funcAndLine.substr(0, funcAndLine.rfind('@'));
        l.message = line.substr(funcEnd + 2);
        l.raw = line;
        out.push_back(std::move(l));
    }
}

std::vector<Stage> tellStages(const std::vector<LogLine>& log, const RecordFacts& record, bool v2) {
    std::vector<Stage> stages(COUNT);
    for (int i = 0; i < COUNT; ++i) stages[i].title = kTitles[i];
    std::string channels, firstReadFailure;  // the client's channels as last listed
    int readFailures = 0;
    bool listing = false, v1FailedEver = false, v1FailedInCycle = false;
    std::string v2Line, lastV1Line, lastV2Line;  // of the current polling cycle
    for (const LogLine& l : log) {
        if (l.func == "queryVDAVersion" && l.message == "Calling WFQuerySessionInformation for WFVersion...") {
            v1FailedInCycle = false;  // each polling cycle starts with this query
            lastV1Line.clear(), lastV2Line.clear();
        }
        if (l.func == "SendDataReq_v1") lastV1Line = l.raw;
        if (l.func == "SendDataReq_v2") lastV2Line = l.raw;
        if (l.func == "queryOXChannelPresence") {
            if (l.message == "Listing all channels on the client side ...") channels.clear(), listing = true;
            const char* const found = "\t\t|-- Virtual channel found  : [";
            const size_t name = l.message.find("] : ");
            if (listing && startsWith(l.message, found) && name != std::string::npos)
                channels += (channels.empty() ? "" : ", ") + l.message.substr(name + 4);
        }
        if (l.func == "SendDataReq_v1" && startsWith(l.message, "VirtualChannelRead Failed ")) {
            if (readFailures++ == 0) firstReadFailure = l.raw;
        }
        for (const Rule& r : kRules) {
            if (!matches(r, l)) continue;
            // Names missing after a failed request are its consequence, not a cause of their own.
            if (r.advice == kEmptyNames && v1FailedInCycle) break;
            // So is the failure of a version-2 request that an old client left unanswered.
            if (r.advice == kV2Failed && stages[DATA_V2].advice == kOldClient) break;
            Stage& s = stages[r.stage];
            s.status = r.ok ? Status::Ok : Status::Failed;
            const std::string& detail = !r.detailFrom ? l.raw : r.stage == DATA_V1 ? lastV1Line : lastV2Line;
            s.shownBy = detail.empty() ? l.raw : detail;
            s.advice = r.advice ? std::string(r.advice) + r.extra : "";
            if (r.advice == kNoChannel && !channels.empty()) s.advice += " The client offers: " + channels + ".";
            if (r.advice == kNoWfapi) s.advice = withLibraryName(s.advice, l.message);
            v1FailedInCycle = v1FailedInCycle || r.advice == kV1Failed;
            v1FailedEver = v1FailedEver || (r.stage == DATA_V1 && !r.ok);
            if (r.stage == DATA_V2) v2Line = l.raw;
            // A step of a polling cycle runs only after the steps before it passed in the same
            // cycle; the last of those that fail end the cycle, so a later step shows them passed.
            for (int earlier = WFAPI; earlier < r.stage && earlier <= PING; ++earlier) {
                if (stages[earlier].status == Status::Ok) continue;
                stages[earlier].status = Status::Ok;
                stages[earlier].shownBy = "(a later step ran) " + l.raw;
                stages[earlier].advice.clear();
            }
            break;
        }
    }
    if (record.present && record.latency >= 0) {  // a ping was answered, whatever an earlier one met
        stages[PING].status = Status::Ok;
        stages[PING].shownBy = "latency " + std::to_string(record.latency) + " ms in the record";
        stages[PING].advice.clear();
    }
    if (record.present && (!record.userName.empty() || !record.computerName.empty())) {
        stages[DATA_V1].status = Status::Ok;  // the data arrived, whatever a cycle before met
        stages[DATA_V1].shownBy =
            "userName " + quoted(record.userName) + ", computerName " + quoted(record.computerName) + " in the record";
        stages[DATA_V1].advice.clear();
    } else if (stages[DATA_V1].status == Status::NotReached && !v2Line.empty() && !v1FailedEver) {
        stages[DATA_V1].status = Status::Ok;
        stages[DATA_V1].shownBy = "(no version-1 failure before the version-2 request) " + v2Line;
    }
    if (!v2) {
        stages[DATA_V2] = Stage{kTitles[DATA_V2], Status::Skipped, "run with --v2 to check it", ""};
    } else if (record.present) {  // a version-2 record is stored only with its extension
        stages[DATA_V2] =
            Stage{kTitles[DATA_V2], Status::Ok, "ext.extText1 " + quoted(record.extText1) + " in the record", ""};
    }
    Stage& reads = stages[READS];
    const std::string percent =
        record.present ? "; readFailurePercent " + std::to_string(record.readFailurePercent) + " % in the record" : "";
    if (readFailures > 0 || record.readFailurePercent > 0) {
        reads.status = Status::Failed;
        reads.shownBy = (firstReadFailure.empty() ? "no failed read in the log" : firstReadFailure) + " (" +
                        std::to_string(readFailures) + " failed version-1 reads in the log" + percent + ")";
        reads.advice = kReadFailures;
    } else if (stages[DATA_V1].status != Status::NotReached) {
        reads.status = Status::Ok;
        reads.shownBy = "no failed version-1 read in the log" + percent;
    }
    return stages;
}

}  // namespace diagnose
