#include "support/log_capture.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <plog/Initializers/RollingFileInitializer.h>
#include <plog/Log.h>

namespace {

std::string g_testLogPath;

std::string readFileFrom(const std::string& path, size_t offset) {  // "" when offset is at or past the end
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A record's first line: "YYYY-MM-DD hh:mm:ss.mmm SEVERITY [tid] [function@line] message".
bool parseHead(const std::string& line, LogRecord* record) {
    const size_t npos = std::string::npos, at = matchShape(line, "0000-00-00 00:00:00.000 ");
    const size_t severityEnd = at == npos ? npos : line.find_first_of(" [", at);
    if (severityEnd == npos) return false;
    const std::string severity = line.substr(at, severityEnd - at);
    const bool known = std::string(" NONE FATAL ERROR WARN INFO DEBUG VERB ").find(" " + severity + " ") != npos;
    const size_t tidStart = line.find_first_not_of(' ', severityEnd);
    const size_t tidLength = !known || tidStart == npos ? npos : matchShape(line.substr(tidStart), "[#] [");
    if (tidLength == npos) return false;
    // The function's name runs to the first ']' and ends with "@line".
    const size_t funcStart = tidStart + tidLength, funcEnd = line.find(']', funcStart);
    const size_t atSign = funcEnd == npos ? npos : line.rfind('@', funcEnd);
    if (atSign == npos || atSign < funcStart || matchShape(line.substr(atSign), "@#] ") == npos) return false;
    *record = {severity, line.substr(funcStart, atSign - funcStart), line.substr(funcEnd + 2)};
    return true;
}

// Adds the whole lines of text to records (a line that is no record's first continues the last
// record's message); returns how many bytes it used: the last line waits for its line end.
size_t parseLines(const std::string& text, bool fileStart, std::vector<LogRecord>* records) {
    size_t at = fileStart && text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;  // after plog's byte order mark
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        // plog ends lines with CR LF; a message's own CR LF (a system error text) keeps its CR.
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        LogRecord record;
        if (parseHead(line, &record)) records->push_back(std::move(record));
        else if (!records->empty()) records->back().message += "\n" + line;
    }
    return at;
}

}  // namespace

size_t matchShape(const std::string& text, const std::string& shape) {
    size_t at = 0;
    for (const char c : shape) {
        const bool digit = at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
        if (c == '0' || c == '#' ? !digit : at >= text.size() || text[at] != c) return std::string::npos;
        at = c == '#' ? std::min(text.find_first_not_of("0123456789", at), text.size()) : at + 1;
    }
    return at;
}

std::string ensureTestLog() {
    if (!g_testLogPath.empty()) return g_testLogPath;
    const std::string name = "plx_test_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount());
    g_testLogPath = (std::filesystem::temp_directory_path() / (name + ".log")).u8string();
    if (plog::get<0>() == nullptr) plog::init(plog::verbose, g_testLogPath.c_str());
    return g_testLogPath;
}

std::vector<LogRecord> readLogRecords(const std::string& path) { return LogCapture(path, true).records(); }

LogCapture::LogCapture(std::string path, bool fromStart) : m_path(std::move(path)) {
    std::ifstream in(std::filesystem::u8path(m_path), std::ios::binary | std::ios::ate);
    m_offset = in && !fromStart ? static_cast<size_t>(in.tellg()) : 0;
}

std::vector<LogRecord> LogCapture::records() const {
    // Only what was written since the last look is read and parsed.
    m_offset += parseLines(readFileFrom(m_path, m_offset), m_offset == 0, &m_records);
    return m_records;
}

bool LogCapture::has(const std::string& message, const std::string& severity) const {
    for (const auto& r : records())
        if (r.message == message && (severity.empty() || r.severity == severity)) return true;
    return false;
}

int LogCapture::countContaining(const std::string& text) const {
    int n = 0;
    for (const auto& r : records())
        if (r.message.find(text) != std::string::npos) ++n;
    return n;
}

std::string LogCapture::dump() const {
    std::string out;
    for (const auto& r : records()) out += describe(r) + "\n";
    return out;
}
