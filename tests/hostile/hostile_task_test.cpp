// The polling task (short timings) while a hostile counterpart mixes malformed answers into the
// healthy ones, and a host reads the records the whole time: the host only ever sees records
// whose measured fields are in range, it can print every text within its array, and when the
// task stops it holds no channel, buffer or session handle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "citrix/wfapi_loader.h"
#include "hostile/hostile_support.h"
#include "protocol/client_info.h"
#include "protocol/oxlens_packet.h"
#include "support/log_capture.h"
#include "tasks/ox_metrics_task.h"
#include "wfsim_control.h"

extern "C" {
#include "probe_format.h"
}

namespace {

bool measuredInRange(const ClientInfo& r) {
    return r.readFailurePercent == -1 || (r.readFailurePercent >= 0 && r.readFailurePercent <= 100);
}

}  // namespace

TEST(HostileTask, HostSeesOnlyConsistentRecordsAndTheTaskHoldsNothingAfterItsStop) {
    ensureTestLog();
    ASSERT_TRUE(loadWFAPIWrapper());
    wfsim_reset();
    wfsim_set_latency(1, 0);
    {
        std::lock_guard<std::mutex> lock(_glClientInfoMutex);
        resetClientInfo(&_glClientInfo);
        resetClientInfo(&_glClientInfo_v2.base);
        resetClientInfoV2Ext(&_glClientInfo_v2.ext);
    }
    const uint32_t seed = hostile::seeds({424242u}).front();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with PLX_HOSTILE_SEED=" + std::to_string(seed) + ")");
    hostile::setCrashContext("polling task under hostile answers, seed " + std::to_string(seed));

    OxMetricsTimings timings;
    timings.pollIntervalMs = 5;
    timings.firstPendingWaitMs = 5;
    timings.maxPendingWaitMs = 10;
    timings.readTimeoutMs = 20;
    std::unique_ptr<OxMetricsTask> task(new OxMetricsTask(true, timings));
    std::thread worker([&] { task->execute(); });

    std::atomic<bool> done{false};
    std::thread counterpart([&] {
        std::mt19937 rng(seed);
        while (!done) {
            // Aimed at the request written last, so some answers carry the right sequence number.
            OXLENS_PACKET_HEADER last{};
            wfsim_last_request(&last, sizeof last);
            const bool v2 = last.uType == OXLENS_GET_DATA_REQ_TYPE_V2;
            const hostile::Expectation expected{last.uType, last.uSeqNum,
                                                v2 ? OXLENS_PACKET_V2_SIZE : OXLENS_PACKET_SIZE};
            const std::vector<uint8_t> answer = hostile::malformedAnswer(rng, expected);
            wfsim_queue_raw_answer(answer.data(), static_cast<DWORD>(answer.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(1, 8)(rng)));
        }
    });

    hostile::Guarded<ClientInfo> v1;
    hostile::Guarded<ClientInfoV2> v2;
    FILE* sink = std::fopen("NUL", "wb");
    ASSERT_NE(sink, nullptr);
    int reads = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard<std::mutex> lock(_glClientInfoMutex);
            *v1 = _glClientInfo;
            *v2 = _glClientInfo_v2;
        }
        EXPECT_TRUE(measuredInRange(*v1)) << v1->readFailurePercent;
        EXPECT_TRUE(measuredInRange(v2->base)) << v2->base.readFailurePercent;
        probePrintRecord(sink, v1.get(), 0, 1, reads, "now");
        probePrintRecord(sink, v2.get(), 1, 1, reads, "now");
        ++reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::fclose(sink);

    done = true;
    counterpart.join();
    task->stop();
    worker.join();
    EXPECT_FALSE(task->isRunning());

    WfsimCounters c{};
    wfsim_get_counters(&c);
    std::printf("seed %u: %ld writes, %ld reads, %ld channels opened, %d host reads\n", seed, c.writes, c.reads,
                c.channelsOpened, reads);
    EXPECT_GT(c.writes, 50) << "the task kept polling";
    EXPECT_GT(c.channelsOpened, 1) << "hostile answers sent the task into its back-off and a reopen";
    EXPECT_EQ(wfsim_outstanding(), 0);
    EXPECT_EQ(c.channelsOpened, c.channelsClosed);
    EXPECT_EQ(c.buffersAllocated, c.buffersFreed);
    EXPECT_EQ(c.badFrees + c.badChannelCloses + c.badSmcCloses, 0);
    wfsim_reset();
}
