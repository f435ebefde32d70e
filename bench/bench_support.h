#pragma once
// Equipment shared by the benchmark and the soak: a fine clock, percentiles, the product DLL
// loaded by path as a host loads it, and the facts of the machine the figures come from.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plx_build_info.h"
#include "plx_srv_citrix.h"

namespace bench {

// Performance-counter ticks and their conversion.
int64_t nowTicks();
double ticksToUs(int64_t ticks);
double ticksToMs(int64_t ticks);
double msSince(int64_t startTicks);

// The p-th percentile (0..100) of the values, nearest rank; 0 for none.
double percentile(std::vector<double> values, double p);

// Prints one figure of the benchmark with its goal; a figure outside its goal is a MISS, counted
// by misses(), never an abort. fmt formats up to three numbers into a figure's text.
void report(const char* what, const std::string& figure, const char* goal, bool pass);
int misses();
std::string fmt(const char* format, double a, double b = 0, double c = 0);

// The folder of the running program (the build tree's bin/).
std::wstring exeDir();
std::string toUtf8(const std::wstring& text);

// The plug-in (PLX_DLL_NAME) beside the program, loaded with LoadLibraryW and its three exports
// taken with GetProcAddress. Exits the process with a message when that fails.
struct ProductDll {
    HMODULE module = nullptr;
    icasrv_get_remote_info_fn get = nullptr;
    icasrv_get_remote_info_v2_fn getV2 = nullptr;
    icasrv_cleanup_fn cleanup = nullptr;
};
ProductDll loadProductDll();

// An export of a loaded module as the given function pointer type (null if missing).
template <typename Fn>
Fn procAs(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// "cores=2 cpu=... wine=8.0 date=2026-01-31 12:00" for the heading of a report.
std::string machineFacts();

// HKCU\Software\Orbivex\Pathlens\Log\server "severity", or -1 when not set.
int logSeverity();

// HKCU\Software\Orbivex\Pathlens\Log, the key the library's registry monitor watches.
extern const wchar_t* const kLogKey;
// Renames the log key aside (to "Log.plxbench-aside") so that a figure can be taken without it;
// true if there was a key to set aside. A key left aside by an interrupted run is put back first.
bool setLogKeyAside();
// Removes whatever log key is there now and, if one was set aside, puts it back.
void restoreLogKey(bool wasAside);

}  // namespace bench
