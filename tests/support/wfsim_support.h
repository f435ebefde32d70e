#pragma once
// The substitute WFAPI.DLL's accounting, log records compared exactly, and the fixture of the
// tests that drive the core library against the substitute.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "citrix/wfapi_loader.h"
#include "support/log_capture.h"
#include "wfsim_control.h"

inline WfsimCounters counters() {
    WfsimCounters c{};
    wfsim_get_counters(&c);
    return c;
}

// The sizes every read since the last reset asked for (at most the first 4096).
inline std::vector<DWORD> readSizes() {
    std::vector<DWORD> sizes(4096);
    sizes.resize(std::min<size_t>(wfsim_read_sizes(sizes.data(), 4096), 4096));
    return sizes;
}

// "" when the substitute has nothing outstanding, saw no bad release and no traffic on a closed or stale channel.
inline std::string accountingProblems() {
    const WfsimCounters c = counters();
    const LONG n[] = {wfsim_outstanding(), c.badFrees, c.badChannelCloses, c.badSmcCloses, c.staleChannelTraffic};
    const char* what[] = {"outstanding ", "bad frees ", "bad channel closes ", "bad session handle closes ",
                          "reads or writes on a closed or stale channel "};
    std::string problems;
    for (int i = 0; i < 5; ++i) problems += n[i] ? what[i] + std::to_string(n[i]) + "; " : "";
    return problems;
}

// The records must be exactly these, in this order.
inline void expectRecords(const std::vector<LogRecord>& got, const std::vector<LogRecord>& want) {
    std::string gotText, wantText;
    for (const auto& r : got) gotText += describe(r) + "\n";
    for (const auto& r : want) wantText += describe(r) + "\n";
    EXPECT_EQ(gotText, wantText);
}

// "[code] : " and the system's text for the code, as error lines end: read here with FormatMessageA,
// not with the library's own helper.
inline std::string errorText(DWORD code) {
    char text[1024] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text, nullptr);
    return "[" + std::to_string(code) + "] : " + text;
}

inline std::string windowsSessionId() {  // as the log lines show it
    DWORD id = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &id), std::to_string(id);
}

// A handle as the log lines show it: all its hexadecimal digits, upper case.
inline std::string hexDigits(const void* handle) {
    char text[32];
    snprintf(text, sizeof text, "%0*llX", int(2 * sizeof handle), static_cast<unsigned long long>(uintptr_t(handle)));
    return text;
}

// Each test starts from the substitute's healthy session and must release all it got, each thing once.
class WfapiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureTestLog();
        ASSERT_TRUE(loadWFAPIWrapper());
        wfsim_reset();
    }
    void TearDown() override { EXPECT_EQ(accountingProblems(), ""); }
};
