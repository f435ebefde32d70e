#include "support/log_capture.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <plog/Initializers/RollingFileInitializer.h>
#include <plog/Log.h>
#include <regex>
#include <sstream>

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

std::vector<LogRecord> parseRecords(std::string text) {
    // plog starts every new file with a UTF-8 byte order mark.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    // Undo plog's native line ends, so a message reads as it was logged (a system error text
    // keeps its own CR LF).
    std::string unix;
    unix.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        unix.push_back(text[i]);
    }
    text.swap(unix);
    static const std::regex head(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (NONE|FATAL|ERROR|WARN|INFO|DEBUG|VERB)\s*\[\d+\] \[([^\]]*)@\d+\] ([\s\S]*)$)");
    std::vector<LogRecord> records;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, head)) {
            records.push_back({m[1], m[2], m[3]});
        } else if (!records.empty()) {
            records.back().message += "\n" + line;
        }
    }
    return records;
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

std::vector<LogRecord> readLogRecords(const std::string& path) { return parseRecords(readFileFrom(path, 0)); }

LogCapture::LogCapture(std::string path) : m_path(std::move(path)) {
    std::ifstream in(std::filesystem::u8path(m_path), std::ios::binary | std::ios::ate);
    m_offset = in ? static_cast<size_t>(in.tellg()) : 0;
}

std::vector<LogRecord> LogCapture::records() const { return parseRecords(readFileFrom(m_path, m_offset)); }

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
