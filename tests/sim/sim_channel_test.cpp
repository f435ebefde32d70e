// The OXLENS counterpart behind the substitute WFAPI.DLL: answers, latency, scripted answers
// and the channel faults.
#include <thread>

#include "sim_test_util.h"

namespace {

ClientInfo customClientInfo() {
    ClientInfo info;
    std::memset(&info, 0x5A, sizeof info);  // padding too, so a byte-wise copy is proven
    std::strcpy(info.userName, "tester");
    std::strcpy(info.computerName, "PC-0815");
    info.clientValue6 = 4242;
    info.clientReal1 = 1.5;
    return info;
}

}  // namespace

TEST_F(SimTest, CounterpartAnswersEachRequestTypeAfterTheRoundTrip) {
    wfsim_set_latency(50, 0);
    const ClientInfo info = customClientInfo();
    wfsim_set_client_info(&info);
    ClientInfoV2Ext ext;
    std::memset(&ext, 0x33, sizeof ext);
    ext.extValue3 = 77;
    wfsim_set_client_info_v2(&ext, 1);

    HANDLE channel = openOxlens();
    ASSERT_NE(channel, nullptr);

    // Nothing queued: a 0 ms read returns at once with nothing, a waiting read times out.
    ReadResult idle = readAnswer(channel, 0);
    EXPECT_TRUE(idle.ok);
    EXPECT_TRUE(idle.bytes.empty());
    EXPECT_LT(idle.ms, 1000);
    ReadResult timedOut = readAnswer(channel, 150);
    EXPECT_FALSE(timedOut.ok);
    EXPECT_EQ(timedOut.error, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(timedOut.ms, 140);

    // Ping: echoed sequence number, full length, readable a round trip after the write.
    auto written = std::chrono::steady_clock::now();
    ULONG count = 0;
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_PING_REQ_TYPE, OXLENS_PACKET_SIZE, 4711), &count));
    EXPECT_EQ(count, OXLENS_PACKET_SIZE);
    ReadResult early = readAnswer(channel, 0);
    EXPECT_TRUE(early.ok);
    EXPECT_TRUE(early.bytes.empty()) << "the answer came before its round trip";
    ReadResult pong = readAnswer(channel, 5000);
    long long roundTrip = elapsedMs(written);
    ASSERT_TRUE(pong.ok);
    EXPECT_GE(roundTrip, 45);
    EXPECT_LT(roundTrip, 2000);
    ASSERT_EQ(pong.bytes.size(), OXLENS_PACKET_SIZE);
    EXPECT_EQ(headerOf(pong.bytes).uSign, OXLENS_SIGNATURE);
    EXPECT_EQ(headerOf(pong.bytes).uType, OXLENS_PING_REQ_TYPE);
    EXPECT_EQ(headerOf(pong.bytes).uLength, OXLENS_PACKET_SIZE);
    EXPECT_EQ(headerOf(pong.bytes).uSeqNum, 4711);

    // Version-1 data carries the configured record byte for byte.
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_GET_DATA_REQ_TYPE, OXLENS_PACKET_SIZE, 9)));
    ReadResult data = readAnswer(channel, 5000);
    ASSERT_TRUE(data.ok);
    ASSERT_EQ(data.bytes.size(), OXLENS_PACKET_SIZE);
    EXPECT_EQ(headerOf(data.bytes).uType, OXLENS_GET_DATA_REQ_TYPE);
    EXPECT_EQ(headerOf(data.bytes).uSeqNum, 9);
    EXPECT_EQ(std::memcmp(data.bytes.data() + OXLENS_HEADER_SIZE, &info, sizeof info), 0);

    // Version-2 data, then an old client that never answers it.
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_GET_DATA_REQ_TYPE_V2, OXLENS_PACKET_V2_SIZE, 0)));
    ReadResult v2 = readAnswer(channel, 5000, OXLENS_PACKET_V2_SIZE);
    ASSERT_TRUE(v2.ok);
    ASSERT_EQ(v2.bytes.size(), OXLENS_PACKET_V2_SIZE);
    EXPECT_EQ(headerOf(v2.bytes).uType, OXLENS_GET_DATA_REQ_TYPE_V2);
    EXPECT_EQ(headerOf(v2.bytes).uLength, OXLENS_PACKET_V2_SIZE);
    EXPECT_EQ(std::memcmp(v2.bytes.data() + OXLENS_HEADER_SIZE, &ext, sizeof ext), 0);
    wfsim_set_client_info_v2(nullptr, 0);
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_GET_DATA_REQ_TYPE_V2, OXLENS_PACKET_V2_SIZE, 0)));
    EXPECT_FALSE(readAnswer(channel, 300, OXLENS_PACKET_V2_SIZE).ok);

    // The latency may change while the session runs.
    wfsim_set_latency(150, 0);
    written = std::chrono::steady_clock::now();
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_PING_REQ_TYPE, OXLENS_PACKET_SIZE, 1)));
    ASSERT_TRUE(readAnswer(channel, 5000).ok);
    EXPECT_GE(elapsedMs(written), 145);

    WfsimCounters c = counters();
    EXPECT_EQ(c.pingAnswers, 2);
    EXPECT_EQ(c.dataAnswers, 1);
    EXPECT_EQ(c.dataV2Answers, 1);
    EXPECT_EQ(c.writes, 5);
    EXPECT_EQ(c.calls[WFSIM_WFVirtualChannelRead], c.reads);
    EXPECT_TRUE(wf().WFVirtualChannelClose(channel));
}

