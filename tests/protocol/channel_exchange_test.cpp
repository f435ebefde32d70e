// The OXLENS exchanges over a channel of the substitute WFAPI.DLL, whose counterpart answers
// after a scripted round trip and can be made to misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/waits.h"
#include "support/wfsim_support.h"
#include "protocol/channel_exchange.h"
#include "protocol/client_info.h"
#include "utils/oxe_auto_handle.h"


namespace {

class Exchange : public WfapiTest {
protected:
    void SetUp() override {
        WfapiTest::SetUp();
        gReadAttempts = gReadFailures = gReadFailurePercent = 0;
        fresh();
    }
    void TearDown() override { m_channel.reset(), WfapiTest::TearDown(); }
    // A healthy session with a fresh channel: whatever the counterpart still had queued is gone.
    void fresh(DWORD latencyMs = 1) {
        m_channel.reset();
        wfsim_reset();
        wfsim_set_latency(latencyMs, 0);
        char name[] = "OXLENS";
        *m_channel.addressOf() = _glWFAPITable.WFVirtualChannelOpen(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, name);
        ASSERT_NE(m_channel.get(), nullptr);
    }
    int ping(int32_t* average) { return SendBeginAndEndPing(m_channel.get(), &m_request, &m_answer, average); }
    // Data requests as the polling task makes them: the answer zeroed, type and length set in both packets.
    int dataV1(ClientInfo* info, uint32_t timeoutMs = OXLENS_READ_TIMEOUT_MS) {
        std::memset(&m_answer, 0, sizeof m_answer);
        m_request.header.uType = m_answer.header.uType = OXLENS_GET_DATA_REQ_TYPE;
        m_request.header.uLength = m_answer.header.uLength = OXLENS_PACKET_SIZE;
        return SendDataReq_v1(m_channel.get(), &m_request, &m_answer, info, timeoutMs);
    }
    int dataV2(ClientInfoV2* info, uint32_t timeoutMs = OXLENS_READ_TIMEOUT_MS) {
        std::memset(&m_answerV2, 0, sizeof m_answerV2);
        m_requestV2.header.uType = m_answerV2.header.uType = OXLENS_GET_DATA_REQ_TYPE_V2;
        m_requestV2.header.uLength = m_answerV2.header.uLength = OXLENS_PACKET_V2_SIZE;
        return SendDataReq_v2(m_channel.get(), &m_requestV2, &m_answerV2, info, timeoutMs);
    }

    OxeUtils::OxeAutoHandle<HANDLE, void (*)(HANDLE)> m_channel{
        nullptr, [](HANDLE h) { _glWFAPITable.WFVirtualChannelClose(h); }};
    OxlensPacket m_request{}, m_answer{};
    OxlensPacketV2 m_requestV2{}, m_answerV2{};
};

}  // namespace

TEST_F(Exchange, PingAveragesTheRoundTripWithoutItsPausesDrainsStaleAnswersAndStopsAtAFailure) {
    m_request.header.uSeqNum = 65535;
    LogCapture log;
    // The average leaves out the five 10 ms pauses: at most a fifth of what the call took beyond them,
    // and each exchange waits a whole round trip.
    for (const int latencyMs : {0, 80}) {
        wfsim_set_latency(latencyMs, 0);
        int32_t average = -999;
        const auto start = Clock::now();
        ASSERT_EQ(ping(&average), 0);
        const long long took = msSince(start);
        EXPECT_TRUE(average >= latencyMs - 1 && average <= (took - 50) / 5 + 1) << average << " of " << took << " ms";
        if (latencyMs > 0) break;
        EXPECT_TRUE(log.records().empty()) << log.dump();
        std::vector<uint8_t> sent(OXLENS_PACKET_SIZE + 16, 0xEE);
        ASSERT_EQ(wfsim_last_request(sent.data(), static_cast<DWORD>(sent.size())), OXLENS_PACKET_SIZE);
        const auto& h = *reinterpret_cast<const OXLENS_PACKET_HEADER*>(sent.data());
        EXPECT_TRUE(h.uSign == 0x4950 && h.uType == 1 && h.uLength == 4160 && h.uSeqNum == 0) << "65535 wraps to 0";
        EXPECT_EQ(std::count(sent.begin() + 8, sent.end() - 16, 0), 4152) << "reserved bytes and payload are zeros";
        EXPECT_EQ(readSizes(), std::vector<DWORD>(5, OXLENS_PACKET_SIZE));
    }
    EXPECT_EQ(m_request.header.uSeqNum, 1) << "one more per call, not per exchange";

    // Its failures are met where the polling task meets them (tests/faults).
    int32_t average = 12345;
    fresh();
    wfsim_set_fault(WFSIM_FAULT_STALE_ANSWERS, 1);
    ASSERT_EQ(ping(&average), 0);
    EXPECT_EQ(readSizes().size(), 7u) << "two stale answers drained in the first exchange";

    // A read that delivers nothing, then a drain that finds nothing yet: the exchange goes on
    // with the good header still in the answer buffer.
    fresh(150);
    m_answer.header.uSign = OXLENS_SIGNATURE;
    m_answer.header.uSeqNum = 999;
    wfsim_set_fault(WFSIM_FAULT_READ_ZERO_BYTES, 1);
    ASSERT_EQ(ping(&average), 0);

    fresh();
    const OXLENS_PACKET_HEADER headerOnly{OXLENS_SIGNATURE, OXLENS_PING_REQ_TYPE, 16,
                                          static_cast<uint16_t>(m_request.header.uSeqNum + 1), {}};
    for (int i = 0; i < 5; ++i) wfsim_queue_raw_answer(&headerOnly, sizeof headerOnly);
    LogCapture quiet;
    ASSERT_EQ(ping(&average), 0);
    EXPECT_TRUE(quiet.records().empty()) << quiet.dump();
    EXPECT_EQ(readSizes(), (std::vector<DWORD>{4160, 16, 16, 16, 16})) << "later reads take the answer's length";
}

