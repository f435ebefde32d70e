#pragma once
// The metrics polling task: the library's main loop.
#include <cstdint>

#include "tasks/ox_working_task.h"
#include "tasks/task_timings.h"

enum MetricsState : int32_t {
    Starting = 0,     // the channel has not been opened yet
    ChannelOpen = 1,  // cycles go straight to the requests
    Pending = 2,      // a step failed: back off, then open the channel anew
};

class OxMetricsTask : public OxWorkingTask {
public:
    // pollV2: also ask for the version-2 extension and fill _glClientInfo_v2.
    explicit OxMetricsTask(bool pollV2, const OxMetricsTimings& timings = OxMetricsTimings());

    // Only meaningful once the task's thread has been joined (the thread owns the field).
    MetricsState state() const { return m_state; }

protected:
    void run() override;

private:
    void setChannelOpen() { m_state = ChannelOpen; }
    void setPending() { m_state = Pending; }
    // How the back-off wait of the pending state ended.
    struct BackoffEnd {
        bool stopRequested = false;
        bool sessionBack = false;   // the session was found connected again before the wait was over
        uint32_t connectState = 0;  // the state that ended it
        uint32_t waitedMs = 0;
        uint32_t totalMs = 0;
    };
    BackoffEnd waitOutBackoff();
    // A failed step: the pending state, or, while quick reopens are left after a likely reconnect,
    // a fresh open after one polling cycle.
    void failStep();
    // After a failed step on a channel that had answered: true when the session is active (asked
    // now, or known from this cycle's check), so the channel most likely died with a takeover (the
    // session was reconnected from another endpoint between two looks at it); quick reopens follow.
    bool suspectReconnect(bool askSession);

    bool m_pollV2;
    MetricsState m_state = Starting;
    uint32_t m_maxPendingWaitMs;
    uint32_t m_pendingWaitMs;
    int32_t m_pollIntervalMs;
    uint32_t m_readTimeoutMs;
    // Set when the session-state check found the session neither active nor connected; the
    // back-off that follows watches for the reconnect.
    bool m_pendingOnSession = false;
    // The channel now open has answered a ping: when it fails, a reconnect is likely.
    bool m_channelAnswered = false;
    // The session was seen away, or taken over, since the channel was last opened: the next open
    // reaches another endpoint, whose latency and read failures are measured afresh.
    bool m_reconnectSeen = false;
    // Fresh opens still allowed after a likely reconnect before a failure means the back-off.
    int32_t m_quickReopensLeft = 0;
    bool m_pauseBeforeReopen = false;
};
