// The substitute WFAPI.DLL through the product's table: its accounting and scenario files. Its answers,
// latency and faults are what the exchange, task and fault tests meet (tests/protocol, tasks, faults).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>

#include "citrix/session_queries.h"
#include "protocol/oxlens_packet.h"
#include "support/wfsim_support.h"

namespace {

const WFAPITable& wf = _glWFAPITable;

class Sim : public ::testing::Test {
protected:
    using OxlensPacketBytes = std::array<char, OXLENS_PACKET_SIZE + 1>;
    void SetUp() override {
        ASSERT_TRUE(loadWFAPIWrapper());
        wfsim_reset();
        openChannel();
    }
    void openChannel() {
        char name[] = "OXLENS";
        ASSERT_NE(m_channel = wf.WFVirtualChannelOpen(nullptr, WF_CURRENT_SESSION, name), nullptr);
    }
    void TearDown() override {
        wf.WFVirtualChannelClose(m_channel);
        EXPECT_EQ(wfsim_outstanding(), 0);
    }
    BOOL request(uint16_t type, uint16_t seq) {
        OxlensPacketBytes packet{};
        const OXLENS_PACKET_HEADER h{OXLENS_SIGNATURE, type, OXLENS_PACKET_SIZE, seq, {}};
        std::memcpy(packet.data(), &h, sizeof h);
        ULONG written = 0;
        return wf.WFVirtualChannelWrite(m_channel, packet.data(), OXLENS_PACKET_SIZE, &written);
    }
    // Bytes read into m_answer (a guard byte follows), or -1 with the read's last error.
    long read(ULONG timeoutMs) {
        m_answer.fill('\xEE');
        ULONG count = 0;
        const BOOL ok = wf.WFVirtualChannelRead(m_channel, timeoutMs, m_answer.data(), OXLENS_PACKET_SIZE, &count);
        EXPECT_TRUE(count <= OXLENS_PACKET_SIZE && m_answer.back() == '\xEE') << "read past its buffer";
        return ok ? static_cast<long>(count) : -1;
    }
    HANDLE m_channel = nullptr;
    OxlensPacketBytes m_answer;
};

}  // namespace

TEST_F(Sim, AccountingTracksEveryHandleAndBuffer) {
    HANDLE session = nullptr;
    PVOID data = nullptr;
    DWORD length = 0;
    ASSERT_EQ(wf.WFSmcOpenSessionHandle(nullptr, 2, &session), 0u);
    ASSERT_TRUE(wf.WFVirtualChannelQuery(m_channel, WFVirtualClientData, &data, &length));
    wfsim_reset();  // keeps what is handed out
    EXPECT_EQ(wfsim_outstanding(), 3);
    for (PVOID p : {data, data, PVOID(nullptr)}) wf.WFFreeMemory(p);
    EXPECT_TRUE(wf.WFVirtualChannelClose(m_channel));
    EXPECT_FALSE(wf.WFVirtualChannelClose(m_channel));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(read(0) == -1 && GetLastError() == ERROR_INVALID_HANDLE) << "a read on the closed channel";
    EXPECT_EQ(wf.WFSmcCloseSessionHandle(nullptr, HANDLE(0x77)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(wfsim_outstanding(), 1);
    EXPECT_EQ(wf.WFSmcCloseSessionHandle(nullptr, session), 0u);
    const WfsimCounters c = counters();
    EXPECT_TRUE(c.buffersFreed == 1 && c.badFrees == 2 && c.calls[WFSIM_WFFreeMemory] == 3);
    EXPECT_TRUE(c.channelsClosed == 1 && c.badChannelCloses == 1 && c.smcClosed == 1 && c.badSmcCloses == 1);
    EXPECT_EQ(c.staleChannelTraffic, 1);
}

TEST_F(Sim, ScenarioFileScriptsTheSessionAndNamesItsFirstBadLine) {
    auto load = [](const char* text) {
        wchar_t path[MAX_PATH];
        wcscat(path + GetTempPathW(MAX_PATH, path), (L"wfsim_scenario_" + std::to_wstring(GetCurrentProcessId())).c_str());
        std::ofstream(path, std::ios::binary) << text;
        return wfsim_load_scenario(path);
    };
    ASSERT_EQ(load("# a session\nsession_id = 0x10005\nstate = WFDisconnected\nvda_version = 1912.0.4000   # LTSR\n"
                   "csd = \"CU #8 \"\nchannels = CTXCAM, oxlens ,CTXTW\nuser_name = Zoë\nclientText16 = \n"
                   "clientValue6 = -7\nclientReal1 = 2.5\nfault.read_fails = 2\n"), 0);
    DWORD id = 0, state = 0;
    EXPECT_TRUE(querySessionID(&id) == 0 && id == 5 && querySessionState(&state) == 0 && state == WFDisconnected);
    // Reconnected: the channel opened before the disconnect stays dead, and using it is stale traffic.
    wfsim_set_connect_state(WFActive);
    EXPECT_TRUE(!request(OXLENS_PING_REQ_TYPE, 1) && GetLastError() == ERROR_VC_DISCONNECTED && read(0) == -1);
    EXPECT_EQ(counters().staleChannelTraffic, 2);
    wf.WFVirtualChannelClose(m_channel);
    openChannel();  // OXLENS is listed (as "oxlens"): a fresh channel carries traffic
    EXPECT_TRUE(read(0) == -1 && read(0) == -1) << "two armed read faults";
    ASSERT_TRUE(request(OXLENS_GET_DATA_REQ_TYPE, 1) && read(5000) == OXLENS_PACKET_SIZE);
    const auto& record = *reinterpret_cast<const ClientInfo*>(&m_answer[OXLENS_HEADER_SIZE]);
    EXPECT_STREQ(record.userName, "Zo\xC3\xAB");
    EXPECT_STREQ(record.clientText16, "");
    EXPECT_STREQ(record.clientText1, "Windows 11 Enterprise") << "unnamed fields keep their values";
    EXPECT_TRUE(record.clientValue6 == -7 && record.clientReal1 == 2.5);

    EXPECT_EQ(load("latency_ms = 70\n\ncolour = blue\ncomputer_name = FAR-TOO-LONG-FOR-FIFTEEN\nsession_id = 9\n"), 3);
    EXPECT_TRUE(querySessionID(&id) == 0 && id == 9) << "the good lines still apply";
    EXPECT_EQ(wfsim_load_scenario(L"Z:\\no\\such\\scenario.txt"), -1);
}
