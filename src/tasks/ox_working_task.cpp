#include "tasks/ox_working_task.h"

#include <windows.h>

#include <chrono>

namespace {

uint64_t systemNowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// A long wait is waited in parts of at most this long (whole steps), each followed by a look at
// the clock. Since Windows 8 a wait's time-out does not count time the machine spent asleep: a
// 300 s wait begun before a suspend would otherwise run its whole remaining time after the resume.
constexpr uint64_t kLongestSingleWaitMs = 3000;

// How long to wait when `elapsed` of `total` have passed: the time left rounded up to whole
// steps, at least one step, and at most the whole steps of kLongestSingleWaitMs (one step if a
// step is longer). A wait that long ends where a loop of single steps would have ended first.
DWORD wholeStepsLeftMs(uint64_t elapsed, uint64_t total, DWORD step) {
    uint64_t steps = 1;
    if (elapsed < total) steps = (total - elapsed - 1) / step + 1;
    uint64_t maxSteps = kLongestSingleWaitMs / step;
    if (maxSteps == 0) maxSteps = 1;
    return static_cast<DWORD>((steps < maxSteps ? steps : maxSteps) * step);
}

}  // namespace

void OxWorkingTask::EventCloser::operator()(void* event) const { CloseHandle(event); }

OxWorkingTask::OxWorkingTask() : m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr), EventCloser{}) {}

OxWorkingTask::~OxWorkingTask() { requestStop(); }

void OxWorkingTask::requestStop() {
    m_stopFlag.store(1);
    if (m_stopEvent.get() != nullptr) SetEvent(m_stopEvent.get());
}

void OxWorkingTask::execute() {
    // The flag is deliberately not cleared here: a task object is started only once, so it
    // is still 0 unless stop() came before the thread got going, and that request must win.
    try {
        run();
    } catch (...) {
    }
    requestStop();
}

void OxWorkingTask::stop() { requestStop(); }

bool OxWorkingTask::isRunning() const { return m_stopFlag.load() == 0; }

bool OxWorkingTask::waitFor(int32_t totalMs, int32_t stepMs) {
    // A step of 0 or less counts as 1 ms, so that the wait still blocks and still ends.
    const DWORD step = stepMs > 0 ? static_cast<DWORD>(stepMs) : 1;
    const uint64_t total = static_cast<uint64_t>(static_cast<int64_t>(totalMs));
    const HANDLE stopEvent = m_stopEvent.get();
    for (;;) {
        if (m_stopFlag.load() != 0) return true;
        // One wait on the stop event for all the steps that are left (up to a few seconds), rather
        // than a sleep per step: the thread wakes when the wait is due, or at once when stop()
        // sets the event. The time-out runs on the tick count, so a system clock that steps back
        // during it cannot lengthen it; the wall clock, unlike the time-out, counts time asleep.
        // Without the event (or if waiting on it fails) the wait falls back to a plain Sleep per
        // step and sees the flag within a step.
        const DWORD waitMs = wholeStepsLeftMs(systemNowMs() - m_lastWakeMs.load(), total, step);
        const DWORD waited = stopEvent != nullptr ? WaitForSingleObject(stopEvent, waitMs) : WAIT_FAILED;
        // Woken by the event: a stop, even where the clock alone would end the wait.
        if (waited == WAIT_OBJECT_0) return true;
        if (waited == WAIT_FAILED) Sleep(step);
        // Unsigned: a clock that has stepped back since the previous wait ended makes the
        // difference huge, which ends the wait.
        if (systemNowMs() - m_lastWakeMs.load() >= total) break;
    }
    m_lastWakeMs.store(systemNowMs());
    return false;
}