TEST_F(SimTest, ScriptedAnswersComeFirstAndEveryReadIsLogged) {
    wfsim_set_latency(0, 0);
    HANDLE channel = openOxlens();
    ASSERT_NE(channel, nullptr);

    std::vector<uint8_t> big(5000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    const uint8_t tiny[3] = {1, 2, 3};
    wfsim_queue_raw_answer(big.data(), static_cast<DWORD>(big.size()));
    wfsim_queue_raw_answer(tiny, sizeof tiny);
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_PING_REQ_TYPE, OXLENS_PACKET_SIZE, 5)));

    ReadResult first = readAnswer(channel, 0, 100);  // cut to the reader's buffer
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.bytes, std::vector<uint8_t>(big.begin(), big.begin() + 100));
    ReadResult second = readAnswer(channel, 0);
    ASSERT_TRUE(second.ok);
    EXPECT_EQ(second.bytes, std::vector<uint8_t>(tiny, tiny + 3));
    ReadResult own = readAnswer(channel, 5000);
    ASSERT_TRUE(own.ok);
    EXPECT_EQ(headerOf(own.bytes).uSeqNum, 5);

    DWORD sizes[8] = {};
    ASSERT_EQ(wfsim_read_sizes(sizes, 8), 3u);
    EXPECT_EQ(sizes[0], 100u);
    EXPECT_EQ(sizes[1], OXLENS_PACKET_SIZE);
    EXPECT_EQ(sizes[2], OXLENS_PACKET_SIZE);
    EXPECT_EQ(counters().maxReadSize, static_cast<LONG>(OXLENS_PACKET_SIZE));

    std::vector<uint8_t> last(OXLENS_PACKET_SIZE);
    EXPECT_EQ(wfsim_last_request(last.data(), static_cast<DWORD>(last.size())), OXLENS_PACKET_SIZE);
    EXPECT_EQ(last, makeRequest(OXLENS_PING_REQ_TYPE, OXLENS_PACKET_SIZE, 5));

    // A read blocked on the channel wakes for an answer scripted from another thread, and
    // gives up when the channel is closed under it.
    std::thread feeder([&] {
        Sleep(100);
        wfsim_queue_raw_answer(tiny, sizeof tiny);
    });
    ReadResult woken = readAnswer(channel, 10000);
    feeder.join();
    EXPECT_TRUE(woken.ok);
    EXPECT_LT(woken.ms, 5000);
    std::thread closer([&] {
        Sleep(100);
        wf().WFVirtualChannelClose(channel);
    });
    ReadResult orphaned = readAnswer(channel, 10000);
    closer.join();
    EXPECT_FALSE(orphaned.ok);
    EXPECT_EQ(orphaned.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_LT(orphaned.ms, 5000);
}

