// The OXLENS exchanges over a channel of the substitute WFAPI.DLL, whose counterpart answers
// requests after a scripted round trip and can be made to misbehave.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "citrix/wf_test_support.h"
#include "citrix/wfapi_loader.h"
#include "protocol/channel_exchange.h"
#include "protocol/client_info.h"
#include "support/log_capture.h"
#include "utils/oxe_auto_handle.h"
#include "wfsim_control.h"

using wftest::expectRecords;

namespace {

constexpr uint32_t kShortTimeoutMs = 300;

std::string errorText(const char* format, unsigned long value) {
    char text[256];
    snprintf(text, sizeof text, format, value);
    return text;
}

class Exchange : public ::testing::Test {
protected:
    void SetUp() override {
        ensureTestLog();
        ASSERT_TRUE(loadWFAPIWrapper());
        wfsim_reset();
        wfsim_set_latency(1, 0);
        gReadAttempts = gReadFailures = gReadFailurePercent = 0;
        std::memset(&m_request, 0, sizeof m_request);
        std::memset(&m_answer, 0, sizeof m_answer);
        std::memset(&m_requestV2, 0, sizeof m_requestV2);
        std::memset(&m_answerV2, 0, sizeof m_answerV2);
        reopen();
    }
    void TearDown() override {
        m_channel.reset();
        EXPECT_EQ(wfsim_outstanding(), 0);
    }

    // A fresh channel: whatever the counterpart still had queued is gone.
    void reopen() {
        m_channel.reset();
        char name[] = "OXLENS";
        *m_channel.addressOf() = _glWFAPITable.WFVirtualChannelOpen(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, name);
        ASSERT_NE(m_channel.get(), nullptr);
    }

    // What the polling task does before a data request.
    void prepareV1() {
        std::memset(&m_answer, 0, sizeof m_answer);
        m_request.header.uType = m_answer.header.uType = OXLENS_GET_DATA_REQ_TYPE;
        m_request.header.uLength = m_answer.header.uLength = OXLENS_PACKET_SIZE;
    }
    void prepareV2() {
        std::memset(&m_answerV2, 0, sizeof m_answerV2);
        m_requestV2.header.uType = m_answerV2.header.uType = OXLENS_GET_DATA_REQ_TYPE_V2;
        m_requestV2.header.uLength = m_answerV2.header.uLength = OXLENS_PACKET_V2_SIZE;
    }
    int ping(int32_t* average, uint32_t timeout = OXLENS_READ_TIMEOUT_MS) {
        return SendBeginAndEndPing(m_channel.get(), &m_request, &m_answer, average, timeout);
    }
    int dataV1(ClientInfo* info, uint32_t timeout = OXLENS_READ_TIMEOUT_MS) {
        prepareV1();
        return SendDataReq_v1(m_channel.get(), &m_request, &m_answer, info, timeout);
    }
    int dataV2(ClientInfoV2* info, uint32_t timeout = OXLENS_READ_TIMEOUT_MS) {
        prepareV2();
        return SendDataReq_v2(m_channel.get(), &m_requestV2, &m_answerV2, info, timeout);
    }
    static WfsimCounters counters() {
        WfsimCounters c{};
        wfsim_get_counters(&c);
        return c;
    }
    static std::vector<DWORD> readSizes() {
        std::vector<DWORD> sizes(64);
        sizes.resize(wfsim_read_sizes(sizes.data(), static_cast<DWORD>(sizes.size())));
        return sizes;
    }
    static OXLENS_PACKET_HEADER lastRequestHeader() {
        OXLENS_PACKET_HEADER header{};
        wfsim_last_request(&header, sizeof header);
        return header;
    }

