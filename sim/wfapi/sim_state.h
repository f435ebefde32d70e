#pragma once
// Process-wide state of the substitute WFAPI.DLL: the scripted session, the counterpart's
// pending answers, armed faults and the accounting. One mutex guards all of it; the
// condition variable wakes blocked channel reads when anything changes.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "plx_srv_citrix.h"
#include "wfsim_control.h"

namespace wfsim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Name of the one virtual channel that has a counterpart behind it.
constexpr char kOxlensChannel[] = "OXLENS";

struct SessionConfig {
    DWORD sessionIdRaw = 0;  // first 32-bit word of the WFSessionId buffer
    DWORD connectState = 0;
    DWORD vdaMajor = 0;
    DWORD vdaMinor = 0;
    DWORD vdaBuild = 0;
    DWORD platformId = 0;
    std::wstring csd;
    std::vector<std::wstring> channels;
    DWORD roundTripMs = 0;
    DWORD jitterMs = 0;
    ClientInfo clientInfo{};
    ClientInfoV2Ext clientInfoV2{};
    bool v2Supported = true;
    DWORD readWaitMaxMs = 0;  // a read that waits gives up after this long, as if timed out (0: never)
};

struct PendingAnswer {
    Clock::time_point readyAt;
    Bytes bytes;
};

struct ChannelState {
    std::deque<PendingAnswer> answers;  // in the order they were produced
    // The session was disconnected while the channel was open: the connection behind the handle
    // has ended for good, and a reconnect needs a channel opened anew.
    bool connectionLost = false;
};

struct SimState {
    std::mutex mutex;
    std::condition_variable changed;
    bool initialized = false;

    SessionConfig config;
    int faults[WFSIM_FAULT_COUNT_] = {};
    std::deque<Bytes> rawAnswers;

    WfsimCounters counters{};
    std::vector<DWORD> readSizes;
    Bytes lastRequest;

    std::map<void*, void*> buffers;            // handed out, not yet freed: buffer -> its reservation
    std::map<HANDLE, ChannelState> channels;   // open channels
    std::set<HANDLE> smcHandles;               // open session-monitoring handles
    uintptr_t nextHandle = 0x5F100000;         // handles are never reused
    std::mt19937 random{20240601u};
};

SimState& state();

// Locks the state. The first lock in the process sets up the healthy default session and
// then applies the scenario file named by WFSIM_SCENARIO, if any (never from DllMain).
std::unique_lock<std::mutex> lockState();

// The healthy default session.
void applyDefaults(SessionConfig& config);
ClientInfo defaultClientInfo();
ClientInfoV2Ext defaultClientInfoV2();

// Consumes one arming of a fault; true if the fault applies to this call.
bool takeFault(SimState& s, WfsimFault fault);

// The client offers OXLENS (in any letter case) and the session is active or connected.
bool channelOffered(const SessionConfig& config);
bool sessionConnected(const SessionConfig& config);
// Ends the connection of every open channel: after a change of the connect state when the
// session is no longer active or connected, and always when another endpoint takes it over.
void endChannelConnections(SimState& s, bool takenOver = false);

HANDLE newHandle(SimState& s);
// A zero-filled buffer of `size` bytes that ends flush against an inaccessible page, so a
// caller that reads past what it was handed faults at once. Null when out of memory.
void* allocateBuffer(SimState& s, size_t size);
// Releases a buffer handed out by allocateBuffer; false for any other pointer.
bool releaseBuffer(SimState& s, void* buffer);

// ASCII-only case-insensitive comparison, as channel names are ASCII.
bool equalsIgnoreCase(const std::wstring& a, const std::wstring& b);
std::wstring utf8ToWide(const std::string& text);

}  // namespace wfsim
