// Session queries against the substitute WFAPI.DLL, with the log read back from the file.
#include <gtest/gtest.h>

#include <string>

#include "citrix/session_queries.h"
#include "citrix/wf_test_support.h"
#include "citrix/wfapi_loader.h"
#include "support/log_capture.h"
#include "wfsim_control.h"

using wftest::expectFailureLine;
using wftest::expectRecords;

namespace {

class SessionQueries : public ::testing::Test {
protected:
    void SetUp() override {
        ensureTestLog();
        ASSERT_TRUE(loadWFAPIWrapper());
        wfsim_reset();
    }
    void TearDown() override { EXPECT_EQ(wfsim_outstanding(), 0) << "a query buffer or handle was not released"; }
};

std::string hexDigits(const void* handle) {
    char text[32];
    snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

}  // namespace

TEST_F(SessionQueries, SessionIdIsTheFirstSixteenBitsOfTheBuffer) {
    DWORD id = 77;
    LogCapture ok;
    EXPECT_EQ(querySessionID(&id), 0);
    EXPECT_EQ(id, 2u);
    expectRecords(ok.records(), {{"DEBUG", "querySessionID", ">> WFQuerySessionInformation for WFSessionId ..."},
                                 {"DEBUG", "querySessionID", " === WFQuerySessionInformation success: SessionID = 2"}});

    wfsim_set_session_id_raw(0x0003ABCD);
    EXPECT_EQ(querySessionID(&id), 0);
    EXPECT_EQ(id, 0xABCDu) << "only the low 16 bits count";

    wfsim_set_session_id_raw(0x00010000);
    LogCapture zero;
    EXPECT_EQ(querySessionID(&id), -102);
    EXPECT_EQ(id, 0u);
    expectRecords(zero.records(),
                  {{"DEBUG", "querySessionID", ">> WFQuerySessionInformation for WFSessionId ..."},
                   {"ERROR", "querySessionID",
                    " === WFQuerySessionInformation: server dll does not run in ICA session(SessionID = 0)"}});

    wfsim_reset();
    wfsim_set_fault(WFSIM_FAULT_SESSION_ID_QUERY_FAILS, 1);
    id = 77;
    LogCapture failed;
    EXPECT_EQ(querySessionID(&id), -101);
    EXPECT_EQ(id, 0u);
    const auto records = failed.records();
    ASSERT_EQ(records.size(), 2u) << failed.dump();
    expectFailureLine(records[1], "ERROR", "querySessionID", " === WFQuerySessionInformation failed: ");
}

TEST_F(SessionQueries, ConnectStateTextsIncludingUnknownStates) {
    const char* const texts[10] = {
        "WFActive [User logged on to WinStation]",
        "WFConnected [WinStation connected to client]",
        "WFConnectQuery [In the process of connecting to client]",
        "WFShadow [Shadowing another WinStation]",
        "WFDisconnected [WinStation logged on without client]",
        "WFIdle [Waiting for client to connec]t",
        "WFListen [WinStation is listening for connection]",
        "WFReset [WinStation is being reset]",
        "WFDown [WinStation is down due to error]",
        "WFInit [WinStation in initialization]",
    };
    for (DWORD value = 0; value < 10; ++value) {
        wfsim_set_connect_state(value);
        DWORD state = 99;
        LogCapture log;
        EXPECT_EQ(querySessionState(&state), 0);
        EXPECT_EQ(state, value);
        expectRecords(log.records(),
                      {{"DEBUG", "querySessionState", ">> WFQuerySessionInformation for WFConnectState ..."},
                       {"DEBUG", "querySessionState",
                        std::string(" === WFQuerySessionInformation success; WFConnectState = ") + texts[value]}});
    }

    for (DWORD value : {10u, 0xFFFFu}) {
        wfsim_set_connect_state(value);
        DWORD state = 0;
        LogCapture log;
        EXPECT_EQ(querySessionState(&state), 0) << "an unknown state is stored, not refused";
        EXPECT_EQ(state, value);
        EXPECT_TRUE(log.has(std::string(" === WFQuerySessionInformation success; WFConnectState = ") +
                                connectStateText(value),
                            "DEBUG"))
            << log.dump();
        for (const char* known : texts) EXPECT_STRNE(connectStateText(value), known);
    }

    wfsim_set_fault(WFSIM_FAULT_STATE_QUERY_FAILS, 1);
    DWORD state = 0;
    LogCapture failed;
    EXPECT_EQ(querySessionState(&state), -103);
    EXPECT_EQ(state, 5u) << "a failed query leaves WFIdle";
    const auto records = failed.records();
    ASSERT_EQ(records.size(), 2u) << failed.dump();
    expectFailureLine(records[1], "ERROR", "querySessionState", " === WFQuerySessionInformation failed: ");
}

TEST_F(SessionQueries, VdaVersionSpansSixLines) {
    wfsim_set_vda_version(7, 41, 12345, 2, L"Service Pack 1 \u00e9");
    LogCapture log;
    EXPECT_EQ(queryVDAVersion(), 0);
    expectRecords(log.records(),
                  {{"DEBUG", "queryVDAVersion", "Calling WFQuerySessionInformation for WFVersion..."},
                   {"DEBUG", "queryVDAVersion",
                    " === WFQuerySessionInformation success; VDA Version : \n\tmajor = 7; \n\tminor = 41;"
                    "\n\tbuild number = 12345;\n\tPlatform ID = 2;\n\tCSD version = Service Pack 1 \xc3\xa9"}});

    wfsim_set_fault(WFSIM_FAULT_VERSION_QUERY_FAILS, 1);
    LogCapture failed;
    EXPECT_EQ(queryVDAVersion(), -138);
    const auto records = failed.records();
    ASSERT_EQ(records.size(), 2u) << failed.dump();
    expectFailureLine(records[1], "ERROR", "queryVDAVersion", " === WFQuerySessionInformation failed: ");
}

TEST_F(SessionQueries, OpenSessionHandleShowsTheHandleOnce) {
    auto closeSession = [](HANDLE h) { _glWFAPITable.WFSmcCloseSessionHandle(WF_CURRENT_SERVER_HANDLE, h); };
    HANDLE session = nullptr;
    LogCapture log;
    ASSERT_EQ(openSessionHandle(2, &session), 0);
    ASSERT_NE(session, nullptr);
    expectRecords(log.records(),
                  {{"DEBUG", "openSessionHandle", ">> WFSmcOpenSessionHandle ..."},
                   {"DEBUG", "openSessionHandle",
                    " === WFSmcOpenSessionHandle has been opened successfully; handle = 0x" + hexDigits(session)}});
    closeSession(session);

    wfsim_set_fault(WFSIM_FAULT_SMC_OPEN_NULL_HANDLE, 1);
    session = reinterpret_cast<HANDLE>(1);
    LogCapture nullHandle;
    EXPECT_EQ(openSessionHandle(2, &session), 0) << "a null handle with status 0 is not refused here";
    EXPECT_EQ(session, nullptr);
    EXPECT_TRUE(nullHandle.has(" === WFSmcOpenSessionHandle has been opened successfully; handle = 0x" +
                                   std::string(2 * sizeof(void*), '0'),
                               "DEBUG"))
        << nullHandle.dump();

    wfsim_set_fault(WFSIM_FAULT_SMC_OPEN_FAILS, 1);
    session = reinterpret_cast<HANDLE>(1);
    LogCapture failed;
    EXPECT_EQ(openSessionHandle(2, &session), -104);
    EXPECT_EQ(session, nullptr);
    const auto records = failed.records();
    ASSERT_EQ(records.size(), 2u) << failed.dump();
    expectFailureLine(records[1], "ERROR", "openSessionHandle", " === WFSmcOpenSessionHandle: ");
}
