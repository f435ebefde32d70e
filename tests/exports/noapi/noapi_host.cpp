// Host run by test_exports, which checks what it prints. "noapi_host noapi <dll>" runs from a
// folder without WFAPI.DLL: cleanup before any call, four get calls, cleanup again. "noapi_host
// exit <dll>" finds WFAPI.DLL in its working folder: polls until data arrives, then leaves main
// without icasrv_cleanup while the polling thread still runs.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "plx_srv_citrix.h"

static volatile LONG g_calls = 0;
static volatile char g_user = 0;
static void PLX_CDECL onRecord(void* record) { g_user = static_cast<ClientInfo*>(record)->userName[0], InterlockedIncrement(&g_calls); }

int wmain(int argc, wchar_t** argv) {
    const HMODULE dll = argc == 3 ? LoadLibraryW(argv[2]) : nullptr;
    const auto proc = [dll](const char* name) { return reinterpret_cast<void (*)()>(GetProcAddress(dll, name)); };
    const auto get = reinterpret_cast<icasrv_get_remote_info_fn>(proc("icasrv_get_remote_info"));
    const auto getV2 = reinterpret_cast<icasrv_get_remote_info_v2_fn>(proc("icasrv_get_remote_info_v2"));
    const auto cleanup = reinterpret_cast<icasrv_cleanup_fn>(proc("icasrv_cleanup"));
    if (!dll || !get || !getV2 || !cleanup) return std::printf("usage: noapi_host noapi|exit <plx_srv_citrix32.dll>\n"), 2;
    if (wcscmp(argv[1], L"noapi") == 0) {
        const int r0 = cleanup(), r1 = get(onRecord, nullptr), r2 = getV2(onRecord, nullptr), r3 = get(nullptr, nullptr);
        const int r4 = getV2(nullptr, nullptr), r5 = cleanup();
        return std::printf("results %d %d %d %d %d %d, %ld callbacks\n", r0, r1, r2, r3, r4, r5, g_calls), 0;
    }
    int rc = get(onRecord, nullptr), first = rc;
    for (int i = 0; i < 500 && rc == (i ? ICASRV_OK : ICASRV_STARTED) && g_user == 0; ++i) Sleep(20), rc = get(onRecord, nullptr);
    return std::printf("first %d, last %d, data %s\n", first, rc, g_user ? "arrived" : "missing"), 0;
}
