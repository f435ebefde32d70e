#pragma once
// Base of the background tasks: a stop flag, a thread body, and an interruptible wait.
#include <atomic>
#include <cstdint>

#include "utils/oxe_auto_handle.h"

class OxWorkingTask {
public:
    OxWorkingTask();
    OxWorkingTask(const OxWorkingTask&) = delete;
    OxWorkingTask& operator=(const OxWorkingTask&) = delete;
    virtual ~OxWorkingTask();

    // Thread body: runs run(), drops whatever escapes it, then marks the task finished.
    void execute();
    // Asks the task to end; a wait in progress returns at once.
    void stop();
    // True from construction until run() has returned or a stop was requested.
    bool isRunning() const;

protected:
    virtual void run() = 0;

    // Waits until totalMs have passed since the end of the previous completed wait (so loops
    // keep a steady cadence), counted in whole steps of stepMs from the call, at least one.
    // True as soon as a stop is requested.
    bool waitFor(int32_t totalMs, int32_t stepMs);

private:
    // Closes the stop event (a Windows HANDLE, kept here as void* so that this header does not
    // pull in windows.h).
    struct EventCloser {
        void operator()(void* event) const;
    };

    // Sets the flag and the event together: every place that ends the task goes through here.
    void requestStop();

    std::atomic<int32_t> m_stopFlag{0};
    std::atomic<uint64_t> m_lastWakeMs{0};
    // Manual-reset, set once with the flag and never reset: the waits block on it instead of
    // polling the flag, so a waiting task costs nothing until its wait is due or it is stopped.
    // Null only if it could not be created; the waits then poll the flag step by step.
    OxeUtils::OxeAutoHandle<void*, EventCloser> m_stopEvent;
};
