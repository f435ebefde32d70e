#include "support/log_capture.h"

#include <windows.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <plog/Initializers/RollingFileInitializer.h>
#include <plog/Log.h>

namespace {

std::string g_testLogPath;

std::string readFileFrom(const std::string& path, size_t offset) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    if (!in) return {};
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<size_t>(size) <= offset) return {};
    in.seekg(static_cast<std::streamoff>(offset));
    std::string data(static_cast<size_t>(size) - offset, '\0');
    in.read(&data[0], static_cast<std::streamsize>(data.size()));
    return data;
}

// A record's first line: "YYYY-MM-DD hh:mm:ss.mmm SEVERITY [tid] [function@line] message".
bool parseHead(const std::string& line, LogRecord* record) {
    static const char shape[] = "0000-00-00 00:00:00.000 ";
    if (line.size() < sizeof shape - 1) return false;
    for (size_t i = 0; i + 1 < sizeof shape; ++i)
        if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) return false;
    size_t at = sizeof shape - 1;
    const size_t severityEnd = line.find_first_of(" [", at);
    if (severityEnd == std::string::npos) return false;
    const std::string severity = line.substr(at, severityEnd - at);
    bool known = false;
    for (const char* s : {"NONE", "FATAL", "ERROR", "WARN", "INFO", "DEBUG", "VERB"}) known |= severity == s;
    if (!known) return false;
    at = line.find_first_not_of(' ', severityEnd);
    const size_t tidEnd = at == std::string::npos ? at : line.find(']', at);
    if (tidEnd == std::string::npos || line[at] != '[' || tidEnd == at + 1 ||
        line.find_first_not_of("0123456789", at + 1) != tidEnd || line.compare(tidEnd + 1, 2, " [") != 0)
        return false;
    const size_t funcStart = tidEnd + 3, funcEnd = line.find(']', funcStart);
    const size_t atSign = funcEnd == std::string::npos ? funcEnd : line.rfind('@', funcEnd);
    if (atSign == std::string::npos || atSign < funcStart || atSign + 1 == funcEnd ||
        line.find_first_not_of("0123456789", atSign + 1) != funcEnd || line.compare(funcEnd + 1, 1, " ") != 0)
        return false;
    *record = {severity, line.substr(funcStart, atSign - funcStart), line.substr(funcEnd + 2)};
    return true;
}

// Adds the whole lines of text to records (a line that is no record's first continues the last
// record's message); returns how many bytes it used: the last line waits for its line end.
size_t parseLines(const std::string& text, bool fileStart, std::vector<LogRecord>* records) {
    size_t at = 0;
    if (fileStart && text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;  // plog's byte order mark
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

std::string ensureTestLog() {
    if (!g_testLogPath.empty()) return g_testLogPath;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"plx_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                        std::to_wstring(GetTickCount()) + L".log";
    char narrow[MAX_PATH * 3];
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    g_testLogPath = narrow;
    if (plog::get<0>() == nullptr) plog::init(plog::verbose, g_testLogPath.c_str());
    return g_testLogPath;
}

std::vector<LogRecord> readLogRecords(const std::string& path) {
    std::vector<LogRecord> records;
    parseLines(readFileFrom(path, 0), true, &records);
    return records;
}

LogCapture::LogCapture(std::string path) : m_path(std::move(path)) {
    std::ifstream in(std::filesystem::u8path(m_path), std::ios::binary | std::ios::ate);
    m_offset = in ? static_cast<size_t>(in.tellg()) : 0;
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
