#pragma once
// Log vocabulary and the reader of the log settings in the current user's registry.
#include <cstdint>
#include <string>

// Kind of program that writes the log; names its registry sub-key and its file names.
enum LogComponent : int32_t {
    LogComponentServerDll = 0,   // "srv_dll", sub-key "server"
    LogComponentClientDll = 1,   // "client_dll", sub-key "client"
    LogComponentServerTestApp = 2,
    LogComponentClientTestApp = 3,
};

// Remoting platform the log belongs to; used in file names only.
enum LogPlatform : int32_t {
    LogPlatformTest = 0,
    LogPlatformCitrix = 1,
    LogPlatformVmware = 2,
    LogPlatformRdp = 3,
    LogPlatformPlatformInfo = 4,
};

constexpr uint32_t LOG_DEFAULT_MAX_FILE_SIZE = 5242880;  // 5 MiB
constexpr int32_t LOG_DEFAULT_MAX_FILE_COUNT = 10;

extern const wchar_t* const LOG_SETTINGS_KEY_PATH;  // Software\Orbivex\Pathlens\Log

const char* logComponentName(int32_t component);  // "none" outside the table
const char* logPlatformName(int32_t platform);    // "none" outside the table

// Reads severity (0..6), path root (UTF-8), max file size and max file count for the
// component from HKCU\Software\Orbivex\Pathlens\Log\<sub-key>. Never fails: returns 0.
int readLogSettings(int32_t component, int32_t* severity, std::string* pathRoot, uint32_t* maxFileSize,
                    int32_t* maxFileCount);
