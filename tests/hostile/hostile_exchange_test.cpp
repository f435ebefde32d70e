// A hostile counterpart: thousands of seeded, malformed answers fed through the substitute
// WFAPI.DLL into the ping and the two data requests. Every buffer and every record lies flush
// against an inaccessible page, so a read or write past any of them ends the process (with the
// seed printed); no read may ask for more than its buffer holds; results keep their contract;
// and the records are printed the way a host prints them, each text read within its array.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "citrix/wfapi_loader.h"
#include "faults/record_texts.h"
#include "hostile/hostile_support.h"
#include "protocol/channel_exchange.h"
#include "protocol/client_info.h"
#include "support/log_capture.h"
#include "utils/oxe_auto_handle.h"
#include "wfsim_control.h"

extern "C" {
#include "probe_format.h"
}

using hostile::Guarded;

namespace {

constexpr int kExchangesPerSeed = 1200;
constexpr uint32_t kReadTimeoutMs = 1;  // the counterpart stays silent once the scripted answers are used up
constexpr int32_t kUnwritten = -987654;

enum class Op { Ping, V1, V2 };

struct Buffers {
    Guarded<OxlensPacket> request, answer;
    Guarded<OxlensPacketV2> requestV2, answerV2;
    Guarded<ClientInfo> info;
    Guarded<ClientInfoV2> infoV2;
};

// Prints a record as text and as JSON, as plxprobe does, into the null device.
void printLikeAHost(const void* record, int v2) {
    FILE* sink = std::fopen("NUL", "wb");
    ASSERT_NE(sink, nullptr);
    probePrintRecord(sink, record, v2, 0, 1, "now");
    probePrintRecord(sink, record, v2, 1, 1, "now");
    std::fclose(sink);
}

class HostileExchanges : public ::testing::Test {
protected:
    void SetUp() override {
        ensureTestLog();
        ASSERT_TRUE(loadWFAPIWrapper());
        silence();
        char name[] = "OXLENS";
        *m_channel.addressOf() = _glWFAPITable.WFVirtualChannelOpen(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, name);
        ASSERT_NE(m_channel.get(), nullptr);
    }
    void TearDown() override {
        m_channel.reset();
        EXPECT_EQ(wfsim_outstanding(), 0);
        wfsim_reset();
    }

    // Only the scripted answers come; the read log starts afresh.
    static void silence() {
        wfsim_reset();
        wfsim_set_fault(WFSIM_FAULT_NO_ANSWER, -1);
    }

    // The read sizes logged since the last call.
    std::vector<DWORD> newReadSizes() {
        std::vector<DWORD> all(4096);
        all.resize(wfsim_read_sizes(all.data(), static_cast<DWORD>(all.size())));
        std::vector<DWORD> fresh(all.begin() + static_cast<long>(std::min(m_readsSeen, all.size())), all.end());
        m_readsSeen = all.size();
        if (m_readsSeen > 2000) {  // keep the log short; leftover answers are dropped with it
            silence();
            m_readsSeen = 0;
        }
        return fresh;
    }

    OxeUtils::OxeAutoHandle<HANDLE, void (*)(HANDLE)> m_channel{
        nullptr, [](HANDLE h) { _glWFAPITable.WFVirtualChannelClose(h); }};
    size_t m_readsSeen = 0;
};

}  // namespace

