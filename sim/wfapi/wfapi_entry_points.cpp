// The fourteen WinFrame API entry points of the substitute WFAPI.DLL. Each one counts its
// call, checks its arguments like a strict API would, honours the armed faults and sets the
// thread's last-error code on every failure (after the state lock is released, so nothing
// the unlock does can overwrite it).
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "citrix/wfapi_types.h"
#include "protocol/oxlens_packet.h"
#include "sim_counterpart.h"
#include "sim_state.h"

using namespace wfsim;

namespace {

// Size of the opaque client module data block of the OXLENS channel.
constexpr DWORD kClientDataSize = 32;
// Channel names occupy the 16 bytes after the 8-byte head of an entry.
constexpr size_t kNameChars = (WF_CHANNEL_ENTRY_SIZE - WF_CHANNEL_NAME_OFFSET) / sizeof(WCHAR);
// Size of a WFVersion answer cut short by its fault: the major and minor version, no more.
constexpr size_t kShortVersionAnswer = 12;
// How many entries beyond the caller's buffer the overflow fault reports.
constexpr DWORD kOverflowExtraEntries = 64;

BOOL failed(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL succeeded() {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD status(DWORD code) {
    SetLastError(code);
    return code;
}

void countCall(SimState& s, WfsimEntry entry) {
    ++s.counters.calls[entry];
}

bool isCurrentSession(const SimState& s, DWORD sessionId) {
    return sessionId == WF_CURRENT_SESSION || sessionId == (s.config.sessionIdRaw & 0xFFFF);
}

// Whether the last request written asks for data (version 1 or 2), so a read now waits for its answer.
bool lastRequestAsksForData(const SimState& s) {
    OXLENS_PACKET_HEADER header;
    if (s.lastRequest.size() < sizeof header) {
        return false;
    }
    std::memcpy(&header, s.lastRequest.data(), sizeof header);
    return header.uType == OXLENS_GET_DATA_REQ_TYPE || header.uType == OXLENS_GET_DATA_REQ_TYPE_V2;
}

// The channel list as this call reports it.
std::vector<std::wstring> listedChannels(SimState& s) {
    std::vector<std::wstring> names = s.config.channels;
    if (takeFault(s, WFSIM_FAULT_CHANNEL_LIST_EMPTY)) {
        names.clear();
    }
    if (takeFault(s, WFSIM_FAULT_CHANNEL_VANISHED)) {
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [](const std::wstring& name) { return equalsIgnoreCase(name, L"OXLENS"); }),
                    names.end());
    }
    if (takeFault(s, WFSIM_FAULT_CHANNEL_NAME_NOT_UTF16)) {
        // A high surrogate without its low half: no valid UTF-16 text, placed where it is met
        // before OXLENS.
        auto oxlens = std::find_if(names.begin(), names.end(),
                                   [](const std::wstring& name) { return equalsIgnoreCase(name, L"OXLENS"); });
        names.insert(oxlens, std::wstring{static_cast<wchar_t>(0xD83D), L'A'});
    }
    if (takeFault(s, WFSIM_FAULT_CHANNEL_LIST_OTHER_CASE)) {
        for (std::wstring& name : names) {
            if (equalsIgnoreCase(name, L"OXLENS")) {
                name = L"OxLens";
            }
        }
    }
    return names;
}

void writeChannelEntry(BYTE* entry, DWORD index, const std::wstring& name) {
    std::memset(entry, 0, WF_CHANNEL_ENTRY_SIZE);
    DWORD head[2] = {index + 1, 0};  // channel number and flags
    std::memcpy(entry, head, sizeof head);
    // A name of eight characters or more fills its field without a terminator.
    size_t chars = std::min(name.size(), kNameChars);
    std::memcpy(entry + WF_CHANNEL_NAME_OFFSET, name.data(), chars * sizeof(WCHAR));
}

Bytes versionBuffer(const SessionConfig& config) {
    Bytes buffer(offsetof(WFVersionInfo, csdVersion) + (config.csd.size() + 1) * sizeof(WCHAR), 0);
    DWORD numbers[5] = {static_cast<DWORD>(buffer.size()), config.vdaMajor, config.vdaMinor, config.vdaBuild,
                        config.platformId};
    std::memcpy(buffer.data(), numbers, sizeof numbers);
    std::memcpy(buffer.data() + offsetof(WFVersionInfo, csdVersion), config.csd.c_str(),
                (config.csd.size() + 1) * sizeof(WCHAR));
    return buffer;
}

// Hands out a copy of the bytes as a WFAPI buffer (released by WFFreeMemory).
void* handOut(SimState& s, const void* bytes, size_t size, size_t allocation) {
    void* buffer = allocateBuffer(s, std::max(size, allocation));
    if (buffer != nullptr) {
        std::memcpy(buffer, bytes, size);
    }
    return buffer;
}

// ERROR_SUCCESS for a channel that can carry traffic. A handle that is closed (or was never
// opened) gets ERROR_INVALID_HANDLE; one whose connection a disconnect ended gets
// ERROR_VC_DISCONNECTED, also after the reconnect. Both count as stale traffic, the latter only
// once the session is connected again: then it is traffic meant for an endpoint that is gone.
DWORD staleChannelError(SimState& s, HANDLE channel) {
    auto found = s.channels.find(channel);
    if (found == s.channels.end()) {
        ++s.counters.staleChannelTraffic;
        return ERROR_INVALID_HANDLE;
    }
    if (found->second.connectionLost) {
        if (sessionConnected(s.config)) {
            ++s.counters.staleChannelTraffic;
        }
        return ERROR_VC_DISCONNECTED;
    }
    return ERROR_SUCCESS;
}

void copyDelivered(const Bytes& bytes, PCHAR buffer, PULONG bytesRead) {
    if (!bytes.empty()) {
        std::memcpy(buffer, bytes.data(), bytes.size());
    }
    if (bytesRead != nullptr) {
        *bytesRead = static_cast<ULONG>(bytes.size());
    }
}

}  // namespace

