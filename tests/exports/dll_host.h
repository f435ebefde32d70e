#pragma once
// Host equipment of test_exports and test_faults: the built DLL loaded by path, its log settings
// (verbose, into logRoot()\dll), the session the substitute WinFrame API plays, child processes.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "child/host_frame.h"
#include "plx_build_info.h"
#include "support/waits.h"
#include "support/wfsim_support.h"

const ProductDll& dll();  // bin/<PLX_DLL_NAME>, loaded on first use
void reloadDll();         // unloaded and loaded again: its next get call is its first, logging afresh
std::string startedLog();  // the DLL's log after its first get call (made here if none was) and a cleanup
// The DLL built with 1 s cycles, back-off steps of 2, 4, 8 and 10 s and 1 s reads (bin-testwaits/). It logs
// wherever path_root points at its first get call: give it a folder of its own.
const ProductDll& testWaitsDll();
std::wstring exeDir();
std::wstring logRoot();                                          // removed at the end of the run
std::vector<std::wstring> logFiles(const std::wstring& folder);  // plx_srv_dll_citrix_* files in and under it
// The one log file in and under folder, UTF-8, else "": by default the in-process DLL's (none before its first call).
std::string productLog(const std::wstring& folder = logRoot() + L"\\dll");
void setServerValue(const wchar_t* name, DWORD type, const void* data, DWORD size);  // in ...\Log\server
void setLogFolder(const std::wstring& folder);  // path_root; the folder is created
void useTestLogSettings();                      // only severity 6 and path_root logRoot()\dll

void configureSession();  // healthy; the client answers "host.user" on "HOST-PC-01", version 2 too
bool atDefaults(const ClientInfo& r);
extern std::atomic<int> g_v1Calls, g_v2Calls;
extern ClientInfo g_v1;  // the last records copyV1 / copyV2 were handed
extern ClientInfoV2 g_v2;
void PLX_CDECL copyV1(void* record);
void PLX_CDECL copyV2(void* record);
int32_t call(bool v2, const ProductDll& d = dll());  // d's version-1 or version-2 export with copyV1 / copyV2
std::pair<int32_t, int> callCounted(bool v2, const ProductDll& d = dll());  // call's result and its callbacks
bool pollUntilData(bool v2);  // calls until a name and a latency arrive (10 s at most); false at a result not 0

// An expected log record; with re, text is a regular expression over the whole message.
struct Line { std::string severity, func, text; bool re = false; };
// "" when the lines appear in this order among the records, else the first missing one and the log.
std::string missingInOrder(const std::vector<LogRecord>& records, const std::vector<Line>& lines);

// The child's exit code (-1: not started, or killed after timeoutMs) and its stdout and stderr.
struct ChildResult { int exitCode = -1; std::string output; };
ChildResult runChild(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir,
                     int timeoutMs = 60000);
// Starts exe with its stdout and stderr going to outPath; a zeroed result when it did not start.
PROCESS_INFORMATION startChild(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir,
                               const std::wstring& outPath, DWORD creationFlags = 0);
std::string readWholeFile(const std::wstring& path);
