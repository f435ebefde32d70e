#include <exception>

#include <plog/Log.h>

#include "citrix/wfapi_loader.h"
#include "exports/remote_info.h"
#include "logging/log_setup.h"

int32_t PLX_CDECL icasrv_cleanup(void) {
    try {
        PLOGD << "Callling internal 'icasrv_cleanup' function...";
        PLOGD << "Citrix server dll cleanup started...";
        PLOGD << "Stopping data polling thread...";
        // WFAPI.DLL is unloaded before _glTaskMutex is let go: a get call waiting for the lock
        // would otherwise start a new polling task that runs into the module as it is unloaded.
        std::lock_guard<std::mutex> taskLock(_glTaskMutex);
        if (_glMetricsTask) _glMetricsTask->stop();
        if (_glMetricsThread && _glMetricsThread->joinable()) _glMetricsThread->join();
        _glMetricsTask.reset();
        _glMetricsThread.reset();
        PLOGD << "Data polling thread stopped";
        PLOGD << "Unloading WFAPI dll...";
        closeWFAPI();
    } catch (const std::exception& e) {
        PLOGE << "[CLEANUP] Exception: " << e.what();
    } catch (const char* text) {
        PLOGE << "[CLEANUP] Exception: " << text;
    } catch (...) {
        PLOGE << "[CLEANUP] Unknown Exception.";
    }
    // The closing banner and the log teardown run on every path, also after an exception.
    PLOGV << "-----------------------------------";
    PLOGV << "--- CITRIX SERVER DLL LOG Finished";
    PLOGV << "-----------------------------------";
    return shutdownLog();
}
