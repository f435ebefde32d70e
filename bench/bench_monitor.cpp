// The registry monitor's figures, on plx_core's monitor in this process (initLog starts it,
// shutdownLog stops it): how soon after a change notification it applies a new severity, and
// how long a shutdown takes while it waits for a notification, in its paced wait and in its
// settle wait. Runs with a fresh log key of its own, the previous one set aside meanwhile; the
// DLL's own monitor must be stopped by then, or it would create a log file of its own.
#include "bench_monitor.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <plog/Log.h>

#include "bench_support.h"
#include "logging/log_settings.h"
#include "logging/log_setup.h"

namespace bench {

namespace {

const wchar_t* const kServerKey = L"Software\\Orbivex\\Pathlens\\Log\\server";

void setSeverity(DWORD severity) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kServerKey, L"severity", REG_DWORD, &severity, sizeof severity);
}

bool severityApplied(int severity) {
    std::lock_guard<std::mutex> lock(_glLogMutex);
    return _glLogger != nullptr && _glLogger->getMaxSeverity() == static_cast<plog::Severity>(severity);
}

// Polls every millisecond until the monitor has applied the severity: the time since
// `changedAt`, or -1 after 3 s (a change made before the monitor armed its watch goes unseen).
double timeToApply(int severity, int64_t changedAt) {
    while (!severityApplied(severity)) {
        if (msSince(changedAt) > 3000) return -1;
        Sleep(1);
    }
    return msSince(changedAt);
}

double timedShutdown() {
    const int64_t t0 = nowTicks();
    shutdownLog();
    return msSince(t0);
}

}  // namespace

void sectionRegistryMonitor() {
    constexpr int kRuns = 10;  // of each of the three kinds
    std::printf("\nRegistry monitor (plx_core's, in this process), %d runs of each kind\n", kRuns);
    const bool aside = setLogKeyAside();
    // The severities toggle between fatal and error, and nothing here logs at either: the
    // logger never writes its file.
    const std::wstring folder = (std::filesystem::temp_directory_path() / L"plxbench-monitor").wstring();
    RegSetKeyValueW(HKEY_CURRENT_USER, kServerKey, L"path_root", REG_SZ, folder.c_str(),
                    static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    int severity = 1;
    setSeverity(severity);

    std::mt19937 random(11);
    std::vector<double> applyMs, notifyMs, pacedMs, settleMs;
    int failures = 0, settledEarly = 0;
    for (int run = 0; run < 3 * kRuns; ++run) {
        char path[MAX_PATH];
        failures += initLog(LogComponentServerDll, LogPlatformCitrix, path) != 0;
        // The monitor arms its first watch one 10 ms step after it starts; its settle wait ends
        // at the earliest 500 ms after that step.
        switch (run % 3) {
        case 0:  // waiting for a notification
            Sleep(150 + random() % 300);
            notifyMs.push_back(timedShutdown());
            break;
        case 1: {  // a change 150-950 ms after the start (applied 10-360 ms later), then the paced wait
            Sleep(150 + random() % 800);
            severity = 3 - severity;
            const int64_t changedAt = nowTicks();
            setSeverity(severity);
            const double ms = timeToApply(severity, changedAt);
            if (ms < 0) ++failures; else applyMs.push_back(ms);
            Sleep(100 + random() % 700);
            pacedMs.push_back(timedShutdown());
            break;
        }
        default:  // a change 150-450 ms after the start, then a shutdown while it settles
            Sleep(150 + random() % 300);
            severity = 3 - severity;
            setSeverity(severity);
            Sleep(30);
            settleMs.push_back(timedShutdown());
            settledEarly += severityApplied(severity);  // the machine was too slow for this timing
            break;
        }
    }
    restoreLogKey(aside);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);

    std::printf("  (%d runs failed; %d shutdowns meant for the settle wait came after it)\n", failures, settledEarly);
    const double applyMin = percentile(applyMs, 0), applyMax = percentile(applyMs, 100);
    report("severity applied after the change, min / max", fmt("%.1f / %.1f ms", applyMin, applyMax),
           "10-500 ms", failures == 0 && !applyMs.empty() && applyMin >= 10 && applyMax <= 500);
    const struct {
        const char* what;
        const std::vector<double>& ms;
    } shutdowns[] = {{"shutdown while it waits for a notification, p50 / max", notifyMs},
                     {"shutdown in its paced wait, p50 / max", pacedMs},
                     {"shutdown in its settle wait, p50 / max", settleMs}};
    for (const auto& s : shutdowns) {
        const double p50 = percentile(s.ms, 50), max = percentile(s.ms, 100);
        report(s.what, fmt("%.2f / %.2f ms", p50, max), "max <= 5 ms", failures == 0 && max <= 5);
    }
}

}  // namespace bench
