#include "logging/ox_monitor_task.h"

#include <windows.h>

#include <exception>
#include <mutex>
#include <string>

#include <plog/Log.h>

#include "logging/log_settings.h"
#include "logging/log_setup.h"
#include "utils/oxe_auto_handle.h"

namespace {

// KEY_NOTIFY | KEY_WOW64_64KEY on the "Log" key itself, so that a change under any of its
// sub-keys is seen.
constexpr REGSAM WATCH_ACCESS = 0x110;
// Name, attributes, last-set and security changes.
constexpr DWORD WATCH_FILTER = 0xF;

constexpr int32_t PASS_INTERVAL_MS = 1000;
constexpr int32_t SETTLE_MS = 500;
constexpr int32_t STEP_MS = 10;

}  // namespace

void OxMonitorTask::run() {
    auto changeEvent =
        OxeUtils::makeAutoHandle<HANDLE>(CreateEventW(nullptr, FALSE, FALSE, nullptr), [](HANDLE h) { CloseHandle(h); });
    // The stop event was created before this thread, so it is read here without
    // _glMonitorMutex, which shutdownLog holds while it joins this thread.
    HANDLE waitSet[2] = {changeEvent.get(), _glMonitorStopEvent};
    auto key = OxeUtils::makeAutoHandle<HKEY>(nullptr, [](HKEY h) { RegCloseKey(h); });

    while (!waitFor(PASS_INTERVAL_MS, STEP_MS)) {
        key.reset();
        if (RegOpenKeyExW(HKEY_CURRENT_USER, LOG_SETTINGS_KEY_PATH, 0, WATCH_ACCESS, key.addressOf()) != ERROR_SUCCESS) {
            *key.addressOf() = nullptr;
            continue;
        }
        if (RegNotifyChangeKeyValue(key.get(), TRUE, WATCH_FILTER, changeEvent.get(), TRUE) != ERROR_SUCCESS) continue;

        const DWORD waited = WaitForMultipleObjects(2, waitSet, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0 + 1) break;
        if (waited != WAIT_OBJECT_0) continue;

        // Lets a burst of changes settle before the settings are read.
        if (waitFor(SETTLE_MS, STEP_MS)) break;

        try {
            int32_t severity = 0;
            std::string pathRoot;
            uint32_t maxFileSize = 0;
            int32_t maxFileCount = 0;
            readLogSettings(m_component, &severity, &pathRoot, &maxFileSize, &maxFileCount);

            // An existing logger only takes the new severity; its folder and file limits stay
            // as they were created. Severity 0 sets it to none: logging stops, and raising
            // the severity later resumes in the same file. (Creating the logger a second time
            // would not turn it off but make plog write every line twice.)
            bool applied = false;
            {
                std::lock_guard<std::mutex> lock(_glLogMutex);
                if (_glLogger != nullptr) {
                    _glLogger->setMaxSeverity(static_cast<plog::Severity>(severity));
                    applied = true;
                }
            }
            if (!applied) {
                // No logger yet: create one, even at severity 0 (it then writes nothing until
                // the severity is raised). An unusable folder waits for the next change.
                std::string path;
                if (buildLogFilePath(m_component, m_platform, pathRoot, &path) == 0) {
                    plog::Logger<0>* logger = createFileLogger(severity, path, maxFileSize, maxFileCount);
                    std::lock_guard<std::mutex> lock(_glLogMutex);
                    _glLogger = logger;
                }
            }
        } catch (const std::exception& e) {
            PLOGE << "[Registry monitoring thread] Exception: " << e.what();
        } catch (const char* text) {
            PLOGE << "[Registry monitoring thread] Exception: " << text;
        } catch (...) {
            PLOGE << "[Registry monitoring thread] Unknown Exception.";
        }
    }

    key.reset();
    changeEvent.reset();
    std::lock_guard<std::mutex> lock(_glLogMutex);
    _glLogger = nullptr;
    _glLogInitialized = false;
}
