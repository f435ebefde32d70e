#include "tasks/ox_metrics_task.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <plog/Log.h>
#include <stdexcept>
#include <string>

#include "citrix/channel_discovery.h"
#include "citrix/session_queries.h"
#include "citrix/wfapi_loader.h"
#include "protocol/channel_exchange.h"
#include "protocol/client_info.h"
#include "utils/oxe_auto_handle.h"
#include "utils/string_utils.h"
#include "utils/system_error.h"

namespace {

const char* const kTag = "[METRICS THREAD]";
const std::string kSeparator(64, '=');
constexpr int32_t kWaitStepMs = 10;
constexpr int32_t kEmptyNameCyclesBeforePending = 3;
constexpr size_t kMessageBufferSize = 10240;
// After a likely reconnect, up to this many fresh opens, a third of a polling cycle apart, before
// a failure means the back-off: a new client may list its channels a moment after the session is
// back. They need a channel that answered since the last suspicion, so a flapping session gets at
// most this many per cycle that succeeded, never a spin.
constexpr int32_t kQuickReopens = 3;
const char* const kTakeoverText = " The channel had answered and the session is active: it was most likely taken over "
                                  "from another endpoint; a fresh channel is opened without a back-off";

// Everything one run works with, allocated once when the run begins and kept to its end.
struct MetricsWorkspace {
    ClientInfo clientInfo;      // this cycle's version-1 data (kept across cycles)
    ClientInfoV2 clientInfoV2;  // the version-2 answer; only its extension is stored
    OxlensPacket request;       // shared by the ping and the version-1 request
    OxlensPacket answer;
    OxlensPacketV2 requestV2;
    OxlensPacketV2 answerV2;
    char message[kMessageBufferSize];
};

// The reported latency moves only every fifth successful ping; in between it holds the
// value taken last time, while the running average keeps absorbing each ping by half.
struct LatencySmoothing {
    int32_t cycle = 0;
    int32_t average = 0;
    int32_t held = 0;
    int32_t lastPingMs = 0;
};

int32_t halfSum(int32_t a, int32_t b) {
    // Widened so that no ping value can overflow the sum; division truncates toward zero.
    return static_cast<int32_t>((static_cast<int64_t>(a) + b) / 2);
}

int32_t smoothLatency(LatencySmoothing& s) {
    if (s.cycle == 0) {
        const int32_t value = s.average == 0 ? s.lastPingMs : halfSum(s.average, s.lastPingMs);
        s.average = value;
        s.held = value;
        s.cycle = 1;
        return value;
    }
    s.average = halfSum(s.average, s.lastPingMs);
    s.cycle = s.cycle > 3 ? 0 : s.cycle + 1;
    return s.held;
}

std::string lastErrorText() {
    return OxeUtils::wideToUtf8(OxeUtils::getSystemErrorText(GetLastError()));
}

enum class SessionSeen { Connected, NotConnected, Unknown };

// One connect-state query; Unknown when it failed (the query logs why if logFailure).
SessionSeen lookAtSession(DWORD* state, bool logFailure = true) {
    *state = 0;
    if (querySessionState(state, logFailure) != 0) return SessionSeen::Unknown;
    return *state == WFActive || *state == WFConnected ? SessionSeen::Connected : SessionSeen::NotConnected;
}

}  // namespace

OxMetricsTask::OxMetricsTask(bool pollV2, const OxMetricsTimings& timings)
    : m_pollV2(pollV2),
      m_state(Starting),
      m_maxPendingWaitMs(timings.maxPendingWaitMs),
      m_pendingWaitMs(timings.firstPendingWaitMs),
      m_pollIntervalMs(timings.pollIntervalMs),
      m_readTimeoutMs(timings.readTimeoutMs) {}

