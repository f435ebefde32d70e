/*
 * plx_srv_citrix32.dll and plx_srv_citrix64.dll - public interface for host agents.
 *
 * The host process's bitness picks the DLL: a 32-bit host loads plx_srv_citrix32.dll, which
 * loads the WinFrame API WFAPI.DLL; a 64-bit host loads plx_srv_citrix64.dll, which loads
 * WFAPI64.DLL. Both have the same exports, records, result codes, log and registry settings.
 * Calling convention: __cdecl on 32-bit Windows (exports and callback); on 64-bit Windows
 * the one x64 convention (PLX_CDECL expands to nothing there).
 *
 * The host calls icasrv_get_remote_info (version-1 record) or icasrv_get_remote_info_v2
 * (version-2 record) from any thread. The first call returns ICASRV_STARTED (-6) and
 * starts the background polling; later calls hand the current record to the callback
 * and return ICASRV_OK (0). icasrv_cleanup stops everything; a later get starts afresh.
 *
 * The callback runs on the caller's thread while the library holds its record lock:
 * copy what you need and return quickly, never call back into the library from it, and let
 * no exception leave it. If one does, the library's own frame around the callback takes
 * structured exceptions of error severity (codes 0xC0000000 and up): an MSVC host's C++ throw
 * (0xE06D7363), an access violation, any RaiseException with an error code. On both
 * architectures the host's frames are unwound (destructors, __finally), the host's
 * floating-point control words come back (x87 stack empty), the library's locks are released
 * and the call returns ICASRV_EXCEPTION. It lets pass, to the host's own handlers, its
 * unhandled-exception filter or a debugger: breakpoints, single steps, guard pages, debug
 * prints, Ctrl+C and Ctrl+Break, thread naming (0x406D1388), and the errors after which no
 * process should go on: assertion failure (0xC0000420), possible deadlock (0xC0000194), heap
 * corruption (0xC0000374), stack-buffer overrun (0xC0000409), fail-fast (0xC0000602) and stack
 * overflow (0xC00000FD); so is anything raised while it unwinds the host's frames. Do not call
 * the library again in a process that survived one of those: its locks may still be taken.
 * A MinGW host's C++ exception is caught on x86_64 only; on 32-bit it cannot cross into the
 * library and terminates the host.
 * The record pointer is valid only during the callback. Texts may fill
 * their arrays without a terminating NUL: read each within its array (strnlen, sizeof).
 * Call icasrv_cleanup before unloading the library.
 *
 * A record describes the endpoint the user last sat at. While the session is disconnected the
 * records keep the last data seen (the names, values and latency of the endpoint that left);
 * when the user reconnects, also from another endpoint and also by a takeover that Citrix completes
 * between two polling cycles, that endpoint's data replaces it within one polling cycle (about
 * 3 s) and one exchange with its client. After such a reconnect, latency and readFailurePercent are
 * measured afresh on the new channel (a deliberate exception to smoothing them over the polling
 * thread's life): latency is the new endpoint's first round trip, readFailurePercent starts at 0.
 *
 * Usable from C (C11) and C++. All layouts are little-endian with natural alignment.
 */
#ifndef PLX_SRV_CITRIX_H
#define PLX_SRV_CITRIX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define PLX_CDECL __cdecl
#else
#define PLX_CDECL
#endif

/* The file name of the plug-in for a host built like this one, for LoadLibraryW. */
#ifdef _WIN64
#define PLX_SRV_CITRIX_DLL_NAME L"plx_srv_citrix64.dll"
#else
#define PLX_SRV_CITRIX_DLL_NAME L"plx_srv_citrix32.dll"
#endif

/* Result codes of the get functions. */
#define ICASRV_OK 0           /* polling runs; the callback (if any) got the current record */
#define ICASRV_STARTED (-6)   /* polling was not running; records reset, polling started */
#define ICASRV_NO_WFAPI (-10) /* WFAPI.DLL (64-bit: WFAPI64.DLL) not loadable; nothing was done */
#define ICASRV_EXCEPTION (-3) /* an internal error was caught and logged */
/* Result codes of icasrv_cleanup. */
#define ICASRV_CLEANUP_OK 0
#define ICASRV_CLEANUP_FAILED (-2)

/* Version-1 platform information: 4144 bytes, alignment 8.
 * Texts are NUL-terminated 8-bit strings as the client-side counterpart sent them;
 * integers default to -1 and clientReal1 to -1.0 until data arrives. */
typedef struct ClientInfo {
    int32_t latency;          /* smoothed channel round trip in ms, measured by the library */
    char userName[513];       /* the client's user name */
    char computerName[16];    /* the client's computer name */
    char clientText1[65];
    char clientText2[65];
    char clientText3[1025];
    char clientText4[1025];
    /* 7 padding bytes */
    double clientReal1;
    char clientText5[33];
    char clientText6[257];
    char clientText7[65];
    char clientText8[257];
    int32_t clientValue1;
    char clientText9[257];
    /* 3 padding bytes */
    int32_t clientValue2;
    char clientText10[33];
    char clientText11[25];
    char clientText12[33];
    char clientText13[33];
    int32_t clientValue3;
    int32_t clientValue4;
    int32_t readFailurePercent; /* share of failed channel reads, 0..100, measured by the library */
    int32_t clientValue5;
    char clientText14[65];
    char clientText15[65];
    /* 2 padding bytes */
    int32_t clientValue6;
    char clientText16[257];
    /* 3 padding bytes */
} ClientInfo;

/* Version-2 extension: 1076 bytes, alignment 4. */
typedef struct ClientInfoV2Ext {
    char extText1[33];
    /* 3 padding bytes */
    int32_t extValue1;
    int32_t extValue2;
    char extText2[513];
    char extText3[513];
    /* 2 padding bytes */
    int32_t extValue3;
} ClientInfoV2Ext;

