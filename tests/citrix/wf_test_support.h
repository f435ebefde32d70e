#pragma once
// Log records compared exactly, and the fixture of the tests against the substitute WFAPI.DLL.
#include <gtest/gtest.h>

#include <cstdio>

#include "citrix/wfapi_loader.h"
#include "support/log_capture.h"
#include "utils/system_error.h"
#include "wfsim_control.h"

namespace wftest {

inline std::string describe(const LogRecord& r) { return r.severity + " [" + r.func + "] " + r.message; }

// The records must be exactly these, in this order.
inline void expectRecords(const std::vector<LogRecord>& got, const std::vector<LogRecord>& want) {
    std::string gotText, wantText;
    for (const auto& r : got) gotText += describe(r) + "\n";
    for (const auto& r : want) wantText += describe(r) + "\n";
    EXPECT_EQ(gotText, wantText);
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
    void TearDown() override {
        WfsimCounters c{};
        wfsim_get_counters(&c);
        EXPECT_TRUE(c.badSmcCloses == 0 && c.badChannelCloses == 0 && c.badFrees == 0) << "released twice or unknown";
        EXPECT_EQ(wfsim_outstanding(), 0) << "a handle or buffer was not released";
    }
};

}  // namespace wftest
