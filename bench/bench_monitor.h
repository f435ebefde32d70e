#pragma once
// The registry monitor's figures (bench_monitor.cpp).
#include <functional>
#include <string>

namespace bench {

// Prints one figure with its goal and whether it meets it.
using ReportFn = std::function<void(const char* what, const std::string& figure, const char* goal, bool pass)>;

void sectionRegistryMonitor(const ReportFn& report);

}  // namespace bench
