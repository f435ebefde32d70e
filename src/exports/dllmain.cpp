#include <windows.h>

// Loading the library starts nothing: all work begins with the first get call, and
// icasrv_cleanup is the shutdown. Thread attach/detach notifications are not needed.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