extern "C" {

VOID WINAPI WFFreeMemory(PVOID memory) {
    auto lock = lockState();
    SimState& s = state();
    countCall(s, WFSIM_WFFreeMemory);
    if (!releaseBuffer(s, memory)) {
        ++s.counters.badFrees;  // never handed out, already freed, or null
    }
}

BOOL WINAPI WFQuerySessionInformationW(HANDLE server, DWORD sessionId, WF_INFO_CLASS infoClass, LPWSTR* buffer,
                                       DWORD* bytesReturned) {
    DWORD error = ERROR_SUCCESS;
    {
        auto lock = lockState();
        SimState& s = state();
        countCall(s, WFSIM_WFQuerySessionInformationW);
        if (buffer != nullptr) {
            *buffer = nullptr;
        }
        if (bytesReturned != nullptr) {
            *bytesReturned = 0;
        }
        if (buffer == nullptr || bytesReturned == nullptr) {
            error = ERROR_INVALID_PARAMETER;
        } else if (server != WF_CURRENT_SERVER_HANDLE) {
            error = ERROR_INVALID_HANDLE;
        } else if (!isCurrentSession(s, sessionId)) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            Bytes answer;
            size_t allocation = 0;
            switch (infoClass) {
                case WFSessionId:
                    if (takeFault(s, WFSIM_FAULT_SESSION_ID_QUERY_FAILS)) {
                        error = ERROR_ACCESS_DENIED;
                    } else {
                        DWORD id = takeFault(s, WFSIM_FAULT_SESSION_ID_ZERO) ? 0 : s.config.sessionIdRaw;
                        answer.assign(reinterpret_cast<const BYTE*>(&id), reinterpret_cast<const BYTE*>(&id) + 4);
                        allocation = 8;  // a trailing wide NUL, as for any wide-character buffer
                    }
                    break;
                case WFConnectState:
                    if (takeFault(s, WFSIM_FAULT_STATE_QUERY_FAILS)) {
                        error = ERROR_ACCESS_DENIED;
                    } else {
                        DWORD value = s.config.connectState;
                        answer.assign(reinterpret_cast<const BYTE*>(&value),
                                      reinterpret_cast<const BYTE*>(&value) + 4);
                        allocation = 8;
                    }
                    break;
                case WFVersion:
                    if (takeFault(s, WFSIM_FAULT_VERSION_QUERY_FAILS)) {
                        error = ERROR_ACCESS_DENIED;
                    } else {
                        answer = versionBuffer(s.config);
                        if (takeFault(s, WFSIM_FAULT_VERSION_ANSWER_SHORT)) {
                            answer.resize(kShortVersionAnswer);  // ends inside the numbers
                        }
                    }
                    break;
                default:
                    error = ERROR_NOT_SUPPORTED;
                    break;
            }
            if (error == ERROR_SUCCESS && takeFault(s, WFSIM_FAULT_QUERY_NULL_BUFFER)) {
                // Success without an answer; the byte count stays 0.
            } else if (error == ERROR_SUCCESS) {
                void* copy = handOut(s, answer.data(), answer.size(), allocation);
                if (copy == nullptr) {
                    error = ERROR_NOT_ENOUGH_MEMORY;
                } else {
                    *buffer = static_cast<LPWSTR>(copy);
                    *bytesReturned = static_cast<DWORD>(answer.size());
                }
            }
        }
    }
    return error == ERROR_SUCCESS ? succeeded() : failed(error);
}

