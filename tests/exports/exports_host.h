#pragma once
// Test host equipment: the built DLL loaded by path as a host agent loads it, the registry
// settings that point its log at a test folder, and child processes.
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "plx_srv_citrix.h"
#include "support/log_capture.h"

// The folder of the running test program (the build tree's bin/).
std::wstring exeDir();
std::string toUtf8(const std::wstring& text);

// The DLL under test, loaded once from bin/ by full path.
struct ProductDll {
    HMODULE module = nullptr;
    icasrv_get_remote_info_fn get = nullptr;
    icasrv_get_remote_info_v2_fn getV2 = nullptr;
    icasrv_cleanup_fn cleanup = nullptr;
};
const ProductDll& dll();

// Root of this process's log folders; the DLL's own log goes to logRoot()\main.
std::wstring logRoot();
// Points HKCU\Software\Orbivex\Pathlens\Log\server path_root at a folder (severity stays 6).
void setLogFolder(const std::wstring& folder);
// The one log file the library created in a folder ("" if none).
std::string findLogFile(const std::wstring& folder);
// The DLL's log in logRoot()\main; exists after the first get call.
std::string productLog();

// Records the callbacks received.
extern std::atomic<int> g_v1Calls;
extern std::atomic<int> g_v2Calls;
extern ClientInfo g_v1Copy;
extern ClientInfoV2 g_v2Copy;
void PLX_CDECL copyV1(void* record);
void PLX_CDECL copyV2(void* record);
void resetCallbackCounts();

// Polls until pred() holds or timeoutMs passed; returns pred()'s last value.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs);

// Runs a program and waits for it (bounded); returns its exit code, or -1 when it could not
// be started or did not end in time. stdout and stderr are captured together.
struct ChildResult {
    int exitCode = -1;
    std::string output;
};
ChildResult runChild(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir,
                     const std::wstring& extraEnv = L"", int timeoutMs = 60000);
