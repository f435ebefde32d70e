#pragma once
// The two get exports' shared implementation and the holders of the metrics polling task.
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "plx_srv_citrix.h"
#include "tasks/ox_metrics_task.h"

// Serialises the check-and-start of the polling task with its stop in icasrv_cleanup.
extern std::mutex _glTaskMutex;
extern std::unique_ptr<OxMetricsTask> _glMetricsTask;
extern std::unique_ptr<std::thread> _glMetricsThread;

// Hands _glClientInfo to v1Callback and/or _glClientInfo_v2 to v2Callback while polling runs
// (0), otherwise resets both records and starts polling (-6). -10: WFAPI could not be loaded;
// -3: an exception was caught and logged. reserved is never read.
int32_t _icasrv_get_remote_info_impl(RemoteInfoCallback v1Callback, RemoteInfoCallback v2Callback,
                                     void* reserved);
