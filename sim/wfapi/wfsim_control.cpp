// Control API of the substitute WFAPI.DLL: tests and demos script the session through it.
#include "wfsim_control.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "sim_scenario.h"
#include "sim_state.h"

using namespace wfsim;

extern "C" {

void WINAPI wfsim_reset(void) {
    auto lock = lockState();
    SimState& s = state();
    applyDefaults(s.config);
    std::fill(std::begin(s.faults), std::end(s.faults), 0);
    s.counters = WfsimCounters{};
    s.readSizes.clear();
    s.lastRequest.clear();
    s.rawAnswers.clear();
    // Open channels, session handles and buffers stay tracked: releasing them later is
    // still correct, and whatever is never released still shows as outstanding.
    for (auto& channel : s.channels) {
        channel.second.answers.clear();
    }
    s.changed.notify_all();
}

int WINAPI wfsim_load_scenario(const wchar_t* path) {
    if (path == nullptr) {
        return -1;
    }
    auto lock = lockState();
    int result = loadScenarioFile(state(), path);
    endChannelConnections(state());
    state().changed.notify_all();
    return result;
}

void WINAPI wfsim_set_session_id_raw(DWORD firstWord) {
    auto lock = lockState();
    state().config.sessionIdRaw = firstWord;
}

void WINAPI wfsim_set_connect_state(DWORD connectState) {
    auto lock = lockState();
    state().config.connectState = connectState;
    endChannelConnections(state());
    state().changed.notify_all();
}

void WINAPI wfsim_set_vda_version(DWORD major, DWORD minor, DWORD build, DWORD platform, const wchar_t* csd) {
    auto lock = lockState();
    SessionConfig& config = state().config;
    config.vdaMajor = major;
    config.vdaMinor = minor;
    config.vdaBuild = build;
    config.platformId = platform;
    config.csd = csd != nullptr ? csd : L"";
}

static void assignChannels(const wchar_t* const* names, DWORD count) {
    std::vector<std::wstring>& channels = state().config.channels;
    channels.clear();
    for (DWORD i = 0; names != nullptr && i < count; ++i) {
        channels.push_back(names[i] != nullptr ? names[i] : L"");
    }
}

void WINAPI wfsim_set_channels(const wchar_t* const* names, DWORD count) {
    auto lock = lockState();
    assignChannels(names, count);
    state().changed.notify_all();
}

void WINAPI wfsim_take_over(const ClientInfo* info, DWORD roundTripMs, const wchar_t* const* names, DWORD count) {
    auto lock = lockState();
    state().config.clientInfo = info != nullptr ? *info : defaultClientInfo();
    state().config.roundTripMs = roundTripMs;
    assignChannels(names, count);
    endChannelConnections(state(), true);
    state().changed.notify_all();
}

void WINAPI wfsim_set_latency(DWORD roundTripMs, DWORD jitterMs) {
    auto lock = lockState();
    state().config.roundTripMs = roundTripMs;
    state().config.jitterMs = jitterMs;
}

void WINAPI wfsim_set_client_info(const ClientInfo* info) {
    auto lock = lockState();
    state().config.clientInfo = info != nullptr ? *info : defaultClientInfo();
}

void WINAPI wfsim_set_client_info_v2(const ClientInfoV2Ext* ext, int v2Supported) {
    auto lock = lockState();
    if (ext != nullptr) {
        state().config.clientInfoV2 = *ext;
    }
    state().config.v2Supported = v2Supported != 0;
}

void WINAPI wfsim_set_fault(int fault, int count) {
    if (fault <= 0 || fault >= WFSIM_FAULT_COUNT_) {
        return;
    }
    auto lock = lockState();
    state().faults[fault] = count;
    state().changed.notify_all();
}

void WINAPI wfsim_queue_raw_answer(const void* bytes, DWORD length) {
    auto lock = lockState();
    const uint8_t* first = static_cast<const uint8_t*>(bytes);
    state().rawAnswers.emplace_back(first, first + (bytes != nullptr ? length : 0));
    state().changed.notify_all();
}

void WINAPI wfsim_get_counters(WfsimCounters* counters) {
    if (counters == nullptr) {
        return;
    }
    auto lock = lockState();
    *counters = state().counters;
}

LONG WINAPI wfsim_outstanding(void) {
    auto lock = lockState();
    const SimState& s = state();
    return static_cast<LONG>(s.buffers.size() + s.channels.size() + s.smcHandles.size());
}

DWORD WINAPI wfsim_read_sizes(DWORD* sizes, DWORD capacity) {
    auto lock = lockState();
    const std::vector<DWORD>& log = state().readSizes;
    for (DWORD i = 0; sizes != nullptr && i < capacity && i < log.size(); ++i) {
        sizes[i] = log[i];
    }
    return static_cast<DWORD>(log.size());
}

DWORD WINAPI wfsim_last_request(void* bytes, DWORD capacity) {
    auto lock = lockState();
    const Bytes& request = state().lastRequest;
    if (bytes != nullptr && !request.empty()) {
        std::memcpy(bytes, request.data(), std::min<size_t>(capacity, request.size()));
    }
    return static_cast<DWORD>(request.size());
}

}  // extern "C"
