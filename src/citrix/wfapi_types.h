#pragma once
// Declarations of the Citrix WinFrame API (WFAPI.DLL) entry points that this library
// loads at run time, and the values it passes to them. Shared by the loader's table and by
// any library that stands in for WFAPI.DLL, so both agree on every function type.
#include <windows.h>

#include <cstddef>

// The null server handle designates the current server.
#define WF_CURRENT_SERVER_HANDLE (static_cast<HANDLE>(nullptr))
// Session id that designates the caller's own session.
#define WF_CURRENT_SESSION (static_cast<DWORD>(0xFFFFFFFF))

// Information classes of WFQuerySessionInformationW.
enum WF_INFO_CLASS : int {
    WFVersion = 0,
    WFSessionId = 4,
    WFConnectState = 8,
};

// Query classes of WFVirtualChannelQuery.
enum WF_VIRTUAL_CLASS : int {
    WFVirtualClientData = 0,
};

// Connect states answered for WFConnectState.
enum WF_CONNECTSTATE_CLASS : int {
    WFActive = 0,
    WFConnected = 1,
    WFConnectQuery = 2,
    WFShadow = 3,
    WFDisconnected = 4,
    WFIdle = 5,
    WFListen = 6,
    WFReset = 7,
    WFDown = 8,
    WFInit = 9,
};

// Buffer returned for the WFVersion class.
struct WFVersionInfo {
    DWORD reserved;
    DWORD majorVersion;
    DWORD minorVersion;
    DWORD buildNumber;
    DWORD platformId;
    WCHAR csdVersion[1];  // zero-terminated UTF-16, as long as the buffer
};
static_assert(offsetof(WFVersionInfo, majorVersion) == 4, "WFVersionInfo layout");
static_assert(offsetof(WFVersionInfo, platformId) == 16, "WFVersionInfo layout");
static_assert(offsetof(WFVersionInfo, csdVersion) == 20, "WFVersionInfo layout");

// One entry of the session's virtual channel list: the channel name is a zero-terminated
// UTF-16 string from byte 8; the first 8 bytes are not ours to read.
constexpr size_t WF_CHANNEL_ENTRY_SIZE = 24;
constexpr size_t WF_CHANNEL_NAME_OFFSET = 8;
constexpr size_t WF_CHANNEL_LIST_BUFFER_SIZE = 6144;
constexpr size_t WF_CHANNEL_LIST_MAX_ENTRIES = WF_CHANNEL_LIST_BUFFER_SIZE / WF_CHANNEL_ENTRY_SIZE;
static_assert(WF_CHANNEL_LIST_MAX_ENTRIES == 256, "channel list buffer holds 256 entries");

// Client module data of the virtual channel; opaque to this library.
struct _VDOXLENS_C2H {
    BYTE data[1];
};

// Function types of the fourteen entry points (Windows API calling convention).
typedef VOID(WINAPI WFFreeMemory_t)(PVOID memory);
typedef BOOL(WINAPI WFQuerySessionInformationW_t)(HANDLE server, DWORD sessionId, WF_INFO_CLASS infoClass,
                                                   LPWSTR* buffer, DWORD* bytesReturned);
typedef HANDLE(WINAPI WFVirtualChannelOpen_t)(HANDLE server, DWORD sessionId, LPSTR virtualName);
typedef BOOL(WINAPI WFVirtualChannelClose_t)(HANDLE channel);
typedef BOOL(WINAPI WFVirtualChannelQuery_t)(HANDLE channel, WF_VIRTUAL_CLASS virtualClass, PVOID* buffer,
                                              DWORD* bytesReturned);
typedef BOOL(WINAPI WFVirtualChannelWrite_t)(HANDLE channel, PCHAR buffer, ULONG length, PULONG bytesWritten);
typedef BOOL(WINAPI WFVirtualChannelRead_t)(HANDLE channel, ULONG timeoutMs, PCHAR buffer, ULONG bufferSize,
                                             PULONG bytesRead);
typedef BOOL(WINAPI WFWaitSystemEvent_t)(HANDLE server, DWORD eventMask, DWORD* eventFlags);
typedef DWORD(WINAPI WFSmcOpenSessionHandle_t)(HANDLE server, DWORD sessionId, HANDLE* session);
typedef DWORD(WINAPI WFSmcCloseSessionHandle_t)(HANDLE server, HANDLE session);
typedef DWORD(WINAPI WFSmcGetSessionLatencyData_t)(HANDLE server, HANDLE session, PVOID data);
typedef DWORD(WINAPI WFSmcGetSessionVirtualChannelNames_t)(HANDLE server, HANDLE session, DWORD bufferSize,
                                                            PVOID buffer, DWORD* count);
typedef DWORD(WINAPI WFSmcGetSessionDataV2_t)(HANDLE server, HANDLE session, PVOID data);
typedef DWORD(WINAPI WFSmcGetServerData_t)(HANDLE server, PVOID data);

static_assert(sizeof(ULONG) == 4 && sizeof(DWORD) == 4, "WFAPI counts are 32-bit");

// The entry points in the order they are resolved: X(exported name, name in log lines).
// Only WFQuerySessionInformationW is logged under another name (without its W).
#define WFAPI_ENTRY_POINTS(X)                                                   \
    X(WFFreeMemory, "WFFreeMemory")                                             \
    X(WFQuerySessionInformationW, "WFQuerySessionInformation")                  \
    X(WFVirtualChannelOpen, "WFVirtualChannelOpen")                             \
    X(WFVirtualChannelClose, "WFVirtualChannelClose")                           \
    X(WFVirtualChannelQuery, "WFVirtualChannelQuery")                           \
    X(WFVirtualChannelWrite, "WFVirtualChannelWrite")                           \
    X(WFVirtualChannelRead, "WFVirtualChannelRead")                             \
    X(WFWaitSystemEvent, "WFWaitSystemEvent")                                   \
    X(WFSmcOpenSessionHandle, "WFSmcOpenSessionHandle")                         \
    X(WFSmcCloseSessionHandle, "WFSmcCloseSessionHandle")                       \
    X(WFSmcGetSessionLatencyData, "WFSmcGetSessionLatencyData")                 \
    X(WFSmcGetSessionVirtualChannelNames, "WFSmcGetSessionVirtualChannelNames") \
    X(WFSmcGetSessionDataV2, "WFSmcGetSessionDataV2")                           \
    X(WFSmcGetServerData, "WFSmcGetServerData")
