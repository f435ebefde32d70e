#include "sim_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_scenario.h"

namespace wfsim {

namespace {

template <size_t N>
void setText(char (&field)[N], const char* text) {
    std::snprintf(field, N, "%s", text);
}

}  // namespace

SimState& state() {
    static SimState instance;
    return instance;
}

std::unique_lock<std::mutex> lockState() {
    SimState& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.initialized) {
        s.initialized = true;
        applyDefaults(s.config);
        const wchar_t* path = _wgetenv(L"WFSIM_SCENARIO");
        if (path != nullptr && *path != L'\0') {
            loadScenarioFile(s, path);
        }
    }
    return lock;
}

ClientInfo defaultClientInfo() {
    ClientInfo info;
    std::memset(&info, 0, sizeof info);
    // The counterpart does not measure these two; the server fills them in.
    info.latency = -1;
    info.readFailurePercent = -1;
    setText(info.userName, "anna.keller");
    setText(info.computerName, "WS-KELLER-07");
    setText(info.clientText1, "Windows 11 Enterprise");
    setText(info.clientText2, "10.0.22631");
    setText(info.clientText3, "Citrix Workspace app 2309");
    setText(info.clientText4, "C:\\Program Files (x86)\\Citrix\\ICA Client");
    info.clientReal1 = 23.09;
    setText(info.clientText5, "x64");
    setText(info.clientText6, "Intel(R) Core(TM) i7-1185G7 @ 3.00GHz");
    setText(info.clientText7, "en-US");
    setText(info.clientText8, "Europe/Berlin");
    info.clientValue1 = 8;
    setText(info.clientText9, "corp.example.com");
    info.clientValue2 = 16384;
    setText(info.clientText10, "10.20.30.40");
    setText(info.clientText11, "00-1A-2B-3C-4D-5E");
    setText(info.clientText12, "1920x1080");
    setText(info.clientText13, "Wi-Fi");
    info.clientValue3 = 2;
    info.clientValue4 = 96;
    info.clientValue5 = 1;
    setText(info.clientText14, "23.9.0.24");
    setText(info.clientText15, "HDX");
    info.clientValue6 = 0;
    setText(info.clientText16, "OXLENS client 1.4.2");
    return info;
}

ClientInfoV2Ext defaultClientInfoV2() {
    ClientInfoV2Ext ext;
    std::memset(&ext, 0, sizeof ext);
    setText(ext.extText1, "v2");
    ext.extValue1 = 2;
    ext.extValue2 = 4;
    setText(ext.extText2, "Dell Latitude 7420");
    setText(ext.extText3, "BIOS 1.31.0");
    ext.extValue3 = 100;
    return ext;
}

void applyDefaults(SessionConfig& config) {
    config.sessionIdRaw = 2;
    config.connectState = 0;  // WFActive
    config.vdaMajor = 7;
    config.vdaMinor = 41;
    config.vdaBuild = 1000;
    config.platformId = 2;
    config.csd = L"Service Pack 1";
    config.channels = {L"CTXCAM", L"OXLENS", L"CTXTW"};
    config.roundTripMs = 20;
    config.jitterMs = 2;
    config.clientInfo = defaultClientInfo();
    config.clientInfoV2 = defaultClientInfoV2();
    config.v2Supported = true;
    config.readWaitMaxMs = 0;
}

bool takeFault(SimState& s, WfsimFault fault) {
    int& armed = s.faults[fault];
    if (armed == 0) {
        return false;
    }
    if (armed > 0) {
        --armed;
    }
    return true;
}

bool equalsIgnoreCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i] >= L'a' && a[i] <= L'z' ? a[i] - 32 : a[i];
        wchar_t y = b[i] >= L'a' && b[i] <= L'z' ? b[i] - 32 : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

bool channelOffered(const SessionConfig& config) {
    for (const std::wstring& name : config.channels) {
        if (equalsIgnoreCase(name, L"OXLENS")) {
            return true;
        }
    }
    return false;
}

bool sessionConnected(const SessionConfig& config) {
    return config.connectState == 0 || config.connectState == 1;
}

void endChannelConnections(SimState& s, bool takenOver) {
    if (!takenOver && sessionConnected(s.config)) {
        return;
    }
    for (auto& channel : s.channels) {
        channel.second.connectionLost = true;
        channel.second.answers.clear();
    }
}

HANDLE newHandle(SimState& s) {
    s.nextHandle += 0x10;
    return reinterpret_cast<HANDLE>(s.nextHandle);
}

void* allocateBuffer(SimState& s, size_t size) {
    constexpr size_t kPage = 4096;
    const size_t committed = (std::max<size_t>(size, 1) + kPage - 1) / kPage * kPage;
    char* reservation = static_cast<char*>(VirtualAlloc(nullptr, committed + kPage, MEM_RESERVE, PAGE_NOACCESS));
    if (reservation == nullptr) {
        return nullptr;
    }
    if (VirtualAlloc(reservation, committed, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        VirtualFree(reservation, 0, MEM_RELEASE);
        return nullptr;
    }
    void* buffer = reservation + committed - size;
    s.buffers[buffer] = reservation;
    ++s.counters.buffersAllocated;
    return buffer;
}

bool releaseBuffer(SimState& s, void* buffer) {
    auto found = s.buffers.find(buffer);
    if (found == s.buffers.end()) {
        return false;
    }
    VirtualFree(found->second, 0, MEM_RELEASE);
    s.buffers.erase(found);
    ++s.counters.buffersFreed;
    return true;
}

std::wstring utf8ToWide(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    }
    return wide;
}

}  // namespace wfsim
