// One-time set-up of the process-wide data: in this library, the log.
#include <iostream>
#include <mutex>

#include <plog/Log.h>

#include "logging/log_settings.h"
#include "plx_build_info.h"
#include "logging/log_setup.h"

bool _glGlobalDataInitialized = false;
char _glLogPath[MAX_PATH] = {};

namespace {

constexpr WORD CONSOLE_BRIGHT_RED = 12;
constexpr WORD CONSOLE_DEFAULT = 7;

}  // namespace

void initGlobalData() {
    static std::mutex initMutex;
    std::lock_guard<std::mutex> lock(initMutex);
    if (_glGlobalDataInitialized) return;

    const int rc = initLog(LogComponentServerDll, LogPlatformCitrix, _glLogPath);
    if (rc != 0) {
        // _glLogPath is filled only when a log file was set up, so after a failure the
        // location in this line is always empty; the attempted folder is not shown.
        HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
        SetConsoleTextAttribute(console, CONSOLE_BRIGHT_RED);
        // Flushed before the colour is reset, so that the text really shows in red.
        std::cout << "Error : cannot initialize Citrix Server DLL log at " << _glLogPath << "; error = " << rc
                  << std::flush;
        SetConsoleTextAttribute(console, CONSOLE_DEFAULT);
        std::cout << std::endl;
    } else {
        PLOGI << "-------------------------------------";
        PLOGI << "--- CITRIX SERVER DLL LOG Started ---";
        PLOGI << "-------------------------------------";
        // Which build wrote this log: the 32- or the 64-bit plug-in, and its version.
        PLOGI << "Plug-in " PLX_DLL_NAME " (" PLX_ARCH_BITS_TEXT "-bit), version " PLX_VERSION_TEXT;
    }
    PLOGI << "Initializing global data ... ";
    PLOGI << "Initializing global data ... Ok";
    _glGlobalDataInitialized = true;
}
