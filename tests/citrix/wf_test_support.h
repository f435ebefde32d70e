#pragma once
// Helpers shared by the WFAPI and channel tests: exact comparison of log records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "utils/system_error.h"

namespace wftest {

// The code that a failure line reports right after `prefix` + "[".
inline unsigned long codeAfter(const std::string& message, const std::string& prefix) {
    if (message.compare(0, prefix.size() + 1, prefix + "[") != 0) return ~0ul;
    return std::stoul(message.substr(prefix.size() + 1));
}

inline std::string describe(const LogRecord& r) { return r.severity + " [" + r.func + "] " + r.message; }

// The records must be exactly these, in this order.
inline void expectRecords(const std::vector<LogRecord>& got, const std::vector<LogRecord>& want) {
    std::string gotText, wantText;
    for (const auto& r : got) gotText += describe(r) + "\n";
    for (const auto& r : want) wantText += describe(r) + "\n";
    EXPECT_EQ(gotText, wantText);
}

// A failure line: `prefix` + "[code] : text" + `tail`, with whatever code the call left.
inline void expectFailureLine(const LogRecord& r, const std::string& severity, const std::string& func,
                              const std::string& prefix, const std::string& tail = "") {
    const unsigned long code = codeAfter(r.message, prefix);
    ASSERT_NE(code, ~0ul) << describe(r);
    EXPECT_EQ(describe(r), describe({severity, func, prefix + OxeUtils::errorSuffix(code) + tail}));
}

}  // namespace wftest
