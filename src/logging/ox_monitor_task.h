#pragma once
// Watches the log settings in the registry and applies a changed severity live.
#include <cstdint>

#include "tasks/ox_working_task.h"

class OxMonitorTask : public OxWorkingTask {
public:
    OxMonitorTask(int32_t component, int32_t platform) : m_component(component), m_platform(platform) {}

protected:
    void run() override;

private:
    int32_t m_component;
    int32_t m_platform;
};