HANDLE WINAPI WFVirtualChannelOpen(HANDLE server, DWORD sessionId, LPSTR virtualName) {
    DWORD error = ERROR_SUCCESS;
    HANDLE channel = nullptr;
    {
        auto lock = lockState();
        SimState& s = state();
        countCall(s, WFSIM_WFVirtualChannelOpen);
        if (virtualName == nullptr || !isCurrentSession(s, sessionId)) {
            error = ERROR_INVALID_PARAMETER;
        } else if (server != WF_CURRENT_SERVER_HANDLE) {
            error = ERROR_INVALID_HANDLE;
        } else if (takeFault(s, WFSIM_FAULT_CHANNEL_OPEN_FAILS)) {
            error = ERROR_GEN_FAILURE;
        } else if (std::strcmp(virtualName, kOxlensChannel) != 0 || !channelOffered(s.config)) {
            error = ERROR_FILE_NOT_FOUND;  // only OXLENS has a counterpart, and only while offered
        } else if (!sessionConnected(s.config)) {
            error = ERROR_VC_DISCONNECTED;
        } else {
            channel = newHandle(s);
            s.channels[channel] = ChannelState();
            ++s.counters.channelsOpened;
        }
    }
    if (channel == nullptr) {
        failed(error);
    } else {
        succeeded();
    }
    return channel;
}

BOOL WINAPI WFVirtualChannelClose(HANDLE channel) {
    bool closed = false;
    {
        auto lock = lockState();
        SimState& s = state();
        countCall(s, WFSIM_WFVirtualChannelClose);
        auto found = s.channels.find(channel);
        if (found == s.channels.end()) {
            ++s.counters.badChannelCloses;
        } else {
            s.channels.erase(found);
            ++s.counters.channelsClosed;
            closed = true;
            s.changed.notify_all();  // a read blocked on this channel gives up
        }
    }
    return closed ? succeeded() : failed(ERROR_INVALID_HANDLE);
}

