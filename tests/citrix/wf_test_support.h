#pragma once
// Helpers shared by the WFAPI and channel tests: exact comparison of log records.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "utils/system_error.h"

namespace wftest {

// The records written to the test log since construction. The file is written in text
// mode, so a system error text's own "\r\n" arrives as "\r\r\n": every carriage return at
// a line end is dropped before a line is parsed, and lines that do not start a record
// continue the message of the one before, joined by "\n".
class Log {
public:
    Log() : m_path(ensureTestLog()), m_offset(fileText().size()) {}

    std::vector<LogRecord> records() const {
        static const std::regex head(
            R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (NONE|FATAL|ERROR|WARN|INFO|DEBUG|VERB)\s*\[\d+\] \[([^\]]*)@\d+\] ([\s\S]*)$)");
        std::vector<LogRecord> out;
        std::string text = fileText().substr(m_offset);
        if (text.rfind("\xef\xbb\xbf", 0) == 0) text.erase(0, 3);  // the byte order mark of a new file
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            while (!line.empty() && line.back() == '\r') line.pop_back();
            std::smatch m;
            if (std::regex_match(line, m, head)) {
                out.push_back({m[1], m[2], m[3]});
            } else if (!out.empty()) {
                out.back().message += "\n" + line;
            }
        }
        return out;
    }
    bool has(const std::string& message, const std::string& severity = "") const {
        for (const auto& r : records())
            if (r.message == message && (severity.empty() || r.severity == severity)) return true;
        return false;
    }
    int countContaining(const std::string& text) const {
        int n = 0;
        for (const auto& r : records()) n += r.message.find(text) != std::string::npos;
        return n;
    }
    std::string dump() const {
        std::string out;
        for (const auto& r : records()) out += r.severity + " [" + r.func + "] " + r.message + "\n";
        return out;
    }

private:
    std::string fileText() const {
        std::ifstream in(m_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string m_path;
    size_t m_offset;
};

// A record as the log file shows it once read back: the parser drops the carriage return
// of a line break, so an expected text is compared with its "\r\n" turned into "\n".
inline std::string asLogged(std::string text) {
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
    return text;
}

// The "[code] : text" tail of a failure line, as logged.
inline std::string loggedSuffix(unsigned long code) { return asLogged(OxeUtils::errorSuffix(code)); }

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
    EXPECT_EQ(describe(r), describe({severity, func, prefix + loggedSuffix(code) + asLogged(tail)}));
}

}  // namespace wftest
