// Session queries and finding and opening the OXLENS channel, against the substitute WFAPI.DLL.
#include <gtest/gtest.h>

#include <regex>

#include "citrix/channel_discovery.h"
#include "citrix/session_queries.h"
#include "support/wfsim_support.h"
#include "utils/oxe_auto_handle.h"

namespace {

using SessionAccess = WfapiTest;
const std::string kDashes(88, '-');
const std::string kFound = "\t\t|-- Virtual channel found  : ";
const std::string kCount = " === WFSmcGetSessionVirtualChannelNames succeeded, virtual channel count = ";
const char* const kQ = "queryOXChannelPresence";

void expectTrace(const LogCapture& log, const char* func, const std::string& call, const std::string& outcome) {
    expectRecords(log.records(), {{"DEBUG", func, call}, {"DEBUG", func, outcome}});
}

}  // namespace

// Their error lines, and the version query's -138: where the polling task meets these faults (tests/faults).
TEST_F(SessionAccess, FailuresReturnTheirCodesWithSafeOutputs) {
    DWORD id = 77, state = 0;
    HANDLE session = reinterpret_cast<HANDLE>(1);
    for (WfsimFault fault :
         {WFSIM_FAULT_SESSION_ID_QUERY_FAILS, WFSIM_FAULT_STATE_QUERY_FAILS, WFSIM_FAULT_SMC_OPEN_FAILS})
        wfsim_set_fault(fault, 1);
    EXPECT_EQ(querySessionID(&id), -101);
    EXPECT_EQ(querySessionState(&state), -103);
    EXPECT_EQ(openSessionHandle(2, &session), -104);
    EXPECT_TRUE(id == 0 && state == WFIdle && session == nullptr);
    wfsim_set_session_id_raw(0x00010000);  // only the first 16 bits count
    EXPECT_EQ(querySessionID(&id), -102);
    // A success without a buffer (its line: tests/faults) fails every query.
    wfsim_set_fault(WFSIM_FAULT_QUERY_NULL_BUFFER, 3);
    EXPECT_TRUE(querySessionID(&id) == -101 && querySessionState(&state) == -103 && queryVDAVersion() == -138);
}

TEST_F(SessionAccess, SuccessLinesShowTheIdTheStateTheVersionAndTheHandle) {
    DWORD id = 0;
    wfsim_set_session_id_raw(0x0003ABCD);
    LogCapture idLog;
    EXPECT_TRUE(querySessionID(&id) == 0 && id == 0xABCD);
    expectTrace(idLog, "querySessionID", ">> WFQuerySessionInformation for WFSessionId ...",
                " === WFQuerySessionInformation success: SessionID = 43981");

    const char* const texts[] = {
        "WFActive [User logged on to WinStation]", "WFConnected [WinStation connected to client]",
        "WFConnectQuery [In the process of connecting to client]", "WFShadow [Shadowing another WinStation]",
        "WFDisconnected [WinStation logged on without client]", "WFIdle [Waiting for client to connec]t",
        "WFListen [WinStation is listening for connection]", "WFReset [WinStation is being reset]",
        "WFDown [WinStation is down due to error]", "WFInit [WinStation in initialization]"};
    for (DWORD value : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 0xFFFFu}) {
        wfsim_set_connect_state(value);
        DWORD state = 99;
        LogCapture log;
        EXPECT_TRUE(querySessionState(&state) == 0 && state == value) << "an unknown state is stored, not refused";
        const std::string text = value < 10 ? texts[value] : "WFUnknown [Connect state not known]";
        expectTrace(log, "querySessionState", ">> WFQuerySessionInformation for WFConnectState ...",
                    " === WFQuerySessionInformation success; WFConnectState = " + text);
    }

    // A CSD text that is not valid UTF-16 is only logged: the query still succeeds.
    for (auto [csd, text] : {std::pair<const wchar_t*, const char*>{L"Service Pack 1 \u00e9", "Service Pack 1 \xc3\xa9"},
                             {L"SP\xD800", "(not valid UTF-16)"}}) {
        wfsim_set_vda_version(7, 41, 12345, 2, csd);
        LogCapture version;
        EXPECT_EQ(queryVDAVersion(), 0);
        expectTrace(version, "queryVDAVersion", "Calling WFQuerySessionInformation for WFVersion...",
                    " === WFQuerySessionInformation success; VDA Version : \n\tmajor = 7; \n\tminor = 41;"
                    "\n\tbuild number = 12345;\n\tPlatform ID = 2;\n\tCSD version = " + std::string(text));
    }

    HANDLE session = nullptr;
    LogCapture log;
    EXPECT_EQ(openSessionHandle(2, &session), 0);
    expectTrace(log, "openSessionHandle", ">> WFSmcOpenSessionHandle ...",
                " === WFSmcOpenSessionHandle has been opened successfully; handle = 0x" + hexDigits(session));
    EXPECT_EQ(_glWFAPITable.WFSmcCloseSessionHandle(WF_CURRENT_SERVER_HANDLE, session), 0u);
}

