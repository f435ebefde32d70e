#include <windows.h>

#include "plx_build_info.h"
#include "plx_srv_citrix.h"

namespace {

constexpr bool sameText(const wchar_t* a, const wchar_t* b) {
    return *a == *b && (*a == L'\0' || sameText(a + 1, b + 1));
}
// Hosts take the DLL's name from the public header; the build names the file from CMake.
static_assert(sameText(PLX_SRV_CITRIX_DLL_NAME, PLX_DLL_NAME_W), "the public header names another DLL");

}  // namespace

// Loading the library starts nothing: all work begins with the first get call, and
// icasrv_cleanup is the shutdown. Thread attach/detach notifications are not needed.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
