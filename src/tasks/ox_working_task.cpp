#include "tasks/ox_working_task.h"

#include <windows.h>

#include <chrono>

namespace {

uint64_t systemNowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

OxWorkingTask::~OxWorkingTask() { m_stopFlag.store(1); }

void OxWorkingTask::execute() {
    // The flag is deliberately not cleared here: a task object is started only once, so it
    // is still 0 unless stop() came before the thread got going, and that request must win.
    try {
        run();
    } catch (...) {
    }
    m_stopFlag.store(1);
}

void OxWorkingTask::stop() { m_stopFlag.store(1); }

bool OxWorkingTask::isRunning() const { return m_stopFlag.load() == 0; }

bool OxWorkingTask::waitFor(int32_t totalMs, int32_t stepMs) {
    for (;;) {
        if (m_stopFlag.load() != 0) return true;
        // A plain Sleep: std::this_thread::sleep_for goes through winpthreads, which waits on
        // the thread's event object with a time-out; under Wine every such step is a round trip
        // to the wineserver, and the steps run a hundred times a second for the task's life.
        Sleep(stepMs > 0 ? static_cast<DWORD>(stepMs) : 0);
        const uint64_t elapsed = systemNowMs() - m_lastWakeMs.load();
        if (elapsed >= static_cast<uint64_t>(static_cast<int64_t>(totalMs))) break;
    }
    m_lastWakeMs.store(systemNowMs());
    return false;
}
