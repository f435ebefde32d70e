#pragma once
// Helpers for the tests of the substitute WFAPI.DLL: its entry points are reached the way the
// product reaches them (GetProcAddress on the loaded WFAPI.DLL), its control API directly.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "citrix/wfapi_types.h"
#include "protocol/oxlens_packet.h"
#include "wfsim_control.h"

struct WfApi {
#define WFSIM_TEST_MEMBER(name, logName) name##_t* name = nullptr;
    WFAPI_ENTRY_POINTS(WFSIM_TEST_MEMBER)
#undef WFSIM_TEST_MEMBER
};

inline const WfApi& wf() {
    static const WfApi api = [] {
        WfApi table;
        HMODULE module = GetModuleHandleW(L"WFAPI.DLL");
#define WFSIM_TEST_RESOLVE(name, logName) \
    table.name = reinterpret_cast<name##_t*>(reinterpret_cast<void*>(GetProcAddress(module, #name)));
        WFAPI_ENTRY_POINTS(WFSIM_TEST_RESOLVE)
#undef WFSIM_TEST_RESOLVE
        return table;
    }();
    return api;
}

inline long long elapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

inline OXLENS_PACKET_HEADER headerOf(const std::vector<uint8_t>& packet) {
    OXLENS_PACKET_HEADER header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(&header, packet.data(), packet.size() < sizeof header ? packet.size() : sizeof header);
    return header;
}

inline std::vector<uint8_t> makeRequest(uint16_t type, uint16_t length, uint16_t seqNum) {
    std::vector<uint8_t> packet(length, 0);
    OXLENS_PACKET_HEADER header;
    std::memset(&header, 0, sizeof header);
    header.uSign = OXLENS_SIGNATURE;
    header.uType = type;
    header.uLength = length;
    header.uSeqNum = seqNum;
    std::memcpy(packet.data(), &header, sizeof header);
    return packet;
}

struct ReadResult {
    BOOL ok = FALSE;
    DWORD error = 0;
    std::vector<uint8_t> bytes;
    long long ms = 0;
};

inline BOOL writeRequest(HANDLE channel, std::vector<uint8_t> request, ULONG* written = nullptr) {
    ULONG count = 0;
    BOOL ok = wf().WFVirtualChannelWrite(channel, reinterpret_cast<PCHAR>(request.data()),
                                         static_cast<ULONG>(request.size()), &count);
    if (written != nullptr) *written = count;
    return ok;
}

// Reads into a buffer of the given size that sits inside guard bytes, and checks that the
// read wrote nothing outside it.
inline ReadResult readAnswer(HANDLE channel, ULONG timeoutMs, ULONG bufferSize = OXLENS_PACKET_SIZE) {
    std::vector<uint8_t> area(bufferSize + 64, 0xEE);
    ReadResult result;
    ULONG count = 0xDEAD;
    auto start = std::chrono::steady_clock::now();
    result.ok = wf().WFVirtualChannelRead(channel, timeoutMs, reinterpret_cast<PCHAR>(area.data() + 32),
                                          bufferSize, &count);
    result.error = GetLastError();
    result.ms = elapsedMs(start);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(area[i], 0xEE) << "read wrote before its buffer";
        EXPECT_EQ(area[32 + bufferSize + i], 0xEE) << "read wrote past its buffer";
    }
    if (result.ok) {
        EXPECT_LE(count, bufferSize);
        result.bytes.assign(area.begin() + 32, area.begin() + 32 + (count <= bufferSize ? count : bufferSize));
    }
    return result;
}

inline HANDLE openOxlens() {
    char name[] = "OXLENS";
    return wf().WFVirtualChannelOpen(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, name);
}

// Every test starts from the healthy default session with nothing outstanding.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(GetModuleHandleW(L"WFAPI.DLL"), nullptr);
        wfsim_reset();
        ASSERT_EQ(wfsim_outstanding(), 0) << "an earlier test leaked";
    }
    static WfsimCounters counters() {
        WfsimCounters c;
        wfsim_get_counters(&c);
        return c;
    }
};
