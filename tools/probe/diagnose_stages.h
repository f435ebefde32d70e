// The stages from loading WFAPI.DLL to the data's arrival, told from the library's log and the
// record the probe received.
#pragma once

#include <string>
#include <vector>

namespace diagnose {

// One record of the library's log (plog's text format); raw is its first line as written.
struct LogLine {
    std::string severity, thread, func, message, raw;
};
// Parses a log file's text; lines that do not start a record continue the one before.
void parseLog(const std::string& text, std::vector<LogLine>& out);

// What the probe's own run delivered: present when it printed a record.
struct RecordFacts {
    bool present = false;
    long latency = -1, readFailurePercent = -1;
    std::string userName, computerName, extText1;
};

enum class Status { NotReached, Ok, Failed, Skipped };

struct Stage {
    const char* title;
    Status status = Status::NotReached;
    std::string shownBy;  // the log line (or the record's fact) that shows the status
    std::string advice;   // what to do, for a failed stage
};

// The nine stages in their order; the version-2 stage is Skipped unless v2.
std::vector<Stage> tellStages(const std::vector<LogLine>& log, const RecordFacts& record, bool v2);

}  // namespace diagnose