// The back-off of the pending state. People disconnect and pick their session up again, often
// from another endpoint, and the record must follow them within a cycle, not after minutes of
// back-off. So when the session was not connected as the back-off began (the state check said
// so, or one query says so now: a disconnect in the middle of an exchange fails the ping), the
// wait runs in slices of one polling cycle with a connect-state query after each, and a connected
// session ends it early; the next cycle then opens a fresh channel, to the new endpoint. While
// the session stays away this costs one query per cycle. The other failures of a connected
// session (a channel that never answered, an open that fails) do not heal within seconds: their
// wait runs whole. A takeover, met on a channel that had answered, gets quick reopens instead.
// The task's log lines are written by run().
OxMetricsTask::BackoffEnd OxMetricsTask::waitOutBackoff() {
    BackoffEnd end;
    end.totalMs = m_pendingWaitMs;
    // A stop that came as the back-off began ends it before anything else is asked.
    if (!isRunning()) {
        end.stopRequested = true;
        return end;
    }
    DWORD state = 0;
    const bool watchSession = m_pendingOnSession || lookAtSession(&state) == SessionSeen::NotConnected;
    m_pendingOnSession = false;
    if (!watchSession) {
        end.stopRequested = waitFor(static_cast<int32_t>(end.totalMs), kWaitStepMs);
        end.waitedMs = end.totalMs;
    } else {
        m_reconnectSeen = true;  // whenever it comes back, the next open reaches a reconnected session
        // A slice is at least one wait step, whatever the polling interval.
        const uint32_t cycleMs = static_cast<uint32_t>(std::max(m_pollIntervalMs, kWaitStepMs));
        // A state query that keeps failing is logged once per back-off, not once per slice.
        bool queryFailureLogged = false;
        while (end.waitedMs < end.totalMs) {
            const uint32_t sliceMs = std::min(end.totalMs - end.waitedMs, cycleMs);
            if (waitFor(static_cast<int32_t>(sliceMs), kWaitStepMs)) {
                end.stopRequested = true;
                break;
            }
            end.waitedMs += sliceMs;
            // After the last slice the cycle's own state check follows at once.
            if (end.waitedMs >= end.totalMs) break;
            const SessionSeen seen = lookAtSession(&state, !queryFailureLogged);
            queryFailureLogged = queryFailureLogged || seen == SessionSeen::Unknown;
            if (seen == SessionSeen::Connected) {
                end.sessionBack = true;
                end.connectState = state;
                break;
            }
        }
    }
    if (end.stopRequested) return end;
    // Doubled after every back-off wait, one that a reconnect ended too: the steps count over the
    // task's whole life.
    const uint64_t doubled = static_cast<uint64_t>(m_pendingWaitMs) * 2;
    m_pendingWaitMs = doubled > m_maxPendingWaitMs ? m_maxPendingWaitMs : static_cast<uint32_t>(doubled);
    return end;
}

void OxMetricsTask::failStep() {
    if (m_quickReopensLeft > 0) {
        --m_quickReopensLeft;
        m_state = Starting;
        m_pauseBeforeReopen = true;
        return;
    }
    setPending();
}

bool OxMetricsTask::suspectReconnect(bool askSession) {
    if (!m_channelAnswered) return false;  // a counterpart that never answered gets its back-off
    m_channelAnswered = false;
    if (askSession) {
        DWORD state = 0;
        const SessionSeen seen = lookAtSession(&state);
        if (seen == SessionSeen::NotConnected) m_pendingOnSession = true;  // the back-off watches for it
        if (seen != SessionSeen::Connected) return false;
    }
    m_reconnectSeen = true;
    m_quickReopensLeft = kQuickReopens;
    return true;
}

