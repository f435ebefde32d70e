#pragma once
// The one place where the metrics task's timing can be changed: the defaults are what the
// library always uses; tests and the benchmark build tasks with shorter values.
#include <cstdint>

#include "protocol/oxlens_packet.h"

struct OxMetricsTimings {
    int32_t pollIntervalMs = 3000;        // pause between polling cycles
    uint32_t firstPendingWaitMs = 60000;  // first back-off wait, doubled after each one
    uint32_t maxPendingWaitMs = 300000;   // longest back-off wait
    uint32_t readTimeoutMs = OXLENS_READ_TIMEOUT_MS;  // channel reads that wait for an answer
};

// The timings the DLL starts its polling task with: the defaults, always, in the shipped library.
// A test build of the DLL (tests/faults, never shipped) is compiled with
// PLX_TEST_TIMINGS_MS=poll,first,max,read to run its cycles, climb its back-off steps and give up
// on a silent counterpart in seconds instead of minutes. Only the DLL's entry point calls this.
inline OxMetricsTimings dllMetricsTimings() {
    OxMetricsTimings timings;
#ifdef PLX_TEST_TIMINGS_MS
    const uint32_t testTimings[] = {PLX_TEST_TIMINGS_MS};
    timings.pollIntervalMs = static_cast<int32_t>(testTimings[0]);
    timings.firstPendingWaitMs = testTimings[1];
    timings.maxPendingWaitMs = testTimings[2];
    timings.readTimeoutMs = testTimings[3];
#endif
    return timings;
}
