#include "logging/log_setup.h"

#include <chrono>
#include <cstring>

#include <plog/Initializers/RollingFileInitializer.h>
#include <plog/Log.h>

#include "logging/log_settings.h"
#include "logging/ox_monitor_task.h"

plog::Logger<0>* _glLogger = nullptr;
bool _glLogInitialized = false;
std::mutex _glLogMutex;
HANDLE _glMonitorStopEvent = nullptr;
std::unique_ptr<OxMonitorTask> _glMonitorTask;
std::unique_ptr<std::thread> _glMonitorThread;
std::mutex _glMonitorMutex;

namespace {

// Runs when the library's statics are destroyed: at process exit, or when a host unloads the
// library without shutdownLog having run. A monitor thread still joinable then was killed by
// ExitProcess or is still running; destroying its std::thread would call std::terminate and
// destroying its task could pull the object from under it, so both holders are let go
// without destruction (the process is going away). Declared after the holders, so it is
// destroyed before them.
struct MonitorHoldersExitGuard {
    ~MonitorHoldersExitGuard() {
        if (_glMonitorThread && _glMonitorThread->joinable()) {
            (void)_glMonitorThread.release();
            (void)_glMonitorTask.release();
        }
    }
} _glMonitorHoldersExitGuard;

// Counts monitor starts (under _glMonitorMutex), so that a caller retiring an earlier
// monitor never stops a newer one by mistake.
uint64_t _monitorGeneration = 0;

// Signals, stops and joins the monitor, then drops it. The caller holds _glMonitorMutex
// and not _glLogMutex: the monitor needs _glLogMutex to finish.
void stopMonitorLocked() {
    if (_glMonitorStopEvent != nullptr) SetEvent(_glMonitorStopEvent);
    if (_glMonitorTask) _glMonitorTask->stop();
    if (_glMonitorThread && _glMonitorThread->joinable()) _glMonitorThread->join();
    if (_glMonitorStopEvent != nullptr) CloseHandle(_glMonitorStopEvent);
    _glMonitorStopEvent = nullptr;
    _glMonitorTask.reset();
    _glMonitorThread.reset();
}

void retireMonitor(uint64_t generation) {
    std::lock_guard<std::mutex> lock(_glMonitorMutex);
    if (_monitorGeneration == generation) stopMonitorLocked();
}

// The caller holds _glMonitorMutex.
void startMonitorLocked(int32_t component, int32_t platform) {
    ++_monitorGeneration;
    // Stored unchecked: without the event the monitor's waits fail and it only ever ends
    // through stop(), which shutdownLog also calls.
    _glMonitorStopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    _glMonitorTask.reset(new OxMonitorTask(component, platform));
    OxMonitorTask* task = _glMonitorTask.get();
    _glMonitorThread.reset(new std::thread([task] { task->execute(); }));
}

// The file count handed to plog. At every roll plog renames the kept files one by one, so a
// registry count in the billions would keep a single roll, and the call that happened to log,
// busy for hours: the count is capped at 1000. A negative count (a value with the top bit
// set) would stop rolling altogether and let the file grow without limit: it takes the
// default count. 0 keeps its meaning of "no rolling".
int32_t rollingFileCount(int32_t configured) {
    constexpr int32_t MAX_ROLLING_FILE_COUNT = 1000;
    if (configured < 0) return LOG_DEFAULT_MAX_FILE_COUNT;
    return configured > MAX_ROLLING_FILE_COUNT ? MAX_ROLLING_FILE_COUNT : configured;
}

}  // namespace

plog::Logger<0>* createFileLogger(int32_t severity, std::string& path, uint32_t maxFileSize,
                                  int32_t maxFileCount) {
    // Serialises the first creation between initLog and the monitor thread.
    static std::mutex creationMutex;
    std::lock_guard<std::mutex> lock(creationMutex);
    const plog::Severity maxSeverity = static_cast<plog::Severity>(severity);
    // plog keeps one logger of instance 0 per module and one rolling appender per process:
    // a second plog::init would attach that appender again and double every line. So an
    // existing logger is reused: it keeps its file, and only its severity changes (0, none,
    // silences it until the severity is raised again).
    if (plog::Logger<0>* existing = plog::get<0>()) {
        existing->setMaxSeverity(maxSeverity);
        return existing;
    }
    // A logger created with severity none writes no file until its severity is raised; it
    // claims no name either, so that a log that is off leaves no empty file behind.
    if (maxSeverity != plog::none) claimLogFileName(&path);
    return &plog::init(maxSeverity, path.c_str(), maxFileSize, rollingFileCount(maxFileCount));
}

int initLog(int32_t component, int32_t platform, char* pathBuffer) {
    try {
        pathBuffer[0] = '\0';
        std::unique_lock<std::mutex> logLock(_glLogMutex);
        for (;;) {
            if (_glLogInitialized) return 0;
            std::unique_lock<std::mutex> monitorLock(_glMonitorMutex, std::try_to_lock);
            if (monitorLock.owns_lock() && !_glMonitorTask && !_glMonitorThread) {
                // Flag first, so that a failure below is not retried by a later call. The
                // monitor starts before the settings are read, so that it watches the
                // registry even when logging is off or the folder is unusable.
                _glLogInitialized = true;
                startMonitorLocked(component, platform);
                break;
            }
            // Another thread holds _glMonitorMutex, perhaps joining a monitor that needs
            // _glLogMutex to end, or a monitor from before a shutdownLog (or one that ended
            // by itself) is still there. Either way let go of _glLogMutex, retire that
            // earlier monitor if there is one, and look again.
            const uint64_t earlier = monitorLock.owns_lock() ? _monitorGeneration : 0;
            if (monitorLock.owns_lock()) monitorLock.unlock();
            logLock.unlock();
            if (earlier != 0) {
                retireMonitor(earlier);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            logLock.lock();
        }

        int32_t severity = 0;
        std::string pathRoot;
        uint32_t maxFileSize = LOG_DEFAULT_MAX_FILE_SIZE;
        int32_t maxFileCount = LOG_DEFAULT_MAX_FILE_COUNT;

        readLogSettings(component, &severity, &pathRoot, &maxFileSize, &maxFileCount);
        if (severity == 0) return 0;

        std::string path;
        const int rc = buildLogFilePath(component, platform, pathRoot, &path);
        if (rc != 0) return rc;

        _glLogger = createFileLogger(severity, path, maxFileSize, maxFileCount);
        _glLogger->setMaxSeverity(static_cast<plog::Severity>(severity));
        // buildLogFilePath only returns paths shorter than MAX_PATH.
        std::memcpy(pathBuffer, path.c_str(), path.size() + 1);
        return 0;
    } catch (...) {
        return -2;
    }
}

int shutdownLog() {
    try {
        {
            std::lock_guard<std::mutex> lock(_glMonitorMutex);
            stopMonitorLocked();
        }
        std::lock_guard<std::mutex> lock(_glLogMutex);
        _glLogger = nullptr;
        _glLogInitialized = false;
        return 0;
    } catch (...) {
        return -2;
    }
}
