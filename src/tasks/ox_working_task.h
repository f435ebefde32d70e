#pragma once
// Base of the background tasks: a stop flag, a thread body, and an interruptible wait.
#include <atomic>
#include <cstdint>

class OxWorkingTask {
public:
    OxWorkingTask() = default;
    OxWorkingTask(const OxWorkingTask&) = delete;
    OxWorkingTask& operator=(const OxWorkingTask&) = delete;
    virtual ~OxWorkingTask();

    // Thread body: runs run(), drops whatever escapes it, then marks the task finished.
    void execute();
    // Asks the task to end; noticed at its next wait step.
    void stop();
    // True from construction until run() has returned or a stop was requested.
    bool isRunning() const;

protected:
    virtual void run() = 0;

    // Sleeps in steps of stepMs until totalMs have passed since the end of the previous
    // completed wait (so loops keep a steady cadence). True as soon as a stop is requested.
    bool waitFor(int32_t totalMs, int32_t stepMs);

private:
    std::atomic<int32_t> m_stopFlag{0};
    std::atomic<uint64_t> m_lastWakeMs{0};
};