BOOL WINAPI WFVirtualChannelQuery(HANDLE channel, WF_VIRTUAL_CLASS virtualClass, PVOID* buffer,
                                  DWORD* bytesReturned) {
    DWORD error = ERROR_SUCCESS;
    {
        auto lock = lockState();
        SimState& s = state();
        countCall(s, WFSIM_WFVirtualChannelQuery);
        if (buffer != nullptr) {
            *buffer = nullptr;
        }
        if (bytesReturned != nullptr) {
            *bytesReturned = 0;
        }
        if (buffer == nullptr || bytesReturned == nullptr) {
            error = ERROR_INVALID_PARAMETER;
        } else if (s.channels.find(channel) == s.channels.end()) {
            error = ERROR_INVALID_HANDLE;
        } else if (virtualClass != WFVirtualClientData) {
            error = ERROR_NOT_SUPPORTED;
        } else if (takeFault(s, WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS)) {
            error = ERROR_GEN_FAILURE;
        } else {
            // Client module data: version 1.4 of the client-side module, then its flags.
            BYTE data[kClientDataSize] = {'O', 'X', 'C', '2', 'H', 0, 0, 0, 1, 0, 4, 0};
            void* copy = handOut(s, data, sizeof data, 0);
            if (copy == nullptr) {
                error = ERROR_NOT_ENOUGH_MEMORY;
            } else {
                *buffer = copy;
                *bytesReturned = kClientDataSize;
            }
        }
    }
    return error == ERROR_SUCCESS ? succeeded() : failed(error);
}

BOOL WINAPI WFVirtualChannelWrite(HANDLE channel, PCHAR buffer, ULONG length, PULONG bytesWritten) {
    DWORD error = ERROR_SUCCESS;
    {
        auto lock = lockState();
        SimState& s = state();
        countCall(s, WFSIM_WFVirtualChannelWrite);
        ++s.counters.writes;
        if (bytesWritten != nullptr) {
            *bytesWritten = 0;
        }
        auto found = s.channels.find(channel);
        if ((error = staleChannelError(s, channel)) != ERROR_SUCCESS) {
            // nothing is sent
        } else if (buffer == nullptr || bytesWritten == nullptr) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(buffer);
            s.lastRequest.assign(bytes, bytes + length);
            if (takeFault(s, WFSIM_FAULT_WRITE_FAILS)) {
                error = ERROR_GEN_FAILURE;
            } else if (!sessionConnected(s.config) || !channelOffered(s.config)) {
                error = ERROR_VC_DISCONNECTED;
            } else if (takeFault(s, WFSIM_FAULT_WRITE_SHORT)) {
                *bytesWritten = length / 2;  // the counterpart sees a cut request and ignores it
            } else {
                *bytesWritten = length;
                receiveRequest(s, found->second, bytes, length);
            }
        }
    }
    return error == ERROR_SUCCESS ? succeeded() : failed(error);
}

