#include "exports/remote_info.h"

#include <exception>

#include <plog/Log.h>

#include "citrix/wfapi_loader.h"
#include "exports/callback_guard.h"
#include "logging/log_setup.h"
#include "protocol/client_info.h"

std::mutex _glTaskMutex;
std::unique_ptr<OxMetricsTask> _glMetricsTask;
std::unique_ptr<std::thread> _glMetricsThread;

namespace {

// Runs when the library's statics are destroyed: at process exit, or when a host unloads the
// library without calling icasrv_cleanup. A polling thread that is still joinable at that point
// was either killed by ExitProcess or is still running; destroying its std::thread would call
// std::terminate, and destroying its task could pull the object from under it. Both holders
// are therefore released without destruction in that case (the process is going away).
// Declared after the holders, so it is destroyed before them.
struct MetricsHoldersExitGuard {
    ~MetricsHoldersExitGuard() {
        if (_glMetricsThread && _glMetricsThread->joinable()) {
            (void)_glMetricsThread.release();
            (void)_glMetricsTask.release();
        }
    }
} _glMetricsHoldersExitGuard;

}  // namespace

int32_t _icasrv_get_remote_info_impl(RemoteInfoCallback v1Callback, RemoteInfoCallback v2Callback,
                                     void* reserved) {
    (void)reserved;
    try {
        initGlobalData();
        PLOGD << "Callling internal '_icasrv_get_remote_info_impl' function...";

        if (!loadWFAPIWrapper()) return ICASRV_NO_WFAPI;

        std::lock_guard<std::mutex> taskLock(_glTaskMutex);

        if (_glMetricsTask && _glMetricsTask->isRunning()) {
            std::lock_guard<std::mutex> infoLock(_glClientInfoMutex);
            // Whatever the host's code raises comes back here as a C++ exception of the library's
            // own, so both locks are released on the way to the handlers below.
            if (v1Callback != nullptr) callHostCallback(v1Callback, &_glClientInfo);
            if (v2Callback != nullptr) callHostCallback(v2Callback, &_glClientInfo_v2);
            return ICASRV_OK;
        }

        // A cleanup on another thread may have unloaded WFAPI.DLL since the load above (it
        // unloads under _glTaskMutex, with no task running). A task started now would call into
        // the unloaded module, so the load is made sure of again under the lock.
        if (!loadWFAPIWrapper()) return ICASRV_NO_WFAPI;

        {
            std::lock_guard<std::mutex> infoLock(_glClientInfoMutex);
            PLOGI << "Resetting Platform Info ( V1 and V2 )";
            resetClientInfo(&_glClientInfo);
            resetClientInfo(&_glClientInfo_v2.base);
            resetClientInfoV2Ext(&_glClientInfo_v2.ext);
            PLOGI << "Platform Info _glClientInfo and _glClientInfo_v2 ( V1 and V2 ) has been resetted to default values";
        }

        PLOGD << "Creating a new metrics polling thread...";
        if (_glMetricsTask) _glMetricsTask->stop();
        if (_glMetricsThread && _glMetricsThread->joinable()) _glMetricsThread->join();

        // Only a start by a version-2 caller with a callback makes the task poll version 2.
        _glMetricsTask = std::make_unique<OxMetricsTask>(v2Callback != nullptr, dllMetricsTimings());

        // The task counts as running from its construction on. If its thread cannot be created,
        // a published task would make every later call deliver records that nothing polls, so
        // the task is dropped again and the next call starts afresh. The thread runs the task
        // object published just above; the holder changes again only after this thread is joined.
        try {
            OxMetricsTask* task = _glMetricsTask.get();
            _glMetricsThread = std::make_unique<std::thread>([task] { task->execute(); });
        } catch (...) {
            _glMetricsTask.reset();
            throw;
        }
        PLOGD << "Metrics polling thread created successfully!";
        return ICASRV_STARTED;
    } catch (const std::exception& e) {
        PLOGE << "[GET PLATFORM INFO] Exception: " << e.what();
    } catch (const char* text) {
        PLOGE << "[GET PLATFORM INFO] Exception: " << text;
    } catch (...) {
        PLOGE << "[GET PLATFORM INFO] Unknown Exception.";
    }
    return ICASRV_EXCEPTION;
}

int32_t PLX_CDECL icasrv_get_remote_info(RemoteInfoCallback callback, void* reserved) {
    return _icasrv_get_remote_info_impl(callback, nullptr, reserved);
}

int32_t PLX_CDECL icasrv_get_remote_info_v2(RemoteInfoCallback callback, void* reserved) {
    return _icasrv_get_remote_info_impl(nullptr, callback, reserved);
}
