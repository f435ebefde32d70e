// Small hosts of the DLL that test_exports runs as child processes from a folder without
// the WinFrame API; each prints its results for the test to check.
//   child_host <dll> noapi          cleanup before any call, four get calls, cleanup again
//   child_host <dll> throw <wfapi>  with that WinFrame API loaded first: a start, then a callback that
//                                   throws this toolchain's C++ exception, a plain call, cleanup
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>

#include "plx_srv_citrix.h"

static volatile LONG g_calls = 0;
static void PLX_CDECL onRecord(void*) { InterlockedIncrement(&g_calls); }
static void PLX_CDECL throwing(void*) { throw std::runtime_error("callback failed"); }

int wmain(int argc, wchar_t** argv) {
    const bool noapi = argc == 3 && !std::wcscmp(argv[2], L"noapi");
    const bool throws = argc == 4 && !std::wcscmp(argv[2], L"throw") && LoadLibraryW(argv[3]);
    const HMODULE dll = noapi || throws ? LoadLibraryW(argv[1]) : nullptr;
    const auto proc = [dll](const char* name) { return reinterpret_cast<void (*)()>(GetProcAddress(dll, name)); };
    const auto get = reinterpret_cast<icasrv_get_remote_info_fn>(proc("icasrv_get_remote_info"));
    const auto getV2 = reinterpret_cast<icasrv_get_remote_info_v2_fn>(proc("icasrv_get_remote_info_v2"));
    const auto cleanup = reinterpret_cast<icasrv_cleanup_fn>(proc("icasrv_cleanup"));
    if (!dll || !get || !getV2 || !cleanup)
        return std::printf("usage: child_host <dll> noapi | child_host <dll> throw <WinFrame API DLL>\n"), 2;
    if (throws) {
        const int r0 = get(nullptr, nullptr);
        std::printf("started %d\n", r0);
        std::fflush(stdout);
        const int r1 = get(throwing, nullptr), r2 = get(onRecord, nullptr), r3 = cleanup();
        return std::printf("results %d %d %d %d, %ld callbacks\n", r0, r1, r2, r3, g_calls), 0;
    }
    const int r0 = cleanup(), r1 = get(onRecord, nullptr), r2 = getV2(onRecord, nullptr), r3 = get(nullptr, nullptr);
    const int r4 = getV2(nullptr, nullptr), r5 = cleanup();
    return std::printf("results %d %d %d %d %d %d, %ld callbacks\n", r0, r1, r2, r3, r4, r5, g_calls), 0;
}