    OxeUtils::OxeAutoHandle<HANDLE, void (*)(HANDLE)> m_channel{
        nullptr, [](HANDLE h) { _glWFAPITable.WFVirtualChannelClose(h); }};
    OxlensPacket m_request;
    OxlensPacket m_answer;
    OxlensPacketV2 m_requestV2;
    OxlensPacketV2 m_answerV2;
};

ClientInfo distinctClientInfo() {
    ClientInfo info;
    for (size_t i = 0; i < sizeof info; ++i) reinterpret_cast<uint8_t*>(&info)[i] = static_cast<uint8_t>(i * 7 + 1);
    std::strcpy(info.userName, "alice");
    std::strcpy(info.computerName, "ENDPOINT-7");
    info.readFailurePercent = 77;  // the counterpart's value never reaches the host
    return info;
}

}  // namespace

TEST_F(Exchange, PingMeasuresTheRoundTripWithoutItsPauses) {
    wfsim_set_latency(0, 0);
    int32_t quick = -999;
    LogCapture log;
    ASSERT_EQ(ping(&quick), 0);
    EXPECT_TRUE(log.records().empty()) << log.dump();
    EXPECT_GE(quick, -1);

    std::vector<uint8_t> sent(OXLENS_PACKET_SIZE + 16, 0xEE);
    ASSERT_EQ(wfsim_last_request(sent.data(), static_cast<DWORD>(sent.size())), OXLENS_PACKET_SIZE);
    OXLENS_PACKET_HEADER header;
    std::memcpy(&header, sent.data(), sizeof header);
    EXPECT_EQ(header.uSign, 0x4950);
    EXPECT_EQ(header.uType, OXLENS_PING_REQ_TYPE);
    EXPECT_EQ(header.uLength, OXLENS_PACKET_SIZE);
    EXPECT_EQ(header.uSeqNum, 1);
    for (size_t i = 8; i < OXLENS_PACKET_SIZE; ++i) ASSERT_EQ(sent[i], 0) << "byte " << i << " of the request";
    EXPECT_EQ(readSizes(), std::vector<DWORD>(5, OXLENS_PACKET_SIZE));

    wfsim_set_latency(80, 0);
    int32_t slow = -999;
    ASSERT_EQ(ping(&slow), 0);
    EXPECT_GE(slow, 79) << "each exchange waits a whole round trip";
    EXPECT_LE(slow, 400);
    EXPECT_GE(slow - quick, 60) << "the ten-millisecond pauses are not part of the average";
    EXPECT_EQ(m_request.header.uSeqNum, 2) << "one more per call, not per exchange";
}

