#pragma once
// Run-time loading of the WinFrame API (WFAPI.DLL, or WFAPI64.DLL in the 64-bit plug-in) and
// its table of entry points.
#include <windows.h>

#include <mutex>

#include "citrix/wfapi_types.h"

// One pointer per entry point, named after it; valid exactly while _glWFAPILoaded is set.
struct WFAPITable {
#define WFAPI_TABLE_ENTRY(name, logName) name##_t* name = nullptr;
    WFAPI_ENTRY_POINTS(WFAPI_TABLE_ENTRY)
#undef WFAPI_TABLE_ENTRY
};

extern WFAPITable _glWFAPITable;
extern HMODULE _glWFAPIModule;
extern bool _glWFAPILoaded;
extern std::mutex _glWFAPIMutex;

// True when the table is ready; loads WFAPI.DLL on the first call after start or unload.
bool loadWFAPIWrapper();
// Loads the library and resolves all fourteen entry points (under _glWFAPIMutex).
bool initWFAPI();
// Unloads the library; only after every thread that uses the table has ended.
void closeWFAPI();