/* Version-2 record: the version-1 data of the same polling cycle plus the extension.
 * 5224 bytes, alignment 8 (4 padding bytes at the end). */
typedef struct ClientInfoV2 {
    ClientInfo base;
    ClientInfoV2Ext ext;
} ClientInfoV2;

/* The callback receives a ClientInfo* (version 1) or a ClientInfoV2* (version 2). */
typedef void(PLX_CDECL *RemoteInfoCallback)(void *record);

/* Exports (undecorated names; cdecl on 32-bit Windows). reserved is passed on and never read. */
typedef int32_t(PLX_CDECL *icasrv_get_remote_info_fn)(RemoteInfoCallback callback, void *reserved);
typedef int32_t(PLX_CDECL *icasrv_get_remote_info_v2_fn)(RemoteInfoCallback callback, void *reserved);
typedef int32_t(PLX_CDECL *icasrv_cleanup_fn)(void);

int32_t PLX_CDECL icasrv_get_remote_info(RemoteInfoCallback callback, void *reserved);
int32_t PLX_CDECL icasrv_get_remote_info_v2(RemoteInfoCallback callback, void *reserved);
int32_t PLX_CDECL icasrv_cleanup(void);

/* The layouts are a binary interface: any change here must break the build. */
#ifdef __cplusplus
#define PLX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#define PLX_ALIGNOF(type) alignof(type)
#else
#define PLX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#define PLX_ALIGNOF(type) _Alignof(type)
#endif
#define PLX_CHECK_FIELD(type, field, offset, size)                                         \
    PLX_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " offset");       \
    PLX_STATIC_ASSERT(sizeof(((type *)0)->field) == (size), #type "." #field " size")

PLX_STATIC_ASSERT(sizeof(ClientInfo) == 4144, "ClientInfo size");
PLX_STATIC_ASSERT(PLX_ALIGNOF(ClientInfo) == 8, "ClientInfo alignment");
PLX_CHECK_FIELD(ClientInfo, latency, 0, 4);
PLX_CHECK_FIELD(ClientInfo, userName, 4, 513);
PLX_CHECK_FIELD(ClientInfo, computerName, 517, 16);
PLX_CHECK_FIELD(ClientInfo, clientText1, 533, 65);
PLX_CHECK_FIELD(ClientInfo, clientText2, 598, 65);
PLX_CHECK_FIELD(ClientInfo, clientText3, 663, 1025);
PLX_CHECK_FIELD(ClientInfo, clientText4, 1688, 1025);
PLX_CHECK_FIELD(ClientInfo, clientReal1, 2720, 8);
PLX_CHECK_FIELD(ClientInfo, clientText5, 2728, 33);
PLX_CHECK_FIELD(ClientInfo, clientText6, 2761, 257);
PLX_CHECK_FIELD(ClientInfo, clientText7, 3018, 65);
PLX_CHECK_FIELD(ClientInfo, clientText8, 3083, 257);
PLX_CHECK_FIELD(ClientInfo, clientValue1, 3340, 4);
PLX_CHECK_FIELD(ClientInfo, clientText9, 3344, 257);
PLX_CHECK_FIELD(ClientInfo, clientValue2, 3604, 4);
PLX_CHECK_FIELD(ClientInfo, clientText10, 3608, 33);
PLX_CHECK_FIELD(ClientInfo, clientText11, 3641, 25);
PLX_CHECK_FIELD(ClientInfo, clientText12, 3666, 33);
PLX_CHECK_FIELD(ClientInfo, clientText13, 3699, 33);
PLX_CHECK_FIELD(ClientInfo, clientValue3, 3732, 4);
PLX_CHECK_FIELD(ClientInfo, clientValue4, 3736, 4);
PLX_CHECK_FIELD(ClientInfo, readFailurePercent, 3740, 4);
PLX_CHECK_FIELD(ClientInfo, clientValue5, 3744, 4);
PLX_CHECK_FIELD(ClientInfo, clientText14, 3748, 65);
PLX_CHECK_FIELD(ClientInfo, clientText15, 3813, 65);
PLX_CHECK_FIELD(ClientInfo, clientValue6, 3880, 4);
PLX_CHECK_FIELD(ClientInfo, clientText16, 3884, 257);

PLX_STATIC_ASSERT(sizeof(ClientInfoV2Ext) == 1076, "ClientInfoV2Ext size");
PLX_STATIC_ASSERT(PLX_ALIGNOF(ClientInfoV2Ext) == 4, "ClientInfoV2Ext alignment");
PLX_CHECK_FIELD(ClientInfoV2Ext, extText1, 0, 33);
PLX_CHECK_FIELD(ClientInfoV2Ext, extValue1, 36, 4);
PLX_CHECK_FIELD(ClientInfoV2Ext, extValue2, 40, 4);
PLX_CHECK_FIELD(ClientInfoV2Ext, extText2, 44, 513);
PLX_CHECK_FIELD(ClientInfoV2Ext, extText3, 557, 513);
PLX_CHECK_FIELD(ClientInfoV2Ext, extValue3, 1072, 4);

PLX_STATIC_ASSERT(sizeof(ClientInfoV2) == 5224, "ClientInfoV2 size");
PLX_STATIC_ASSERT(PLX_ALIGNOF(ClientInfoV2) == 8, "ClientInfoV2 alignment");
PLX_CHECK_FIELD(ClientInfoV2, base, 0, 4144);
PLX_CHECK_FIELD(ClientInfoV2, ext, 4144, 1076);

#ifdef __cplusplus
}
#endif

#endif /* PLX_SRV_CITRIX_H */