BOOL WINAPI WFVirtualChannelRead(HANDLE channel, ULONG timeoutMs, PCHAR buffer, ULONG bufferSize,
                                 PULONG bytesRead) {
    DWORD error = ERROR_SUCCESS;
    {
        auto lock = lockState();
        SimState& s = state();
        countCall(s, WFSIM_WFVirtualChannelRead);
        ++s.counters.reads;
        s.counters.maxReadSize = std::max<LONG>(s.counters.maxReadSize, static_cast<LONG>(bufferSize));
        if (s.readSizes.size() < 100000) {  // bounded, for soak runs
            s.readSizes.push_back(bufferSize);
        }
        if (bytesRead != nullptr) {
            *bytesRead = 0;
        }
        const DWORD waitMs = s.config.readWaitMaxMs ? std::min<DWORD>(timeoutMs, s.config.readWaitMaxMs) : timeoutMs;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        if ((error = staleChannelError(s, channel)) != ERROR_SUCCESS) {
            // nothing is read
        } else if ((buffer == nullptr && bufferSize > 0) || bytesRead == nullptr) {
            error = ERROR_INVALID_PARAMETER;
        } else if (takeFault(s, WFSIM_FAULT_READ_FAILS)) {
            error = ERROR_GEN_FAILURE;
        } else if (timeoutMs == 0 && takeFault(s, WFSIM_FAULT_DRAIN_READ_FAILS)) {
            error = ERROR_GEN_FAILURE;
        } else if (lastRequestAsksForData(s) && takeFault(s, WFSIM_FAULT_DATA_READ_FAILS)) {
            error = ERROR_GEN_FAILURE;
        } else if (takeFault(s, WFSIM_FAULT_READ_TIMEOUT)) {
            // Waits out its whole time-out unless the channel is closed meanwhile.
            s.changed.wait_until(lock, deadline,
                                 [&] { return s.channels.find(channel) == s.channels.end(); });
            error = WAIT_TIMEOUT;
        } else if (takeFault(s, WFSIM_FAULT_READ_ZERO_BYTES)) {
            // TRUE with nothing read.
        } else {
            for (;;) {
                auto found = s.channels.find(channel);
                if (found == s.channels.end()) {
                    error = ERROR_INVALID_HANDLE;  // closed while waiting
                    break;
                }
                if (!sessionConnected(s.config) || !channelOffered(s.config) || found->second.connectionLost) {
                    found->second.answers.clear();  // what was in flight is lost with the connection
                    error = ERROR_VC_DISCONNECTED;
                    break;
                }
                if (!s.rawAnswers.empty()) {
                    Bytes raw = std::move(s.rawAnswers.front());
                    s.rawAnswers.pop_front();
                    raw.resize(std::min<size_t>(raw.size(), bufferSize));
                    copyDelivered(raw, buffer, bytesRead);
                    break;
                }
                std::deque<PendingAnswer>& answers = found->second.answers;
                const Clock::time_point now = Clock::now();
                if (!answers.empty() && answers.front().readyAt <= now) {
                    Bytes answer = std::move(answers.front().bytes);
                    answers.pop_front();
                    ++s.counters.answersRead;
                    copyDelivered(deliverAnswer(s, std::move(answer), bufferSize), buffer, bytesRead);
                    break;
                }
                if (now >= deadline) {
                    // A read that may not wait returns at once with nothing; one that waited
                    // in vain times out.
                    if (timeoutMs > 0) {
                        error = WAIT_TIMEOUT;
                    }
                    break;
                }
                Clock::time_point wake = deadline;
                if (!answers.empty()) {
                    wake = std::min(wake, answers.front().readyAt);
                }
                const LONG pingWait = lastRequestAsksForData(s) ? 0 : 1;
                s.counters.pingReadsWaiting += pingWait;
                s.changed.wait_until(lock, wake);
                s.counters.pingReadsWaiting -= pingWait;
            }
        }
    }
    return error == ERROR_SUCCESS ? succeeded() : failed(error);
}

BOOL WINAPI WFWaitSystemEvent(HANDLE server, DWORD eventMask, DWORD* eventFlags) {
    (void)server;
    (void)eventMask;
    if (eventFlags != nullptr) {
        *eventFlags = 0;
    }
    {
        auto lock = lockState();
        countCall(state(), WFSIM_WFWaitSystemEvent);
    }
    return failed(ERROR_NOT_SUPPORTED);  // no system events in a scripted session
}

DWORD WINAPI WFSmcOpenSessionHandle(HANDLE server, DWORD sessionId, HANDLE* session) {
    (void)sessionId;  // the Windows session id and the ICA session id are both accepted
    DWORD code = ERROR_SUCCESS;
    {
        auto lock = lockState();
        SimState& s = state();
        countCall(s, WFSIM_WFSmcOpenSessionHandle);
        if (session == nullptr) {
            code = ERROR_INVALID_PARAMETER;
        } else if (server != WF_CURRENT_SERVER_HANDLE) {
            code = ERROR_INVALID_HANDLE;
        } else if (takeFault(s, WFSIM_FAULT_SMC_OPEN_FAILS)) {
            code = ERROR_ACCESS_DENIED;  // the handle output is left untouched
        } else if (takeFault(s, WFSIM_FAULT_SMC_OPEN_NULL_HANDLE)) {
            *session = nullptr;
        } else {
            *session = newHandle(s);
            s.smcHandles.insert(*session);
            ++s.counters.smcOpened;
        }
    }
    return status(code);
}

