#pragma once
// Scenario files: "key = value" lines that script the session (see README.md).
#include "sim_state.h"

namespace wfsim {

// Applies the file's settings over the current configuration. Every bad line is reported on
// stderr with its number and skipped. Returns 0, the first bad line's number, or -1 if the
// file cannot be read. The caller holds the state lock.
int loadScenarioFile(SimState& s, const wchar_t* path);

}  // namespace wfsim