TEST_F(HostileExchanges, MalformedAnswersNeverReachOutsideABufferOrARecord) {
    for (uint32_t seed : hostile::seeds({20261206u, 7u, 0xC0FFEEu})) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with PLX_HOSTILE_SEED=" + std::to_string(seed) + ")");
        std::mt19937 rng(seed);
        Buffers b;
        std::memset(b.request.get(), 0, sizeof(OxlensPacket));
        std::memset(b.requestV2.get(), 0, sizeof(OxlensPacketV2));
        gReadAttempts = gReadFailures = gReadFailurePercent = 0;
        int results[3][3] = {};  // per op: 0/-131 or 0/1 outcomes, for the summary

        for (int i = 0; i < kExchangesPerSeed; ++i) {
            const Op op = static_cast<Op>(std::uniform_int_distribution<int>(0, 2)(rng));
            hostile::setCrashContext("seed " + std::to_string(seed) + ", exchange " + std::to_string(i) + ", op " +
                                     std::to_string(static_cast<int>(op)));
            const bool v2 = op == Op::V2;
            const size_t capacity = v2 ? OXLENS_PACKET_V2_SIZE : OXLENS_PACKET_SIZE;
            const hostile::Expectation expected{
                op == Op::Ping ? OXLENS_PING_REQ_TYPE : v2 ? OXLENS_GET_DATA_REQ_TYPE_V2 : OXLENS_GET_DATA_REQ_TYPE,
                static_cast<uint16_t>(v2 ? 0 : b.request->header.uSeqNum + 1), capacity};
            const int queued = std::uniform_int_distribution<int>(0, 7)(rng);
            for (int k = 0; k < queued; ++k) {
                const std::vector<uint8_t> answer = hostile::malformedAnswer(rng, expected);
                wfsim_queue_raw_answer(answer.data(), static_cast<DWORD>(answer.size()));
            }

            if (op == Op::Ping) {
                int32_t average = kUnwritten;
                const int rc = SendBeginAndEndPing(m_channel.get(), b.request.get(), b.answer.get(), &average,
                                                   kReadTimeoutMs);
                ASSERT_TRUE(rc == 0 || (rc <= -127 && rc >= -131)) << "exchange " << i << ": " << rc;
                if (rc != 0) {
                    EXPECT_EQ(average, kUnwritten) << "exchange " << i;
                }
                if (rc == 0) {
                    EXPECT_EQ(b.answer->header.uSign, OXLENS_SIGNATURE);
                }
                ++results[0][rc == 0 ? 0 : 1];
            } else if (op == Op::V1) {
                std::memset(b.answer.get(), 0, sizeof(OxlensPacket));
                b.request->header.uType = b.answer->header.uType = OXLENS_GET_DATA_REQ_TYPE;
                b.request->header.uLength = b.answer->header.uLength = OXLENS_PACKET_SIZE;
                std::memset(b.info.get(), 0x5A, sizeof(ClientInfo));
                const int rc = SendDataReq_v1(m_channel.get(), b.request.get(), b.answer.get(), b.info.get(),
                                              kReadTimeoutMs);
                ASSERT_TRUE(rc == 0 || rc == 1) << "exchange " << i;
                if (rc == 1) {
                    EXPECT_EQ(b.answer->header.uSign, OXLENS_SIGNATURE) << "exchange " << i;
                }
                EXPECT_LE(gReadFailurePercent, 100);
                ClientInfo untouched;
                std::memset(&untouched, 0x5A, sizeof untouched);
                if (std::memcmp(b.info.get(), &untouched, sizeof untouched) != 0) {
                    // Copied: only from a type-3 answer, as it came, with the measured failure share.
                    EXPECT_EQ(b.answer->header.uType, OXLENS_GET_DATA_REQ_TYPE) << "exchange " << i;
                    EXPECT_EQ(b.info->readFailurePercent, gReadFailurePercent);
                    ClientInfo sent;
                    std::memcpy(&sent, &b.answer->payload, sizeof sent);
                    sent.readFailurePercent = b.info->readFailurePercent;
                    EXPECT_EQ(std::memcmp(&sent, b.info.get(), sizeof sent), 0) << "exchange " << i;
                    printLikeAHost(b.info.get(), 0);
                    for (const auto& f : records::clientInfoTexts()) EXPECT_LE(records::textLength(b.info.get(), f), f.size);
                    ++results[1][2];
                }
                ++results[1][rc];
            } else {
                std::memset(b.answerV2.get(), 0, sizeof(OxlensPacketV2));
                b.requestV2->header.uType = b.answerV2->header.uType = OXLENS_GET_DATA_REQ_TYPE_V2;
                b.requestV2->header.uLength = b.answerV2->header.uLength = OXLENS_PACKET_V2_SIZE;
                std::memset(b.infoV2.get(), 0x5A, sizeof(ClientInfoV2));
                const int rc = SendDataReq_v2(m_channel.get(), b.requestV2.get(), b.answerV2.get(), b.infoV2.get(),
                                              kReadTimeoutMs);
                ASSERT_TRUE(rc == 0 || rc == 1) << "exchange " << i;
                if (rc == 1) {
                    EXPECT_EQ(b.answerV2->header.uSign, OXLENS_SIGNATURE) << "exchange " << i;
                }
                ClientInfoV2 untouched;
                std::memset(&untouched, 0x5A, sizeof untouched);
                if (std::memcmp(b.infoV2.get(), &untouched, sizeof untouched) != 0) {
                    EXPECT_EQ(b.answerV2->header.uType, OXLENS_GET_DATA_REQ_TYPE_V2) << "exchange " << i;
                    EXPECT_EQ(std::memcmp(&b.infoV2->ext, &b.answerV2->payload, sizeof(ClientInfoV2Ext)), 0);
                    EXPECT_EQ(std::memcmp(&b.infoV2->base, &_glClientInfo, sizeof(ClientInfo)), 0);
                    printLikeAHost(b.infoV2.get(), 1);
                    for (const auto& f : records::extTexts()) EXPECT_LE(records::textLength(&b.infoV2->ext, f), f.size);
                    ++results[2][2];
                }
                ++results[2][rc];
            }

            for (DWORD size : newReadSizes())
                ASSERT_LE(size, capacity) << "exchange " << i << " asked for more than its buffer holds";
            if (HasFatalFailure() || testing::Test::HasFailure()) return;
        }
        std::printf("seed %u: ping ok/failed %d/%d, v1 0/1/copied %d/%d/%d, v2 0/1/copied %d/%d/%d\n", seed,
                    results[0][0], results[0][1], results[1][0], results[1][1], results[1][2], results[2][0],
                    results[2][1], results[2][2]);
        // The generator must reach every path, not only the failures.
        EXPECT_GT(results[1][2], 0) << "no version-1 answer was ever copied";
        EXPECT_GT(results[2][2], 0) << "no version-2 answer was ever copied";
        EXPECT_GT(results[1][1], 0);
        EXPECT_GT(results[2][1], 0);
    }
}
