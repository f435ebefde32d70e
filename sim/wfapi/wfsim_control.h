#pragma once
// Control API of the substitute WFAPI.DLL (test and demo equipment, not product).
// A test process links the substitute's import library, so the product's LoadLibraryW of the
// same name (WFAPI.DLL, or WFAPI64.DLL in the x86_64 build) finds the very module instance the
// test configures. All functions are thread-safe.
#include <windows.h>

#include "plx_srv_citrix.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(WFSIM_BUILDING)
// Exported through the generated module definition file, so a build variant can leave out
// any single entry point and the i686 names stay undecorated.
#define WFSIM_API
#else
#define WFSIM_API __declspec(dllimport)
#endif

// Faults, each armed for the next N matching calls (count > 0), for good (count < 0),
// or cleared (count 0).
enum WfsimFault {
    WFSIM_FAULT_SESSION_ID_QUERY_FAILS = 1,   // WFQuerySessionInformationW(WFSessionId) returns FALSE
    WFSIM_FAULT_SESSION_ID_ZERO,              // ... succeeds with id 0
    WFSIM_FAULT_STATE_QUERY_FAILS,            // WFQuerySessionInformationW(WFConnectState) returns FALSE
    WFSIM_FAULT_VERSION_QUERY_FAILS,          // WFQuerySessionInformationW(WFVersion) returns FALSE
    WFSIM_FAULT_SMC_OPEN_FAILS,               // WFSmcOpenSessionHandle: nonzero status, no handle
    WFSIM_FAULT_SMC_OPEN_NULL_HANDLE,         // WFSmcOpenSessionHandle: status 0, null handle
    WFSIM_FAULT_CHANNEL_LIST_FAILS,           // WFSmcGetSessionVirtualChannelNames: nonzero status
    WFSIM_FAULT_CHANNEL_LIST_EMPTY,           // ... count 0
    WFSIM_FAULT_CHANNEL_LIST_OTHER_CASE,      // ... names "OxLens" instead of "OXLENS"
    WFSIM_FAULT_CHANNEL_LIST_OVERFLOW,        // ... reports more entries than the buffer holds
    WFSIM_FAULT_CHANNEL_VANISHED,             // ... the list no longer names the channel
    WFSIM_FAULT_CHANNEL_OPEN_FAILS,           // WFVirtualChannelOpen returns null
    WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS,      // WFVirtualChannelQuery returns FALSE
    WFSIM_FAULT_WRITE_FAILS,                  // WFVirtualChannelWrite returns FALSE
    WFSIM_FAULT_WRITE_SHORT,                  // ... reports fewer bytes written
    WFSIM_FAULT_READ_FAILS,                   // WFVirtualChannelRead returns FALSE at once
    WFSIM_FAULT_READ_TIMEOUT,                 // ... waits its whole time-out, then FALSE
    WFSIM_FAULT_READ_ZERO_BYTES,              // ... TRUE with 0 bytes
    WFSIM_FAULT_STALE_ANSWERS,                // two answers with an old uSeqNum come first
    WFSIM_FAULT_SWAPPED_SIGNATURE,            // answers carry 0x5049
    WFSIM_FAULT_ANSWER_SHORTER,               // answer delivers fewer bytes than its uLength
    WFSIM_FAULT_ANSWER_LONGER,                // answer delivers more bytes than its uLength
    WFSIM_FAULT_LENGTH_BEYOND_BUFFER,         // answer announces a uLength larger than the read buffer
    WFSIM_FAULT_TEXT_WITHOUT_NUL,             // every text field of the payload filled to the brim
    WFSIM_FAULT_EMPTY_NAMES,                  // userName and computerName empty
    WFSIM_FAULT_WRONG_ANSWER_TYPE,            // data answers carry another uType
    WFSIM_FAULT_NO_ANSWER,                    // the counterpart ignores requests (scripted answers still come)
    WFSIM_FAULT_DRAIN_READ_FAILS,             // stale answers come first and the 0 ms read draining them fails
    WFSIM_FAULT_CHANNEL_NAME_NOT_UTF16,       // the channel list has an entry U+D83D 'A' (a lone surrogate) before OXLENS
    WFSIM_FAULT_VERSION_ANSWER_SHORT,         // the WFVersion answer is cut to 12 bytes, and its reported size with it
    WFSIM_FAULT_QUERY_NULL_BUFFER,            // WFQuerySessionInformationW (any class) returns TRUE with no buffer
    WFSIM_FAULT_DATA_READ_FAILS,              // reads after a data request return FALSE at once (pings pass)
    WFSIM_FAULT_COUNT_                        // number of fault kinds + 1
};

// Entry points, for per-call accounting.
enum WfsimEntry {
    WFSIM_WFFreeMemory = 0,
    WFSIM_WFQuerySessionInformationW,
    WFSIM_WFVirtualChannelOpen,
    WFSIM_WFVirtualChannelClose,
    WFSIM_WFVirtualChannelQuery,
    WFSIM_WFVirtualChannelWrite,
    WFSIM_WFVirtualChannelRead,
    WFSIM_WFWaitSystemEvent,
    WFSIM_WFSmcOpenSessionHandle,
    WFSIM_WFSmcCloseSessionHandle,
    WFSIM_WFSmcGetSessionLatencyData,
    WFSIM_WFSmcGetSessionVirtualChannelNames,
    WFSIM_WFSmcGetSessionDataV2,
    WFSIM_WFSmcGetServerData,
    WFSIM_ENTRY_COUNT
};

