#pragma once
// Equipment of the fault tests: the built DLL loaded by path as a host loads it, its log in a
// folder of this process (severity verbose), the settings key saved and put back, the
// substitute WFAPI.DLL's accounting, and plxprobe.exe run as a fresh host process.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "plx_srv_citrix.h"
#include "support/log_capture.h"

namespace faults {

struct Dll {
    HMODULE module = nullptr;
    icasrv_get_remote_info_fn get = nullptr;
    icasrv_get_remote_info_v2_fn getV2 = nullptr;
    icasrv_cleanup_fn cleanup = nullptr;
};
// Loaded once, from the folder of this program, on first use.
const Dll& dll();

std::wstring exeDir();
std::string toUtf8(const std::wstring& text);

// HKCU\Software\Orbivex\Pathlens\Log\server, written in the 64-bit view like the library reads it.
void setServerValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
void setServerDword(const wchar_t* name, DWORD value);
void setServerString(const wchar_t* name, const std::wstring& text);
void deleteServerValue(const wchar_t* name);
// Removes the server key with all its values.
void clearServerKey();
// The settings the in-process DLL logs with: severity verbose, path_root logFolder() + "\\dll".
void useTestLogSettings();
// Back to what this process found at its start (done when the process ends).
void restoreServerKey();

// Folder of this process's log files; the in-process DLL logs to logFolder() + "\\dll".
std::wstring logFolder();
// The log file the DLL created for this process (exists after the first get call).
std::string dllLogPath();
// The one plx_srv_dll_citrix_*.log file in a folder, or "" when there is none or several.
std::wstring onlyLogFileIn(const std::wstring& folder);
int filesIn(const std::wstring& folder);
void removeTree(const std::wstring& path);

// The last records the callbacks received.
extern ClientInfo g_v1;
extern ClientInfoV2 g_v2;
extern volatile LONG g_calls;
void PLX_CDECL copyV1(void* record);
void PLX_CDECL copyV2(void* record);

bool waitUntil(const std::function<bool()>& condition, int boundMs);

// Buffers, channels and session handles of the substitute, all released and none twice.
std::string accountingProblems();

std::string describe(const LogRecord& r);
std::string dump(const std::vector<LogRecord>& records);

struct ChildResult {
    int exitCode = -1;  // -1: not started or killed after its time limit
    std::string output; // standard output and error together
};
// Runs plxprobe.exe from this program's folder with the arguments (bounded in time).
ChildResult runProbe(const std::wstring& args, int timeoutMs = 60000);

}  // namespace faults
