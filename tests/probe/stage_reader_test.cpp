// The probe's stage reader over made-up logs: what only a cycle's order can tell.
#include <gtest/gtest.h>

#include "diagnose_stages.h"

namespace {

std::string line(const char* severity, const char* func, const std::string& message) {
    return std::string("2026-12-06 10:00:00.000 ") + severity + " [7] [" + func + "@1] " + message + "\r\n";
}
const std::string kCycle = line("DEBUG", "queryVDAVersion", "Calling WFQuerySessionInformation for WFVersion...") +
                           line("DEBUG", "queryVDAVersion", " === WFQuerySessionInformation success; VDA Version : ") +
                           "\tmajor = 7; \r\n";
const std::string kActive = line("DEBUG", "querySessionState",
    " === WFQuerySessionInformation success; WFConnectState = WFActive [User logged on to WinStation]");
const std::string kOpened = line("DEBUG", "queryOXChannelPresence", "Virtual channel oxlens found") +
    line("INFO", "OxMetricsTask::run", "[METRICS THREAD] The virtual channel 'OXLENS' has been open sucessfully");
const std::string kShort = line("ERROR", "SendDataReq_v1", "ERROR reading length...") +
    line("ERROR", "SendDataReq_v1", "VirtualChannelRead Too Short - read 2088 bytes\n") +
    line("ERROR", "OxMetricsTask::run",
         "[METRICS THREAD] SendDataReq_v1 failed with error : [0] : Success.; continue requests...");
const std::string kNoNames = line("ERROR", "OxMetricsTask::run",
                                  "[METRICS THREAD] : [clientInfo.userName] or [clientInfo.computerName] is empty.");

struct ReaderCase {
    const char* what;
    std::string log;
    // o ok, F failed, - not reached, s skipped; a part of the failed stage's line, else all of the ping stage's.
    const char *statuses, *shownBy;
    diagnose::RecordFacts record;
};

}  // namespace

TEST(StageReader, ACycleTellsCausesApartFromConsequences) {
    const ReaderCase cases[] = {
        // Names missing after a short answer: the short answer is the cause.
        {"short answers", "\xEF\xBB\xBF" + kCycle + kActive + kOpened + kShort + kCycle + kActive + kShort + kNoNames,
         "ooooooFso", "VirtualChannelRead Too Short - read 2088 bytes", {}},
        {"nameless answers", kCycle + kActive + kOpened + kNoNames, "ooooooFso", "is empty.", {}},
        // A disconnect in a later cycle: the last cycle counts; what passed before stays passed.
        {"disconnected later", kCycle + kActive + kOpened + kCycle + line("DEBUG", "querySessionState",
             " === WFQuerySessionInformation success; WFConnectState = "
             "WFDisconnected [WinStation logged on without client]"), "ooFoo--s-", "WFDisconnected", {}},
        // A ping that failed in an early cycle, then a record with a measured latency: the ping works.
        {"a ping failed once", kCycle + kActive + kOpened +
             line("ERROR", "SendBeginAndEndPing", "PONG response eeading error:258") + kCycle + kActive,
         "oooooooso", "latency 21 ms in the record", {true, 21, 0, "u", "PC", ""}},
    };
    for (const ReaderCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<diagnose::LogLine> log;
        diagnose::parseLog(c.log, log);
        const std::vector<diagnose::Stage> stages = diagnose::tellStages(log, c.record, false);
        std::string statuses;  // one letter each, in the order of diagnose::Status
        for (const auto& s : stages) statuses += "-oFs"[int(s.status)];
        EXPECT_EQ(statuses, c.statuses);
        const size_t failed = statuses.find('F');
        if (failed == std::string::npos) {
            EXPECT_EQ(stages[5].shownBy, c.shownBy);
        } else {
            EXPECT_NE(stages[failed].shownBy.find(c.shownBy), std::string::npos) << stages[failed].shownBy;
            EXPECT_NE(stages[failed].shownBy.find("2026-12-06 10:00:00.000 "), std::string::npos);
            EXPECT_FALSE(stages[failed].advice.empty());
        }
    }
}