// Non-ASCII names and look-alikes never match: tests/hostile (the lowering itself: ToLower in tests/utils).
// A session handle that cannot be had (or a null one) ends the listing with the code twice and the session.
TEST_F(SessionAccess, ListsUpToTheFirstMatchIgnoringTheCaseOfAsciiLettersOrFailsWithoutASessionHandle) {
    const wchar_t* const channels[] = {L"CTXCAM", L"oXlEnS", L"CTXTW", L"OXLENS"};
    const std::string sid = windowsSessionId();
    const std::regex handle("WFSmcOpenSessionHand call is OK; Session Handle = [0-9A-F]{" +
                            std::to_string(2 * sizeof(void*)) + "}");
    for (auto [fault, status] : {std::pair<int, DWORD>{0, 0}, {WFSIM_FAULT_SMC_OPEN_FAILS, ERROR_ACCESS_DENIED},
                                 {WFSIM_FAULT_SMC_OPEN_NULL_HANDLE, ERROR_SUCCESS}}) {
        SCOPED_TRACE(fault);
        wfsim_set_channels(channels, 4);
        if (fault != 0) wfsim_set_fault(fault, 1);
        LogCapture log;
        EXPECT_EQ(queryOXChannelPresence("OxLens"), fault != 0 ? -104 : 0);
        const auto got = log.records();
        ASSERT_EQ(got.size(), fault != 0 ? 6u : 13u) << log.dump();
        std::vector<LogRecord> want = {
            {"DEBUG", kQ, "Calling queryOXChannelPresence to find if our custom channel presents...["
                          " channel name = oxlens]"},
            {"DEBUG", kQ, "Listing all channels on the client side ..."},
            {"DEBUG", kQ, "\tCalling ProcessIdToSessionId with current process...."},
            {"DEBUG", kQ, "ProcessIdToSessionId call is OK; Querying VC names for session id : " + sid},
            {"DEBUG", kQ, "\tCalling _WFSmcOpenSessionHandle with parameters : server handle =  "
                          "WF_CURRENT_SERVER_HANDLE;sessionId = " + sid}};
        if (fault != 0) {
            const std::string code = std::to_string(status);
            want.push_back({"ERROR", kQ, "WFSmcOpenSessionHandle failed with error : [" + code + "] : " +
                                             errorText(status) + " ;SessionId = " + sid + "; status = " + code});
        } else {
            EXPECT_TRUE(std::regex_match(got[5].message, handle)) << got[5].message;
            want.insert(want.end(), {{"DEBUG", kQ, got[5].message},
                                     {"DEBUG", kQ, ">> WFSmcGetSessionVirtualChannelNames ..."},
                                     {"DEBUG", kQ, kCount + "4; list of vchannels : "},
                                     {"INFO", kQ, kFound + "[0] : ctxcam"}, {"INFO", kQ, kFound + "[1] : oxlens"},
                                     {"DEBUG", kQ, kDashes}, {"DEBUG", kQ, "Virtual channel oxlens found"},
                                     {"DEBUG", kQ, kDashes}});
        }
        expectRecords(got, want);
    }
}

// The failure lines of the open and the query are compared where the polling task meets them (tests/faults).
TEST_F(SessionAccess, OpensTheChannelOrLeavesTheOpenedOneToTheCaller) {
    const WFAPITable& wf = _glWFAPITable;
    for (auto [fault, code] : {std::pair<int, int>{0, 0}, {WFSIM_FAULT_CHANNEL_OPEN_FAILS, -124},
                               {WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS, -125}}) {
        if (fault != 0) wfsim_set_fault(fault, 1);
        auto channel = OxeUtils::makeAutoHandle<HANDLE>(nullptr, [&wf](HANDLE h) { wf.WFVirtualChannelClose(h); });
        auto data = OxeUtils::makeAutoHandle<_VDOXLENS_C2H*>(nullptr, [&wf](_VDOXLENS_C2H* p) { wf.WFFreeMemory(p); });
        DWORD length = 0;
        LogCapture log;
        EXPECT_EQ(tryOpenVirtualChannel(channel.addressOf(), data.addressOf(), &length), code);
        EXPECT_EQ(channel.get() != nullptr, code != -124) << "an opened channel is the caller's";
        EXPECT_EQ(data.get() != nullptr && length > 0, code == 0);
        EXPECT_EQ(wfsim_outstanding(), code == 0 ? 2 : code == -125 ? 1 : 0);
        if (code != 0) continue;
        const char* const t = "tryOpenVirtualChannel";
        expectRecords(log.records(),
                      {{"DEBUG", t, ">> Trying to open virtual channel OXLENS"},
                       {"DEBUG", t, " === WFVirtualChannelOpen has been opened successfully; handle = 0x" +
                                        hexDigits(channel.get()) + "\n"},
                       {"DEBUG", t, ">> WFVirtualChannelQuery [WFVirtualClientData] on channel OXLENS..."},
                       {"ERROR", t, " === WFVirtualChannelQuery success"}});
    }
}