TEST_F(Exchange, DataRequestsTryFiveTimesAndLogEachFailure) {
    const auto v1 = [](const std::string& m) { return LogRecord{"ERROR", "SendDataReq_v1", m}; };
    const auto v2 = [](const std::string& m) { return LogRecord{"ERROR", "SendDataReq_v2", m}; };
    const LogRecord old = {"WARN", "SendDataReq_v2", "didn't get data v2 (maybe old client)..."};
    const auto times = [](int n, const std::vector<LogRecord>& group, std::vector<LogRecord> tail) {
        while (n-- > 0) tail.insert(tail.begin(), group.begin(), group.end());
        return tail;
    };
    const struct { bool v2; WfsimFault fault; int count, result; LONG writes; bool copied; std::vector<LogRecord> log; }
        cases[] = {
        {false, WFSIM_FAULT_ANSWER_LONGER, -1, 0, 5, false,  // each read takes the length the answer before announced
         {v1("ERROR reading length..."), v1("VirtualChannelRead Too Short - read 4128 bytes\n")}},
        {false, WFSIM_FAULT_WRITE_FAILS, -1, 0, 5, false,
         times(5, {v1("VirtualChannelWrite Failed - 31\n")},
               {v1("ERROR reading length..."), v1("VirtualChannelRead Too Short - read 0 bytes\n")})},
        {false, WFSIM_FAULT_SWAPPED_SIGNATURE, 1, 0, 1, true,  // copied before the signature is checked
         {v1("Error Reading OXLENS_GET_DATA_REQ_TYPE response. Expected uSign = 0x4950, received 0x5049\n :")}},
        {true, WFSIM_FAULT_WRITE_SHORT, -1, 0, 5, false,
         times(5, {v2("VirtualChannelWrite Too Short - wrote 546 bytes\n")}, {old, v2("ERROR reading length...")})},
        {true, WFSIM_FAULT_READ_TIMEOUT, -1, 0, 5, false,
         times(5, {v2("ERROR reading failed..."), v2("VirtualChannelRead Failed 258\n")},
               {old, v2("ERROR reading length...")})},
        {true, WFSIM_FAULT_SWAPPED_SIGNATURE, 1, 0, 1, true,
         {v2("Error Reading OXLENS_GET_DATA_REQ_TYPE_V2 response.  Expected uSign = 0x4950, received 0x5049")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.v2 ? "v2 fault " : "v1 fault ") << c.fault);
        fresh();
        wfsim_set_fault(c.fault, c.count);
        ClientInfo info{};
        ClientInfoV2 infoV2{};
        LogCapture log;
        EXPECT_EQ(c.v2 ? dataV2(&infoV2, 300) : dataV1(&info, 300), c.result);
        EXPECT_EQ(counters().writes, c.writes);
        EXPECT_EQ((c.v2 ? infoV2.ext.extText1[0] : info.userName[0]) != '\0', c.copied);
        expectRecords(log.records(), c.log);
    }
}

TEST_F(Exchange, CompleteAnswersAreCopiedWithThePercentageOfFailedReadsOnceTenAreCounted) {
    ClientInfo sent, info;
    for (size_t i = 0; i < sizeof sent; ++i) reinterpret_cast<uint8_t*>(&sent)[i] = static_cast<uint8_t>(i * 7 + 1);
    wfsim_set_fault(WFSIM_FAULT_READ_FAILS, 3);
    ASSERT_EQ(dataV1(&info), 1);
    EXPECT_TRUE(gReadAttempts == 4 && gReadFailures == 3 && info.readFailurePercent == 0) << "nothing before ten reads";
    for (int call = 2; call <= 7; ++call) {
        ASSERT_NO_FATAL_FAILURE(fresh());  // the failed attempts left answers behind on the old channel
        wfsim_set_client_info(&sent);      // its readFailurePercent never reaches the host
        ASSERT_EQ(dataV1(&info), 1);
        EXPECT_EQ(info.readFailurePercent, call < 7 ? 0 : 30) << "call " << call;
    }
    EXPECT_TRUE(gReadFailurePercent == 30 && gReadAttempts == 0 && gReadFailures == 0);
    EXPECT_TRUE(m_request.header.uSign == 0x4950 && m_request.header.uSeqNum == 7);
    sent.readFailurePercent = 30;
    EXPECT_EQ(std::memcmp(&info, &sent, sizeof info), 0);
    LogCapture log;
    EXPECT_EQ(dataV1(nullptr), 1) << "without a record nothing is copied";

    ClientInfoV2Ext ext;
    std::memset(&ext, 0x5A, sizeof ext);
    wfsim_set_client_info_v2(&ext, 1);
    _glClientInfo = sent;
    ClientInfoV2 infoV2{};
    ASSERT_EQ(dataV2(&infoV2), 1);
    EXPECT_TRUE(log.records().empty()) << log.dump();
    EXPECT_TRUE(std::memcmp(&infoV2.base, &sent, sizeof sent) == 0 && std::memcmp(&infoV2.ext, &ext, sizeof ext) == 0);
    EXPECT_TRUE(m_requestV2.header.uSign == 0x4950 && m_requestV2.header.uSeqNum == 0);
    EXPECT_EQ(readSizes(), (std::vector<DWORD>{4160, 4160, OXLENS_PACKET_V2_SIZE}));
}
