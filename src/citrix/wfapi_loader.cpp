#include "citrix/wfapi_loader.h"

#include <plog/Log.h>

#include <memory>
#include <string>
#include <type_traits>

#include "plx_build_info.h"
#include "utils/string_utils.h"
#include "utils/system_error.h"

WFAPITable _glWFAPITable;
HMODULE _glWFAPIModule = nullptr;
bool _glWFAPILoaded = false;
std::mutex _glWFAPIMutex;

namespace {

// WFAPI.DLL for the 32-bit plug-in; a 64-bit process needs the VDA's WFAPI64.DLL.
const wchar_t* const WFAPI_LIBRARY_NAME = PLX_WFAPI_NAME_W;

// The full path of a loaded module, however long; on failure the error suffix instead.
std::string modulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return "(unknown) " + OxeUtils::errorSuffix(GetLastError());
        if (length < path.size() || path.size() >= 32768) return OxeUtils::wideToUtf8(path.substr(0, length));
        path.resize(path.size() * 2);
    }
}

}  // namespace

bool loadWFAPIWrapper() {
    std::lock_guard<std::mutex> lock(_glWFAPIMutex);
    if (_glWFAPILoaded) {
        return true;
    }
    PLOGD << "Loading WFAPI Wrapper ...";
    _glWFAPILoaded = initWFAPI();
    PLOGD << "Loading WFAPI Wrapper ... " << (_glWFAPILoaded ? "Ok" : "Failed");
    return _glWFAPILoaded;
}

bool initWFAPI() {
    if (_glWFAPIModule != nullptr) {
        return true;
    }
    PLOGI << "[WFAPI_WRAPPER] : initializing...";

    // The library and its entry points are gathered here and published together at the end.
    // A load that fails or throws part-way (a log record that cannot be built, say) releases
    // the library and leaves the module null and the table untouched, so the next load starts
    // from the beginning instead of taking a half-filled table for a loaded one.
    std::unique_ptr<std::remove_pointer_t<HMODULE>, BOOL(WINAPI*)(HMODULE)> library(
        LoadLibraryW(WFAPI_LIBRARY_NAME), &FreeLibrary);
    if (library == nullptr) {
        const DWORD code = GetLastError();
        PLOGE << "[WFAPI_WRAPPER] ERR : LoadLibraryW [" << OxeUtils::wideToUtf8(WFAPI_LIBRARY_NAME)
              << "] failed with error : " << OxeUtils::errorSuffix(code);
        return false;
    }
    PLOGI << "[WFAPI_WRAPPER] : Library loaded OK";

    // Resolve the entry points in table order; the first one missing releases the library
    // and leaves the later rows untried.
    WFAPITable table;
#define WFAPI_RESOLVE_ENTRY(name, logName)                                                               \
    table.name = reinterpret_cast<name##_t*>(reinterpret_cast<void*>(GetProcAddress(library.get(), #name))); \
    if (table.name == nullptr) {                                                                         \
        const DWORD code = GetLastError();                                                               \
        PLOGE << " [WFAPI_WRAPPER] ERR : GetProcAddress [" << logName                                    \
              << "] failed with error : " << OxeUtils::errorSuffix(code);                              \
        return false;                                                                                    \
    }                                                                                                    \
    PLOGI << "[WFAPI_WRAPPER] : Function " << logName << " found OK";

    WFAPI_ENTRY_POINTS(WFAPI_RESOLVE_ENTRY)
#undef WFAPI_RESOLVE_ENTRY

    PLOGI << "[WFAPI_WRAPPER] : WFAPI Wrapper loaded successfully";
    // The DLL search path decides which WinFrame API file is found; support needs to know which.
    PLOGI << "[WFAPI_WRAPPER] : Library file : " << modulePath(library.get());
    // Nothing below can throw: the table and the module become visible together.
    _glWFAPITable = table;
    _glWFAPIModule = library.release();
    return true;
}

void closeWFAPI() {
    std::lock_guard<std::mutex> lock(_glWFAPIMutex);
    if (_glWFAPIModule == nullptr) {
        return;
    }
    FreeLibrary(_glWFAPIModule);
    _glWFAPIModule = nullptr;
    _glWFAPILoaded = false;
    // Unloading is a normal lifecycle step, logged at info like the loading steps.
    PLOGI << "[WFAPI_WRAPPER] : WFAPI dll unloaded";
}
