#pragma once
// Reads back what the real plog file logger of this test process wrote.
#include <string>
#include <vector>

struct LogRecord {
    std::string severity;  // plog's name: NONE FATAL ERROR WARN INFO DEBUG VERB
    std::string func;      // function name the record carries
    std::string message;   // may span lines
};

inline std::string describe(const LogRecord& r) { return r.severity + " [" + r.func + "] " + r.message; }

// How many characters at the start of text have the shape ('0' a digit, '#' one or more digits,
// any other character itself); npos if they do not.
size_t matchShape(const std::string& text, const std::string& shape);

// Creates (once per process) a plog file logger of instance 0 at verbose severity, writing
// to a fresh file in the temp folder, unless a logger exists already. Returns the file path.
std::string ensureTestLog();

// Parses a plog text log file (a UTF-8 path) into records.
std::vector<LogRecord> readLogRecords(const std::string& path);

// Marks the end of the log file (or its start) on construction; records() are those written since.
class LogCapture {
public:
    explicit LogCapture(std::string path = ensureTestLog(), bool fromStart = false);
    std::vector<LogRecord> records() const;
    // True if some record since the mark has exactly this message (and severity, if given).
    bool has(const std::string& message, const std::string& severity = "") const;
    // Number of records since the mark whose message contains the text.
    int countContaining(const std::string& text) const;
    std::string dump() const;  // for failure messages

private:
    std::string m_path;
    mutable size_t m_offset;                    // read and parsed up to here
    mutable std::vector<LogRecord> m_records;  // those parsed so far
};
