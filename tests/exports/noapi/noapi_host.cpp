// A host program for the library under test, run as a child by test_exports.
//   noapi_host noapi <dll>   : built into a folder without WFAPI.DLL; cleanup before any call,
//                              then every get must return -10 without calling back.
//   noapi_host exit <dll>    : WFAPI.DLL reachable (the parent puts bin/ on PATH); starts polling,
//                              waits for data, then leaves main without icasrv_cleanup: the
//                              process must still exit normally.
// Exit code 0 means every expectation held; anything else is printed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "plx_srv_citrix.h"

namespace {

volatile LONG g_calls = 0;
ClientInfo g_copy;

void PLX_CDECL onRecord(void* record) {
    std::memcpy(&g_copy, record, sizeof g_copy);
    InterlockedIncrement(&g_calls);
}

int fail(const char* what, long value) {
    std::printf("noapi_host: %s (%ld)\n", what, value);
    std::fflush(stdout);
    return 1;
}

template <typename Fn>
Fn procAs(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return fail("usage: noapi_host noapi|exit <dll>", argc);
    const std::wstring mode = argv[1];
    HMODULE dll = LoadLibraryW(argv[2]);
    if (dll == nullptr) return fail("cannot load the library", static_cast<long>(GetLastError()));
    auto get = procAs<icasrv_get_remote_info_fn>(dll, "icasrv_get_remote_info");
    auto getV2 = procAs<icasrv_get_remote_info_v2_fn>(dll, "icasrv_get_remote_info_v2");
    auto cleanup = procAs<icasrv_cleanup_fn>(dll, "icasrv_cleanup");
    if (!get || !getV2 || !cleanup) return fail("exports missing", 0);

    if (mode == L"noapi") {
        int32_t rc = cleanup();
        if (rc != 0) return fail("cleanup before any call", rc);
        const int32_t results[] = {get(onRecord, nullptr), getV2(onRecord, nullptr), get(nullptr, nullptr),
                                   getV2(nullptr, nullptr)};
        for (int32_t r : results)
            if (r != ICASRV_NO_WFAPI) return fail("a get call did not return -10", r);
        if (g_calls != 0) return fail("callback called", g_calls);
        rc = cleanup();
        if (rc != 0) return fail("cleanup after failed calls", rc);
        return 0;
    }
    if (mode == L"exit") {
        int32_t rc = get(onRecord, nullptr);
        if (rc != ICASRV_STARTED) return fail("first call", rc);
        for (int i = 0; i < 500 && g_copy.userName[0] == '\0'; ++i) {
            Sleep(20);
            rc = get(onRecord, nullptr);
            if (rc != ICASRV_OK) return fail("later call", rc);
        }
        if (g_copy.userName[0] == '\0') return fail("no data within 10 s", 0);
        std::printf("noapi_host: data arrived; leaving without cleanup\n");
        std::fflush(stdout);
        return 0;
    }
    return fail("unknown mode", 0);
}
