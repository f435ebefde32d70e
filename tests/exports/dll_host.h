#pragma once
// Host equipment of test_exports and test_faults: the built DLL loaded by path as a host agent
// loads it, its log settings for the whole run (verbose, into logRoot()\dll), the session the
// substitute WFAPI.DLL plays, and child host processes.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "plx_srv_citrix.h"
#include "support/log_capture.h"
#include "wfsim_control.h"

struct ProductDll {
    HMODULE module;
    icasrv_get_remote_info_fn get;
    icasrv_get_remote_info_v2_fn getV2;
    icasrv_cleanup_fn cleanup;
};
const ProductDll& dll();  // bin/plx_srv_citrix32.dll, loaded on first use
std::wstring exeDir();
std::wstring logRoot();  // this process's folder of log files, removed at the end
std::vector<std::wstring> logFiles(const std::wstring& folder);  // its plx_srv_dll_citrix_* files
std::string productLog();  // the in-process DLL's log file as UTF-8 ("" before its first get call)

// Values of HKCU\Software\Orbivex\Pathlens\Log\server.
void setServerValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
void setLogFolder(const std::wstring& folder);  // path_root; the folder is created
void useTestLogSettings();  // only severity 6 and path_root logRoot()\dll

// A healthy session whose client answers with "host.user" on "HOST-PC-01", version 2 included.
void configureSession();
bool hasData(const ClientInfo& r);  // a user name from the client and a measured latency
bool atDefaults(const ClientInfo& r);
extern std::atomic<int> g_v1Calls, g_v2Calls;
extern ClientInfo g_v1;  // the last records copyV1 / copyV2 were handed
extern ClientInfoV2 g_v2;
void PLX_CDECL copyV1(void* record);
void PLX_CDECL copyV2(void* record);
int32_t call(bool v2);  // the version-1 or version-2 export with copyV1 / copyV2
bool waitUntil(const std::function<bool()>& pred, int timeoutMs);
// "" when no buffer, channel or session handle of the substitute is outstanding or released badly.
std::string accountingProblems();

// An expected log record; with re, text is a regular expression over the whole message.
struct Line {
    std::string severity, func, text;
    bool re = false;
};
// "" when the lines appear in this order among the records, else the first missing one and the log.
std::string missingInOrder(const std::vector<LogRecord>& records, const std::vector<Line>& lines);

// Runs a program (stdout and stderr captured); exit code -1 when not started or killed after timeoutMs.
struct ChildResult {
    int exitCode = -1;
    std::string output;
};
ChildResult runChild(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir, int timeoutMs = 60000);