TEST_F(Exchange, PingFailsAtTheFirstBadExchange) {
    struct Case {
        WfsimFault fault;
        int result;
        std::string message;  // a regular expression
        LONG writes;
    };
    const std::vector<Case> cases = {
        {WFSIM_FAULT_WRITE_FAILS, -127, "PING request writing error: 31", 1},
        {WFSIM_FAULT_WRITE_SHORT, -128,
         "PING request writing error: Should write 4160 bytes, written : 2080 bytes; System error: \\d+", 1},
        {WFSIM_FAULT_READ_FAILS, -129, "PONG response eeading error:31", 1},
        {WFSIM_FAULT_SWAPPED_SIGNATURE, -131,
         "Error Reading PONG response\\. Expected uSign = 0x4950, received 0x5049\\.", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        wfsim_reset();
        wfsim_set_latency(1, 0);
        reopen();
        wfsim_set_fault(c.fault, 1);
        int32_t average = 12345;
        LogCapture log;
        EXPECT_EQ(ping(&average), c.result);
        EXPECT_EQ(average, 12345) << "no average after a failure";
        EXPECT_EQ(counters().writes, c.writes) << "the remaining exchanges are not made";
        const auto records = log.records();
        ASSERT_EQ(records.size(), 1u) << log.dump();
        EXPECT_EQ(records[0].severity, "ERROR");
        EXPECT_EQ(records[0].func, "SendBeginAndEndPing");
        EXPECT_TRUE(std::regex_match(records[0].message, std::regex(c.message))) << records[0].message;
    }
}

TEST_F(Exchange, PingDrainsStaleAnswersAndAcceptsHeaderOnlyAnswers) {
    wfsim_set_fault(WFSIM_FAULT_STALE_ANSWERS, 1);
    int32_t average = 0;
    ASSERT_EQ(ping(&average), 0);
    EXPECT_EQ(counters().reads, 7) << "two stale answers drained in the first exchange";

    // An answer buffer still holding a good header, a read that delivers nothing and a
    // drain that finds nothing yet: the exchange goes on and the ping succeeds.
    reopen();
    wfsim_reset();
    wfsim_set_latency(150, 0);
    m_answer.header.uSign = OXLENS_SIGNATURE;
    m_answer.header.uSeqNum = 999;
    wfsim_set_fault(WFSIM_FAULT_READ_ZERO_BYTES, 1);
    ASSERT_EQ(ping(&average), 0);

    reopen();
    wfsim_reset();
    const uint16_t seq = static_cast<uint16_t>(m_request.header.uSeqNum + 1);
    for (int i = 0; i < 5; ++i) {
        OXLENS_PACKET_HEADER headerOnly{};
        headerOnly.uSign = OXLENS_SIGNATURE;
        headerOnly.uType = OXLENS_PING_REQ_TYPE;
        headerOnly.uLength = sizeof headerOnly;
        headerOnly.uSeqNum = seq;
        wfsim_queue_raw_answer(&headerOnly, sizeof headerOnly);
    }
    LogCapture log;
    ASSERT_EQ(ping(&average), 0);
    EXPECT_TRUE(log.records().empty()) << log.dump();
    EXPECT_EQ(readSizes(), (std::vector<DWORD>{4160, 16, 16, 16, 16})) << "later reads take the answer's length";
}

TEST_F(Exchange, SequenceNumberWrapsAndAdvancesOncePerRequest) {
    m_request.header.uSeqNum = 65535;
    int32_t average = 0;
    ASSERT_EQ(ping(&average), 0);
    EXPECT_EQ(lastRequestHeader().uSeqNum, 0);
    ClientInfo info{};
    ASSERT_EQ(dataV1(&info), 1);
    EXPECT_EQ(lastRequestHeader().uSeqNum, 1);
    EXPECT_EQ(lastRequestHeader().uType, OXLENS_GET_DATA_REQ_TYPE);
    EXPECT_EQ(m_request.header.uSeqNum, 1);
}

TEST_F(Exchange, DataRequestCopiesACompleteAnswer) {
    const ClientInfo sent = distinctClientInfo();
    wfsim_set_client_info(&sent);
    gReadFailurePercent = 42;
    ClientInfo info;
    resetClientInfo(&info);
    LogCapture log;
    ASSERT_EQ(dataV1(&info), 1);
    EXPECT_TRUE(log.records().empty()) << log.dump();
    ClientInfo expected = sent;
    expected.readFailurePercent = 42;
    EXPECT_EQ(std::memcmp(&info, &expected, sizeof info), 0);
    EXPECT_EQ(dataV1(nullptr), 1) << "without a record nothing is copied";

    // A wrong signature is reported, but the complete answer has been copied already.
    resetClientInfo(&info);
    wfsim_set_fault(WFSIM_FAULT_SWAPPED_SIGNATURE, 1);
    LogCapture swapped;
    EXPECT_EQ(dataV1(&info), 0);
    EXPECT_STREQ(info.userName, "alice");
    expectRecords(swapped.records(),
                  {{"ERROR", "SendDataReq_v1",
                    "Error Reading OXLENS_GET_DATA_REQ_TYPE response. Expected uSign = 0x4950, received 0x5049\n :"}});

    // An answer of another type is accepted and copies nothing.
    resetClientInfo(&info);
    wfsim_set_fault(WFSIM_FAULT_WRONG_ANSWER_TYPE, 1);
    EXPECT_EQ(dataV1(&info), 1);
    EXPECT_STREQ(info.userName, "");
    EXPECT_EQ(info.clientValue1, -1);
}

TEST_F(Exchange, DataRequestRejectsAnswersOfTheWrongLength) {
    ClientInfo info;
    resetClientInfo(&info);

    wfsim_set_fault(WFSIM_FAULT_ANSWER_SHORTER, 1);
    LogCapture shorter;
    EXPECT_EQ(dataV1(&info), 0);
    EXPECT_EQ(counters().writes, 1) << "a short answer is not asked for again";
    expectRecords(shorter.records(), {{"ERROR", "SendDataReq_v1", "ERROR reading length..."},
                                      {"ERROR", "SendDataReq_v1", "VirtualChannelRead Too Short - read 2088 bytes\n"}});
    EXPECT_STREQ(info.userName, "");

    reopen();
    wfsim_reset();
    wfsim_set_fault(WFSIM_FAULT_ANSWER_LONGER, -1);
    LogCapture longer;
    EXPECT_EQ(dataV1(&info), 0);
    EXPECT_EQ(counters().writes, 5) << "an over-long answer makes the request go out again, five times in all";
    EXPECT_TRUE(longer.has("ERROR reading length...", "ERROR")) << longer.dump();
    EXPECT_STREQ(info.userName, "");

    // Announced lengths beyond the buffer never make a read ask for more than the buffer.
    for (int round = 0; round < 2; ++round) {
        reopen();
        wfsim_reset();
        wfsim_set_fault(WFSIM_FAULT_LENGTH_BEYOND_BUFFER, -1);
        int32_t average = 0;
        EXPECT_EQ(ping(&average), 0) << "the ping does not look at the length";
        EXPECT_EQ(dataV1(&info), 0);
        EXPECT_STREQ(info.userName, "");
        EXPECT_EQ(dataV1(&info), 0);
        EXPECT_EQ(counters().maxReadSize, OXLENS_PACKET_SIZE);

        reopen();
        wfsim_reset();
        wfsim_set_fault(WFSIM_FAULT_LENGTH_BEYOND_BUFFER, -1);
        ClientInfoV2 v2{};
        EXPECT_EQ(dataV2(&v2), 0);
        EXPECT_EQ(dataV2(&v2), 0);
        EXPECT_EQ(counters().maxReadSize, OXLENS_PACKET_V2_SIZE);
    }
}

TEST_F(Exchange, FailedWritesAreRetriedFiveTimes) {
    wfsim_set_fault(WFSIM_FAULT_WRITE_FAILS, -1);
    LogCapture failed;
    EXPECT_EQ(dataV1(nullptr), 0);
    std::vector<LogRecord> want(5, {"ERROR", "SendDataReq_v1", "VirtualChannelWrite Failed - 31\n"});
    want.push_back({"ERROR", "SendDataReq_v1", "ERROR reading length..."});
    want.push_back({"ERROR", "SendDataReq_v1", "VirtualChannelRead Too Short - read 0 bytes\n"});
    expectRecords(failed.records(), want);
    EXPECT_EQ(counters().reads, 0);
    EXPECT_EQ(gReadAttempts, 0) << "no read, nothing counted";

    wfsim_reset();
    wfsim_set_fault(WFSIM_FAULT_WRITE_SHORT, -1);
    LogCapture shortWrites;
    EXPECT_EQ(dataV2(nullptr), 0);
    std::vector<LogRecord> wantV2(5, {"ERROR", "SendDataReq_v2", "VirtualChannelWrite Too Short - wrote 546 bytes\n"});
    wantV2.push_back({"WARN", "SendDataReq_v2", "didn't get data v2 (maybe old client)..."});
    wantV2.push_back({"ERROR", "SendDataReq_v2", "ERROR reading length..."});
    expectRecords(shortWrites.records(), wantV2);
}

TEST_F(Exchange, ThreeFailedReadsOfTenGiveThirtyPercent) {
    ClientInfo info;
    resetClientInfo(&info);
    wfsim_set_fault(WFSIM_FAULT_READ_FAILS, 3);
    LogCapture log;
    ASSERT_EQ(dataV1(&info), 1) << "the fourth attempt gets the answer";
    std::vector<LogRecord> want;
    for (int i = 0; i < 3; ++i) {
        want.push_back({"ERROR", "SendDataReq_v1", "reading failed..."});
        want.push_back({"ERROR", "SendDataReq_v1", errorText("VirtualChannelRead Failed %lu\n", ERROR_GEN_FAILURE)});
    }
    expectRecords(log.records(), want);
    EXPECT_EQ(gReadAttempts, 4);
    EXPECT_EQ(gReadFailures, 3);
    EXPECT_EQ(info.readFailurePercent, 0) << "no percentage before ten reads";

    for (int call = 2; call <= 7; ++call) {
        reopen();  // the failed attempts left answers behind on the old channel
        ASSERT_EQ(dataV1(&info), 1);
        EXPECT_EQ(info.readFailurePercent, call < 7 ? 0 : 30) << "call " << call;
    }
    EXPECT_EQ(gReadFailurePercent, 30);
    EXPECT_EQ(gReadAttempts, 0);
    EXPECT_EQ(gReadFailures, 0);
}

TEST_F(Exchange, VersionTwoRequestBuildsTheRecord) {
    ClientInfoV2Ext ext;
    std::memset(&ext, 0x5A, sizeof ext);
    std::strcpy(ext.extText1, "v2 data");
    wfsim_set_client_info_v2(&ext, 1);
    _glClientInfo = distinctClientInfo();

    ClientInfoV2 info;
    std::memset(&info, 0, sizeof info);
    LogCapture log;
    ASSERT_EQ(dataV2(&info), 1);
    EXPECT_TRUE(log.records().empty()) << log.dump();
    EXPECT_EQ(std::memcmp(&info.base, &_glClientInfo, sizeof(ClientInfo)), 0);
    EXPECT_EQ(std::memcmp(&info.ext, &ext, sizeof ext), 0);
    const OXLENS_PACKET_HEADER sent = lastRequestHeader();
    EXPECT_EQ(sent.uSign, 0x4950);
    EXPECT_EQ(sent.uType, OXLENS_GET_DATA_REQ_TYPE_V2);
    EXPECT_EQ(sent.uLength, OXLENS_PACKET_V2_SIZE);
    EXPECT_EQ(sent.uSeqNum, 0);
    EXPECT_EQ(readSizes(), std::vector<DWORD>{OXLENS_PACKET_V2_SIZE});

    wfsim_set_fault(WFSIM_FAULT_SWAPPED_SIGNATURE, 1);
    LogCapture swapped;
    EXPECT_EQ(dataV2(&info), 0);
    expectRecords(swapped.records(),
                  {{"ERROR", "SendDataReq_v2",
                    "Error Reading OXLENS_GET_DATA_REQ_TYPE_V2 response.  Expected uSign = 0x4950, received 0x5049"}});

    wfsim_set_fault(WFSIM_FAULT_WRONG_ANSWER_TYPE, 1);
    LogCapture wrongType;
    EXPECT_EQ(dataV2(&info), 1);
    expectRecords(wrongType.records(), {{"WARN", "SendDataReq_v2", "didn't get data v2 (maybe old client)..."}});

    // An old client never answers: five reads time out.
    wfsim_set_client_info_v2(&ext, 0);
    LogCapture old;
    EXPECT_EQ(dataV2(&info, kShortTimeoutMs), 0);
    std::vector<LogRecord> want;
    for (int i = 0; i < 5; ++i) {
        want.push_back({"ERROR", "SendDataReq_v2", "ERROR reading failed..."});
        want.push_back({"ERROR", "SendDataReq_v2", errorText("VirtualChannelRead Failed %lu\n", WAIT_TIMEOUT)});
    }
    want.push_back({"WARN", "SendDataReq_v2", "didn't get data v2 (maybe old client)..."});
    want.push_back({"ERROR", "SendDataReq_v2", "ERROR reading length..."});
    expectRecords(old.records(), want);
    EXPECT_EQ(counters().writes, 8);
}