TEST_F(SimTest, AnswerFaultsShapeWhatTheReaderGets) {
    wfsim_set_latency(0, 0);
    HANDLE channel = openOxlens();
    ASSERT_NE(channel, nullptr);
    auto exchange = [&](uint16_t type, uint16_t seq, ULONG bufferSize = OXLENS_PACKET_SIZE) {
        uint16_t length = type == OXLENS_GET_DATA_REQ_TYPE_V2 ? OXLENS_PACKET_V2_SIZE : OXLENS_PACKET_SIZE;
        EXPECT_TRUE(writeRequest(channel, makeRequest(type, length, seq)));
        return readAnswer(channel, 5000, bufferSize);
    };

    // Armed once: the first answer is hit, the next one is clean.
    wfsim_set_fault(WFSIM_FAULT_SWAPPED_SIGNATURE, 1);
    EXPECT_EQ(headerOf(exchange(OXLENS_PING_REQ_TYPE, 1).bytes).uSign, 0x5049);
    EXPECT_EQ(headerOf(exchange(OXLENS_PING_REQ_TYPE, 2).bytes).uSign, OXLENS_SIGNATURE);

    // Armed for good until cleared; the failed reads leave the answer waiting.
    wfsim_set_fault(WFSIM_FAULT_READ_FAILS, -1);
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_PING_REQ_TYPE, OXLENS_PACKET_SIZE, 3)));
    for (int i = 0; i < 3; ++i) {
        ReadResult failed = readAnswer(channel, 5000);
        EXPECT_FALSE(failed.ok);
        EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    }
    wfsim_set_fault(WFSIM_FAULT_READ_FAILS, 0);
    EXPECT_EQ(headerOf(readAnswer(channel, 5000).bytes).uSeqNum, 3);

    // Two stale answers come before the right one.
    wfsim_set_fault(WFSIM_FAULT_STALE_ANSWERS, 1);
    EXPECT_EQ(headerOf(exchange(OXLENS_PING_REQ_TYPE, 0).bytes).uSeqNum, 65534);
    EXPECT_EQ(headerOf(readAnswer(channel, 0).bytes).uSeqNum, 65535);
    EXPECT_EQ(headerOf(readAnswer(channel, 0).bytes).uSeqNum, 0);

    // Lengths that disagree with the header.
    wfsim_set_fault(WFSIM_FAULT_ANSWER_SHORTER, 1);
    ReadResult shorter = exchange(OXLENS_GET_DATA_REQ_TYPE, 4);
    EXPECT_LT(shorter.bytes.size(), headerOf(shorter.bytes).uLength);
    wfsim_set_fault(WFSIM_FAULT_ANSWER_LONGER, 2);
    ReadResult longer = exchange(OXLENS_GET_DATA_REQ_TYPE, 5);
    EXPECT_GT(longer.bytes.size(), headerOf(longer.bytes).uLength);
    ReadResult longerAgain = exchange(OXLENS_GET_DATA_REQ_TYPE, 5, headerOf(longer.bytes).uLength);
    EXPECT_GT(longerAgain.bytes.size(), headerOf(longerAgain.bytes).uLength) << "longer whatever the buffer";
    wfsim_set_fault(WFSIM_FAULT_LENGTH_BEYOND_BUFFER, 1);
    ReadResult beyond = exchange(OXLENS_GET_DATA_REQ_TYPE_V2, 6, OXLENS_PACKET_V2_SIZE);
    EXPECT_EQ(beyond.bytes.size(), OXLENS_PACKET_V2_SIZE);
    EXPECT_GT(headerOf(beyond.bytes).uLength, OXLENS_PACKET_SIZE);

    // Payload faults of the data answers.
    wfsim_set_fault(WFSIM_FAULT_TEXT_WITHOUT_NUL, 1);
    wfsim_set_fault(WFSIM_FAULT_WRONG_ANSWER_TYPE, 1);
    ReadResult brim = exchange(OXLENS_GET_DATA_REQ_TYPE, 7);
    ASSERT_EQ(brim.bytes.size(), OXLENS_PACKET_SIZE);
    EXPECT_NE(headerOf(brim.bytes).uType, OXLENS_GET_DATA_REQ_TYPE);
    const uint8_t* payload = brim.bytes.data() + OXLENS_HEADER_SIZE;
    EXPECT_EQ(std::memchr(payload + offsetof(ClientInfo, userName), 0, 513), nullptr);
    EXPECT_EQ(std::memchr(payload + offsetof(ClientInfo, clientText16), 0, 257), nullptr);
    wfsim_set_fault(WFSIM_FAULT_EMPTY_NAMES, 1);
    ReadResult unnamed = exchange(OXLENS_GET_DATA_REQ_TYPE, 8);
    EXPECT_EQ(unnamed.bytes[OXLENS_HEADER_SIZE + offsetof(ClientInfo, userName)], 0);
    EXPECT_EQ(unnamed.bytes[OXLENS_HEADER_SIZE + offsetof(ClientInfo, computerName)], 0);
    EXPECT_NE(unnamed.bytes[OXLENS_HEADER_SIZE + offsetof(ClientInfo, clientText1)], 0);
    EXPECT_EQ(headerOf(unnamed.bytes).uType, OXLENS_GET_DATA_REQ_TYPE);

    // A cut write gets no answer; a silent counterpart neither.
    wfsim_set_fault(WFSIM_FAULT_WRITE_SHORT, 1);
    ULONG written = 0;
    EXPECT_TRUE(writeRequest(channel, makeRequest(OXLENS_PING_REQ_TYPE, OXLENS_PACKET_SIZE, 9), &written));
    EXPECT_LT(written, OXLENS_PACKET_SIZE);
    wfsim_set_fault(WFSIM_FAULT_NO_ANSWER, 1);
    EXPECT_TRUE(writeRequest(channel, makeRequest(OXLENS_PING_REQ_TYPE, OXLENS_PACKET_SIZE, 10)));
    EXPECT_FALSE(readAnswer(channel, 200).ok);

    // A disconnected session or a vanished channel fails reads and writes.
    wfsim_set_connect_state(WFDisconnected);
    EXPECT_FALSE(writeRequest(channel, makeRequest(OXLENS_PING_REQ_TYPE, OXLENS_PACKET_SIZE, 11)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_VC_DISCONNECTED));
    wfsim_set_connect_state(WFConnected);
    EXPECT_TRUE(exchange(OXLENS_PING_REQ_TYPE, 12).ok);
    const wchar_t* others[] = {L"CTXCAM"};
    wfsim_set_channels(others, 1);
    EXPECT_FALSE(readAnswer(channel, 5000).ok);
    EXPECT_EQ(openOxlens(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_TRUE(wf().WFVirtualChannelClose(channel));
}