void OxMetricsTask::run() {
    PLOGD << kSeparator;
    PLOGD << kTag << " : started...";
    PLOGD << kSeparator;

    // Released in reverse order: client data, channel, session handle. The table is only
    // unloaded after this thread has been joined, so the entry points are still there.
    auto sessionHandle = OxeUtils::makeAutoHandle<HANDLE>(nullptr, [](HANDLE session) {
        if (_glWFAPITable.WFSmcCloseSessionHandle != nullptr)
            _glWFAPITable.WFSmcCloseSessionHandle(WF_CURRENT_SERVER_HANDLE, session);
    });
    auto channel = OxeUtils::makeAutoHandle<HANDLE>(nullptr, [](HANDLE handle) {
        if (_glWFAPITable.WFVirtualChannelClose != nullptr) _glWFAPITable.WFVirtualChannelClose(handle);
    });
    auto clientData = OxeUtils::makeAutoHandle<_VDOXLENS_C2H*>(nullptr, [](_VDOXLENS_C2H* data) {
        if (_glWFAPITable.WFFreeMemory != nullptr) _glWFAPITable.WFFreeMemory(data);
    });
    DWORD sessionId = 0;
    DWORD clientDataLength = 0;
    std::unique_ptr<MetricsWorkspace> ws;
    bool failed = false;

    try {
        if (querySessionID(&sessionId) != 0) throw std::runtime_error("Session Connection ID is not valid.");
        if (openSessionHandle(sessionId, sessionHandle.addressOf()) != 0)
            throw std::runtime_error("Cannot Open Session Handle.");

        ws.reset(new MetricsWorkspace());
        std::memset(ws.get(), 0, sizeof(MetricsWorkspace));
        resetClientInfo(&ws->clientInfo);
        resetClientInfo(&ws->clientInfoV2.base);
        resetClientInfoV2Ext(&ws->clientInfoV2.ext);
        ws->request.header.uSeqNum = 0;
        LatencySmoothing latency;
        int32_t emptyNameCycles = 0;
        const std::string channelName = OXLENS_CHANNEL_NAME;

        bool stopRequested = false;
        while (!stopRequested) {
            if (m_state == Pending) {
                PLOGE << "Waiting" << m_pendingWaitMs / 1000 << "seconds. In Pending State";
                const BackoffEnd backoff = waitOutBackoff();
                if (backoff.stopRequested) break;
                if (backoff.sessionBack) {
                    PLOGI << kTag << " The session is connected again (" << connectStateText(backoff.connectState)
                          << "): the back-off wait ends after " << backoff.waitedMs / 1000 << " of "
                          << backoff.totalMs / 1000 << " seconds";
                }
            } else if (m_pauseBeforeReopen) {
                m_pauseBeforeReopen = false;
                if (waitFor(std::max(m_pollIntervalMs / 3, kWaitStepMs), kWaitStepMs)) break;
            }

            int result = queryVDAVersion();
            if (result != 0) {
                PLOGE << "The Driver error: can't get VDA version: " << result;
                failStep();
                waitFor(1, kWaitStepMs);
                continue;
            }

            DWORD connectState = 0;
            result = querySessionState(&connectState);
            if (result != 0) {
                PLOGE << "Query Session State error: " << result;
                failStep();
                waitFor(1, kWaitStepMs);
                continue;
            }
            if (connectState != WFActive && connectState != WFConnected) {
                PLOGW << "Session Connection State is not WFActive and not WFConnected. Waiting for connection...";
                // Away: the back-off watches for the session's return, no quick reopens meanwhile.
                m_quickReopensLeft = 0;
                setPending();
                m_pendingOnSession = true;
                waitFor(1, kWaitStepMs);
                continue;
            }

            if (queryOXChannelPresence(channelName) != 0) {
                PLOGE << "The virtual channel '" << OXLENS_CHANNEL_NAME << "' has not been found on the client side.";
                // The session was found active just now: a client that took it over may not list
                // its channels yet.
                if (suspectReconnect(false)) {
                    PLOGI << kTag << kTakeoverText;
                }
                failStep();
                waitFor(1, kWaitStepMs);
                continue;
            }

            if (m_state != ChannelOpen) {
                // A reopen first frees the client data and closes the channel of the last open.
                clientData.reset();
                channel.reset();
                if (tryOpenVirtualChannel(channel.addressOf(), clientData.addressOf(), &clientDataLength) != 0) {
                    const int err = errno;
                    OxeUtils::formatString(ws->message, sizeof ws->message,
                                           "The virtual channel '%s' cannot be opened, system error [%d]: %s",
                                           OXLENS_CHANNEL_NAME, err, std::strerror(err));
                    PLOGE << ws->message;
                    failStep();
                    continue;
                }
                PLOGI << kTag << " The virtual channel '" << OXLENS_CHANNEL_NAME << "' has been open sucessfully";
                setChannelOpen();
                m_channelAnswered = false;
                if (m_reconnectSeen) {
                    // A deliberate exception to smoothing over the task's whole life: after a
                    // reconnect the channel reaches the endpoint the user now sits at, so the record
                    // takes its round trip from the first ping and counts only its read failures.
                    m_reconnectSeen = false;
                    latency = LatencySmoothing();
                    resetReadStatistics();
                    PLOGI << kTag << " The channel reaches the endpoint of the reconnected session: its latency and "
                                     "read failures are measured afresh";
                }
            }

            try {
                result = SendBeginAndEndPing(channel.get(), &ws->request, &ws->answer, &latency.lastPingMs,
                                             m_readTimeoutMs);
                if (result != 0) {
                    const int err = errno;
                    OxeUtils::formatString(ws->message, sizeof ws->message,
                                           "SendBeginAndEndPing failed with error : %d, system error [%d]: %s",
                                           result, err, std::strerror(err));
                    PLOGE << ws->message;
                    if (suspectReconnect(true)) {
                        PLOGI << kTag << kTakeoverText;
                        m_state = Starting;  // the fresh open follows at once
                        continue;
                    }
                    failStep();
                    continue;
                }
                m_channelAnswered = true;
                m_quickReopensLeft = 0;

                std::memset(&ws->answer, 0, sizeof ws->answer);
                ws->request.header.uType = OXLENS_GET_DATA_REQ_TYPE;
                ws->request.header.uLength = OXLENS_PACKET_SIZE;
                ws->answer.header.uType = OXLENS_GET_DATA_REQ_TYPE;
                ws->answer.header.uLength = OXLENS_PACKET_SIZE;
                if (SendDataReq_v1(channel.get(), &ws->request, &ws->answer, &ws->clientInfo, m_readTimeoutMs) == 0) {
                    const DWORD code = GetLastError();
                    const std::string text = lastErrorText();
                    PLOGE << kTag << " SendDataReq_v1 failed with error : " << "[" << code << "] : " << text
                          << "; continue requests...";
                }

                ws->clientInfo.latency = smoothLatency(latency);

                // Only the first byte of each name is looked at: the texts may lack their NUL.
                if (ws->clientInfo.userName[0] == '\0' && ws->clientInfo.computerName[0] == '\0') {
                    if (emptyNameCycles < kEmptyNameCyclesBeforePending) ++emptyNameCycles;
                    if (emptyNameCycles >= kEmptyNameCyclesBeforePending) {
                        PLOGE << kTag << " : [clientInfo.userName] or [clientInfo.computerName] is empty.";
                        failStep();
                        continue;
                    }
                } else {
                    emptyNameCycles = 0;
                    std::lock_guard<std::mutex> lock(_glClientInfoMutex);
                    _glClientInfo = ws->clientInfo;
                }

                if (m_pollV2) {
                    std::memset(&ws->answerV2, 0, sizeof ws->answerV2);
                    ws->requestV2.header.uType = OXLENS_GET_DATA_REQ_TYPE_V2;
                    ws->requestV2.header.uLength = OXLENS_PACKET_V2_SIZE;
                    ws->answerV2.header.uType = OXLENS_GET_DATA_REQ_TYPE_V2;
                    ws->answerV2.header.uLength = OXLENS_PACKET_V2_SIZE;
                    if (SendDataReq_v2(channel.get(), &ws->requestV2, &ws->answerV2, &ws->clientInfoV2,
                                       m_readTimeoutMs) != 0) {
                        // The base is this cycle's version-1 data, stored or not.
                        std::lock_guard<std::mutex> lock(_glClientInfoMutex);
                        _glClientInfo_v2.base = ws->clientInfo;
                        _glClientInfo_v2.ext = ws->clientInfoV2.ext;
                    } else {
                        const DWORD code = GetLastError();
                        const std::string text = lastErrorText();
                        PLOGE << kTag << " : SendDataReq_v2 failed with error: " << "[" << code << "] : " << text
                              << "; continuing requests...";
                    }
                }

                if (waitFor(m_pollIntervalMs, kWaitStepMs)) stopRequested = true;
            } catch (const std::exception& e) {
                PLOGE << kTag << " Exception: " << e.what();
                failStep();
            }
        }
    } catch (const std::exception& e) {
        PLOGE << kTag << " Exception: " << e.what();
        failed = true;
    } catch (const char* text) {
        PLOGE << kTag << " Exception: " << (text != nullptr ? text : "");
        failed = true;
    } catch (...) {
        PLOGE << kTag << " Unknown Exception.";
        failed = true;
    }

    if (failed) {
        PLOGD << kSeparator;
        PLOGD << kTag << " finished...";
        PLOGD << kSeparator;
    } else {
        PLOGD << kTag << " : Stop flag has been set.";
    }
}
