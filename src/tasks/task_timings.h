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