DWORD WINAPI WFSmcCloseSessionHandle(HANDLE server, HANDLE session) {
    DWORD code = ERROR_SUCCESS;
    {
        auto lock = lockState();
        SimState& s = state();
        countCall(s, WFSIM_WFSmcCloseSessionHandle);
        auto found = s.smcHandles.find(session);
        if (server != WF_CURRENT_SERVER_HANDLE || found == s.smcHandles.end()) {
            ++s.counters.badSmcCloses;
            code = ERROR_INVALID_HANDLE;
        } else {
            s.smcHandles.erase(found);
            ++s.counters.smcClosed;
        }
    }
    return status(code);
}

DWORD WINAPI WFSmcGetSessionLatencyData(HANDLE server, HANDLE session, PVOID data) {
    (void)server;
    (void)session;
    (void)data;
    {
        auto lock = lockState();
        countCall(state(), WFSIM_WFSmcGetSessionLatencyData);
    }
    return status(ERROR_NOT_SUPPORTED);
}

DWORD WINAPI WFSmcGetSessionVirtualChannelNames(HANDLE server, HANDLE session, DWORD bufferSize, PVOID buffer,
                                                DWORD* count) {
    DWORD code = ERROR_SUCCESS;
    {
        auto lock = lockState();
        SimState& s = state();
        countCall(s, WFSIM_WFSmcGetSessionVirtualChannelNames);
        if (count != nullptr) {
            *count = 0;
        }
        if (server != WF_CURRENT_SERVER_HANDLE || s.smcHandles.find(session) == s.smcHandles.end()) {
            code = ERROR_INVALID_HANDLE;
        } else if (count == nullptr || (buffer == nullptr && bufferSize > 0)) {
            code = ERROR_INVALID_PARAMETER;
        } else if (takeFault(s, WFSIM_FAULT_CHANNEL_LIST_FAILS)) {
            code = ERROR_GEN_FAILURE;
        } else {
            std::vector<std::wstring> names = listedChannels(s);
            const size_t capacity = bufferSize / WF_CHANNEL_ENTRY_SIZE;
            DWORD reported = static_cast<DWORD>(names.size());
            if (takeFault(s, WFSIM_FAULT_CHANNEL_LIST_OVERFLOW)) {
                // Fill the buffer to its last entry and claim still more entries.
                for (size_t i = names.size(); i < capacity; ++i) {
                    names.push_back(L"VC" + std::to_wstring(i));
                }
                reported = static_cast<DWORD>(std::max(names.size(), capacity) + kOverflowExtraEntries);
            }
            // Never more than the buffer holds; the count still tells how many there are.
            BYTE* entries = static_cast<BYTE*>(buffer);
            for (size_t i = 0; i < names.size() && i < capacity; ++i) {
                writeChannelEntry(entries + i * WF_CHANNEL_ENTRY_SIZE, static_cast<DWORD>(i), names[i]);
            }
            *count = reported;
        }
    }
    return status(code);
}

DWORD WINAPI WFSmcGetSessionDataV2(HANDLE server, HANDLE session, PVOID data) {
    (void)server;
    (void)session;
    (void)data;
    {
        auto lock = lockState();
        countCall(state(), WFSIM_WFSmcGetSessionDataV2);
    }
    return status(ERROR_NOT_SUPPORTED);
}

DWORD WINAPI WFSmcGetServerData(HANDLE server, PVOID data) {
    (void)server;
    (void)data;
    {
        auto lock = lockState();
        countCall(state(), WFSIM_WFSmcGetServerData);
    }
    return status(ERROR_NOT_SUPPORTED);
}

}  // extern "C"

// A calling-convention or signature slip must break the build, above all the i686 one.
#define WFSIM_CHECK_ENTRY_TYPE(name, logName) \
    static_assert(std::is_same<decltype(name), name##_t>::value, #name " matches its WFAPI function type");
WFAPI_ENTRY_POINTS(WFSIM_CHECK_ENTRY_TYPE)
#undef WFSIM_CHECK_ENTRY_TYPE
