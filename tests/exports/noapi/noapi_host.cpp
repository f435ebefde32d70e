// Host run by test_exports from a folder without the WinFrame API (noapi_host <dll>): cleanup before
// any call, four get calls, cleanup again; it prints the results for the test to check.
#include <windows.h>

#include <cstdio>

#include "plx_srv_citrix.h"

static volatile LONG g_calls = 0;
static void PLX_CDECL onRecord(void*) { InterlockedIncrement(&g_calls); }

int wmain(int argc, wchar_t** argv) {
    const HMODULE dll = argc == 2 ? LoadLibraryW(argv[1]) : nullptr;
    const auto proc = [dll](const char* name) { return reinterpret_cast<void (*)()>(GetProcAddress(dll, name)); };
    const auto get = reinterpret_cast<icasrv_get_remote_info_fn>(proc("icasrv_get_remote_info"));
    const auto getV2 = reinterpret_cast<icasrv_get_remote_info_v2_fn>(proc("icasrv_get_remote_info_v2"));
    const auto cleanup = reinterpret_cast<icasrv_cleanup_fn>(proc("icasrv_cleanup"));
    if (!dll || !get || !getV2 || !cleanup) return std::printf("usage: noapi_host <plug-in DLL>\n"), 2;
    const int r0 = cleanup(), r1 = get(onRecord, nullptr), r2 = getV2(onRecord, nullptr), r3 = get(nullptr, nullptr);
    const int r4 = getV2(nullptr, nullptr), r5 = cleanup();
    return std::printf("results %d %d %d %d %d %d, %ld callbacks\n", r0, r1, r2, r3, r4, r5, g_calls), 0;
}
