#pragma once
// The registry monitor's figures (bench_monitor.cpp).

namespace bench {

void sectionRegistryMonitor();

}  // namespace bench
