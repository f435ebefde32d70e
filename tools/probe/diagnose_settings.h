// The library's log settings switched to debug for one probe run and put back afterwards, safe
// against several probes at once and against a probe that died before it could put them back.
#pragma once

#include <string>

namespace diagnose {

// Saves the user's log settings (once for all probes that run at the same time), registers this
// process as one of their users and writes: severity 5, path_root = folder, and the default file
// limits, so that the run's log neither rolls away nor is cut short. Any settings left behind by
// a probe that died are put back first. Returns false (with the reason in error) when the
// settings could not be switched; notes receives what the user should know.
bool switchLogSettings(const std::wstring& folder, std::string& notes, std::string& error);

// Puts every saved value back exactly (type and data, absent ones deleted again) and deletes the
// keys the probe created, unless another probe of the same user still runs: then the last one
// does it. Runs once per process, whoever calls it first (the main thread or the Ctrl+C handler).
// Returns what happened, for the output.
std::string restoreLogSettings();

// Lets the other probes go on once the library has read its settings (its log file exists).
void releaseSetupLock();

}  // namespace diagnose
