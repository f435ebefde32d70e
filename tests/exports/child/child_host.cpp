// Small hosts of the DLL that test_exports runs as child processes from a folder without
// the WinFrame API; each prints its results for the test to check.
//   child_host <dll> noapi          cleanup before any call, four get calls, cleanup again
//   child_host <dll> throw <wfapi>  with that WinFrame API loaded first: a start, then a callback that
//                                   throws this toolchain's C++ exception, a plain call, cleanup
//   child_host <dll> raise <wfapi> breakpoint|unwind-raises
//                                   a start, then a callback that raises a breakpoint, or an error
//                                   inside a host frame whose unwind raises 0xE0000002; neither may
//                                   come back as a result: the host's unhandled-exception filter
//                                   reports the exception and the process ends with its code
//   child_host - alone breakpoint   the same callback called directly, without the library
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "host_frame.h"

static volatile LONG g_calls = 0;
static void PLX_CDECL onRecord(void*) { InterlockedIncrement(&g_calls); }
static void PLX_CDECL throwing(void*) { throw std::runtime_error("callback failed"); }

static void PLX_CDECL breakpoint(void*) { DebugBreak(); }
static void raiseError(void*) { RaiseException(0xE0000001, 0, 0, nullptr); }
static void PLX_CDECL failingUnwind(void*) {
    g_hostFrame.raiseOnUnwind = 0xE0000002;
    plx_test_host_frame(raiseError, nullptr);
}

// A host's crash reporter: the process then ends with the exception's code, without a debugger.
static LONG WINAPI reportUnhandled(EXCEPTION_POINTERS* pointers) {
    std::printf("unhandled 0x%08lX (host frame: %ld searched, %ld unwound)\n", pointers->ExceptionRecord->ExceptionCode,
                g_hostFrame.searched, g_hostFrame.unwound);
    return EXCEPTION_EXECUTE_HANDLER;
}

int wmain(int argc, wchar_t** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // each line is written at once: the process may end abnormally next
    const std::wstring mode = argc >= 3 ? argv[2] : L"";
    if (argc >= 4 && (mode == L"alone" || mode == L"raise")) SetUnhandledExceptionFilter(reportUnhandled);
    if (argc == 4 && mode == L"alone" && !std::wcscmp(argv[3], L"breakpoint")) {
        std::printf("started\n");
        breakpoint(nullptr);
        return std::printf("results\n"), 0;
    }
    const bool raises = argc == 5 && mode == L"raise" && LoadLibraryW(argv[3]);
    const bool throws = argc == 4 && mode == L"throw" && LoadLibraryW(argv[3]);
    const ProductDll dll = exportsOf(raises || throws || (argc == 3 && mode == L"noapi") ? LoadLibraryW(argv[1]) : nullptr);
    if (!dll.complete())
        return std::printf("usage: child_host <dll> noapi | throw <WinFrame API DLL> | raise <WinFrame API DLL> <what>\n"), 2;
    if (raises || throws) {
        const int r0 = dll.get(nullptr, nullptr);
        std::printf("started %d\n", r0);
        if (raises) {
            const int r1 = dll.get(std::wcscmp(argv[4], L"breakpoint") ? failingUnwind : breakpoint, nullptr);
            return std::printf("results %d %d, %ld searched, %ld unwound\n", r0, r1, g_hostFrame.searched,
                               g_hostFrame.unwound), 0;
        }
        const int r1 = dll.get(throwing, nullptr), r2 = dll.get(onRecord, nullptr), r3 = dll.cleanup();
        return std::printf("results %d %d %d %d, %ld callbacks\n", r0, r1, r2, r3, g_calls), 0;
    }
    const int r0 = dll.cleanup(), r1 = dll.get(onRecord, nullptr), r2 = dll.getV2(onRecord, nullptr);
    const int r3 = dll.get(nullptr, nullptr), r4 = dll.getV2(nullptr, nullptr), r5 = dll.cleanup();
    return std::printf("results %d %d %d %d %d %d, %ld callbacks\n", r0, r1, r2, r3, r4, r5, g_calls), 0;
}