typedef struct WfsimCounters {
    LONG buffersAllocated;  // handed out by WFQuerySessionInformationW / WFVirtualChannelQuery
    LONG buffersFreed;      // released through WFFreeMemory
    LONG badFrees;          // WFFreeMemory of a pointer it never handed out (or freed twice)
    LONG channelsOpened;
    LONG channelsClosed;
    LONG badChannelCloses;  // close of an unknown or already closed channel
    LONG smcOpened;
    LONG smcClosed;
    LONG badSmcCloses;
    // Reads and writes on a channel handle that is closed (or was never opened), or that was
    // opened before a disconnect and is used once the session is connected again: traffic meant
    // for an endpoint that is gone. Such calls fail.
    LONG staleChannelTraffic;
    LONG writes;
    LONG reads;
    LONG maxReadSize;          // largest buffer size any read asked for
    LONG pingAnswers;          // type-1 answers queued
    LONG dataAnswers;          // type-3 answers queued
    LONG dataV2Answers;        // type-4 answers queued
    LONG answersRead;          // counterpart answers a read took (all queued ones read: between exchanges)
    LONG pingReadsWaiting;     // reads blocked at this moment, waiting for the answer to a ping
    LONG calls[WFSIM_ENTRY_COUNT];
} WfsimCounters;

// Every buffer the substitute hands out ends flush against an inaccessible page: a caller
// that reads past the size it was given faults at once.

// Back to a healthy session: session id 2, state WFActive, VDA 7.41 build 1000, channels
// "CTXCAM", "OXLENS", "CTXTW", about 20 ms round trip, plausible client data with version-2
// support; counters zeroed, faults cleared, read log and scripted answers emptied. Handles and
// buffers handed out earlier stay tracked (wfsim_outstanding still counts them until released).
// Failing entry points set a last-error code: ERROR_ACCESS_DENIED (queries, session handles),
// ERROR_GEN_FAILURE (channel faults), WAIT_TIMEOUT (a read that waited in vain),
// ERROR_VC_DISCONNECTED (channel traffic while the session is not active/connected or the
// client no longer lists OXLENS, or on a channel opened before a disconnect, also after the
// reconnect, or before a takeover), ERROR_INVALID_HANDLE (unknown handles).
WFSIM_API void WINAPI wfsim_reset(void);
// Loads a scenario file (key = value lines) over the current configuration; returns 0, the
// number of the first bad line (all good lines are still applied), or -1 if it cannot be read.
WFSIM_API int WINAPI wfsim_load_scenario(const wchar_t* path);

WFSIM_API void WINAPI wfsim_set_session_id_raw(DWORD firstWord);  // first 32 bits of the id buffer
WFSIM_API void WINAPI wfsim_set_connect_state(DWORD state);
WFSIM_API void WINAPI wfsim_set_vda_version(DWORD major, DWORD minor, DWORD build, DWORD platform,
                                            const wchar_t* csd);
// Channel list in order; count may be 0.
WFSIM_API void WINAPI wfsim_set_channels(const wchar_t* const* names, DWORD count);
// Another endpoint takes the session over in one step: every open channel loses its connection
// (as after a disconnect, also later) while the connect state stays as it is, and the client
// data, round trip and channel list become the new endpoint's.
WFSIM_API void WINAPI wfsim_take_over(const ClientInfo* info, DWORD roundTripMs, const wchar_t* const* names,
                                      DWORD count);
// Round trip (an answer is readable this long after its request was written) and jitter (+/-).
WFSIM_API void WINAPI wfsim_set_latency(DWORD roundTripMs, DWORD jitterMs);
// Payloads the counterpart sends; v2Supported 0 makes it an old client that never answers type 4.
WFSIM_API void WINAPI wfsim_set_client_info(const ClientInfo* info);
WFSIM_API void WINAPI wfsim_set_client_info_v2(const ClientInfoV2Ext* ext, int v2Supported);
WFSIM_API void WINAPI wfsim_set_fault(int fault, int count);

// The next reads deliver these bytes as they are, one scripted answer per read, before the
// counterpart's own answers; a read whose buffer is smaller gets the answer cut to its size.
WFSIM_API void WINAPI wfsim_queue_raw_answer(const void* bytes, DWORD length);

WFSIM_API void WINAPI wfsim_get_counters(WfsimCounters* counters);
// Buffers, channels and session handles handed out and not yet released.
WFSIM_API LONG WINAPI wfsim_outstanding(void);
// Sizes requested by the reads since the last reset, oldest first; returns how many there were.
WFSIM_API DWORD WINAPI wfsim_read_sizes(DWORD* sizes, DWORD capacity);
// The last request packet written (up to capacity bytes); returns its length.
WFSIM_API DWORD WINAPI wfsim_last_request(void* bytes, DWORD capacity);

#ifdef __cplusplus
}
#endif
