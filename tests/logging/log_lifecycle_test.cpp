// The log's life in fresh processes (log_scenario.exe): plog's logger of instance 0 can be
// created only once per process, so each case that needs a new logger gets a new process.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "logging_test_env.h"
#include "support/log_capture.h"

namespace {

std::string lineAfter(const std::string& output, const std::string& prefix) {
    const size_t at = output.find(prefix);
    if (at == std::string::npos) return "<missing " + prefix + ">";
    const size_t start = at + prefix.size();
    std::string line = output.substr(start, output.find('\n', start) - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

long shutdownMs(const std::string& output) {
    std::smatch m;
    const std::regex re(R"(SHUTDOWN rc=(-?\d+) ms=(\d+))");
    if (!std::regex_search(output, m, re) || m[1] != "0") return -1;
    return std::stol(m[2]);
}

// Records of a log file. The reader takes narrow names, so the text goes through a copy at
// an ASCII name, without the UTF-8 byte order mark that plog puts at the start of a file.
std::vector<LogRecord> recordsOf(const std::wstring& file) {
    std::string text;
    if (FILE* in = _wfopen(file.c_str(), L"rb")) {
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, got);
        fclose(in);
    }
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring copy = std::wstring(temp) + L"plx_logtest_copy.log";
    if (FILE* out = _wfopen(copy.c_str(), L"wb")) {
        fwrite(text.data(), 1, text.size(), out);
        fclose(out);
    }
    auto records = readLogRecords(toUtf8(copy));
    DeleteFileW(copy.c_str());
    return records;
}

int count(const std::vector<LogRecord>& records, const std::string& message, const std::string& severity = "",
          const std::string& func = "") {
    int n = 0;
    for (const auto& r : records) {
        if (r.message == message && (severity.empty() || r.severity == severity) && (func.empty() || r.func == func)) {
            ++n;
        }
    }
    return n;
}

// The levels of "<tag> <level>" lines found, as a string such as "FEWI".
std::string levelsOf(const std::vector<LogRecord>& records, const std::string& tag) {
    std::string found;
    const char* names[] = {"fatal", "error", "warning", "info", "debug", "verbose"};
    const char letters[] = "FEWIDV";
    for (int i = 0; i < 6; ++i) {
        const int n = count(records, tag + " " + names[i]);
        if (n > 1) return "duplicated " + tag + " " + names[i];
        if (n == 1) found += letters[i];
    }
    return found;
}

std::string dump(const std::vector<LogRecord>& records) {
    std::string out;
    for (const auto& r : records) out += r.severity + " [" + r.func + "] " + r.message + "\n";
    return out;
}

}  // namespace

TEST(LogSetup, ConcurrentFirstCallsCreateOneLogWithOneBanner) {
    LogKeyBackup backup;
    ScratchFolder folder(L"banner");
    setServerDword(L"severity", 4);
    setServerString(L"path_root", folder.wide());

    const ScenarioRun run = runScenario(L"init-concurrent 8 log A shutdown log B");
    ASSERT_TRUE(run.finished && run.exitCode == 0) << run.output;
    const std::string path = lineAfter(run.output, "PATH=");
    const auto files = filesIn(folder.wide());
    ASSERT_EQ(files.size(), 1u) << run.output;
    EXPECT_EQ(path, folder.utf8() + "\\" + toUtf8(files[0]));
    EXPECT_TRUE(std::regex_match(toUtf8(files[0]),
                                 std::regex(R"(plx_srv_dll_citrix_\[\d{4}-\d\d-\d\d \d\d-\d\d-\d\d\]\.log)")))
        << toUtf8(files[0]);
    const long ms = shutdownMs(run.output);
    EXPECT_TRUE(ms >= 0 && ms < 2000) << run.output;

    const auto records = recordsOf(folder.wide() + L"\\" + files[0]);
    ASSERT_GE(records.size(), 5u) << dump(records);
    const char* banner[] = {"-------------------------------------", "--- CITRIX SERVER DLL LOG Started ---",
                            "-------------------------------------", "Initializing global data ... ",
                            "Initializing global data ... Ok"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(records[i].message, banner[i]) << dump(records);
        EXPECT_EQ(records[i].severity, "INFO");
        EXPECT_EQ(records[i].func, "initGlobalData");
    }
    EXPECT_EQ(count(records, "--- CITRIX SERVER DLL LOG Started ---"), 1) << "one initialisation only";
    EXPECT_EQ(count(records, "Initializing global data ... Ok"), 1);
    EXPECT_EQ(levelsOf(records, "A"), "FEWI") << "severity 4 stops at info";
    EXPECT_EQ(levelsOf(records, "B"), "FEWI") << "the logger outlives shutdownLog";
}

TEST(LogSetup, RollingKeepsMaxFileCountFilesInNonAsciiFolder) {
    LogKeyBackup backup;
    ScratchFolder folder(L"roll \u00e4\u00f6\u00fc \u65e5\u672c");
    setServerDword(L"severity", 3);
    setServerDword(L"max_file_size", 1000);
    setServerDword(L"max_file_count", 3);
    setServerString(L"path_root", folder.wide());

    // This process ends without shutdownLog, its monitor still running: it must exit cleanly.
    const ScenarioRun run = runScenario(L"init burst R 5 log W");
    ASSERT_TRUE(run.finished && run.exitCode == 0) << run.output;
    // A logger at warning: neither the banner nor the info burst is written.
    const auto files = filesIn(folder.wide());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(lineAfter(run.output, "PATH="), folder.utf8() + "\\" + toUtf8(files[0]));
    auto records = recordsOf(folder.wide() + L"\\" + files[0]);
    EXPECT_EQ(count(records, "--- CITRIX SERVER DLL LOG Started ---"), 0) << dump(records);
    EXPECT_EQ(levelsOf(records, "W"), "FEW");
    EXPECT_EQ(records.size(), 3u) << dump(records);

    setServerDword(L"severity", 4);
    removeTree(folder.wide());
    const ScenarioRun second = runScenario(L"init burst R 80 shutdown");
    ASSERT_TRUE(second.finished && second.exitCode == 0) << second.output;
    const auto rolled = filesIn(folder.wide());
    ASSERT_EQ(rolled.size(), 3u) << second.output;
    std::wstring base = fromUtf8(lineAfter(second.output, "PATH="));
    base = base.substr(base.find_last_of(L'\\') + 1);
    const std::wstring noExt = base.substr(0, base.size() - 4);
    EXPECT_EQ(rolled, (std::vector<std::wstring>{noExt + L".1.log", noExt + L".2.log", base}));
    records = recordsOf(folder.wide() + L"\\" + base);
    EXPECT_EQ(count(records, "R line 79 ...................................."), 1) << dump(records);
}

TEST(LogSetup, NoUsableFolderPrintsRedLineAndLogsNothing) {
    LogKeyBackup backup;
    ScratchFolder folder(L"unusable");
    DefaultFolderBlocker blocker;
    if (!blocker.active()) GTEST_SKIP() << "the default log folder holds files; it is left alone";
    folder.create();
    HANDLE file = CreateFileW((folder.wide() + L"\\file").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    setServerDword(L"severity", 6);
    setServerString(L"path_root", folder.wide() + L"\\file\\logs");

    const ScenarioRun run = runScenario(L"init logger init log X shutdown");
    ASSERT_TRUE(run.finished && run.exitCode == 0) << run.output;
    EXPECT_EQ(lineAfter(run.output, "Error : "), "cannot initialize Citrix Server DLL log at ; error = -602")
        << run.output;
    EXPECT_EQ(run.output.find("Error : ", run.output.find("Error : ") + 1), std::string::npos)
        << "a second initGlobalData does nothing:\n" << run.output;
    EXPECT_EQ(lineAfter(run.output, "PATH="), "");
    EXPECT_EQ(lineAfter(run.output, "LOGGER="), "0");
    EXPECT_GE(shutdownMs(run.output), 0) << run.output;
    EXPECT_EQ(filesIn(folder.wide()), std::vector<std::wstring>{L"file"});
}

TEST(RegistryMonitor, AppliesSeverityLiveInOneFileWithoutDuplicates) {
    LogKeyBackup backup;
    ScratchFolder folder(L"live");
    setServerString(L"path_root", folder.wide());

    // Each change is made once the previous one has been applied and the monitor, 1 s after
    // its read, watches again (a change made before that would go unnoticed).
    const ScenarioRun run = runScenario(
        L"init logger log A0 sleep 300 "
        L"dword severity 4 await-severity 4 3000 log A1 sleep 1300 "
        L"dword severity 6 await-severity 6 3000 log A2 sleep 1300 "
        L"dword severity 0 await-severity 0 3000 log A3 sleep 1300 "
        L"dword severity 9 await-severity 6 3000 log A4 sleep 1300 "
        L"badpath sleep 1000 log A5 sleep 100 "
        L"str path_root \"" + folder.wide() + L"\" sleep 1700 shutdown");
    ASSERT_TRUE(run.finished && run.exitCode == 0) << run.output;
    const std::string& out = run.output;
    EXPECT_EQ(lineAfter(out, "PATH="), "") << "logging off at start";
    EXPECT_EQ(lineAfter(out, "LOGGER="), "0");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(SEVERITY 4 after (\d+) ms)"))) << out;
    EXPECT_LT(std::stol(m[1]), 1500) << "the raised severity creates the log within about a second";
    EXPECT_NE(out.find("SEVERITY 6 after"), std::string::npos) << out;
    EXPECT_NE(out.find("SEVERITY 0 after"), std::string::npos) << out;
    const size_t severity9 = out.find("SEVERITY 6 after", out.find("SEVERITY 0 after"));
    EXPECT_NE(severity9, std::string::npos) << "9 is bounded to 6\n" << out;
    const long ms = shutdownMs(out);
    EXPECT_TRUE(ms >= 0 && ms < 2000) << "shutdown while the monitor waits for a change\n" << out;

    const auto files = filesIn(folder.wide());
    ASSERT_EQ(files.size(), 1u) << "one file for the whole run\n" << out;
    const auto records = recordsOf(folder.wide() + L"\\" + files[0]);
    EXPECT_EQ(levelsOf(records, "A0"), "");
    EXPECT_EQ(levelsOf(records, "A1"), "FEWI");
    EXPECT_EQ(levelsOf(records, "A2"), "FEWIDV") << "verbose in the same file";
    EXPECT_EQ(levelsOf(records, "A3"), "") << "severity 0 stops the logging";
    EXPECT_EQ(levelsOf(records, "A4"), "FEWIDV") << "and raising it resumes";
    EXPECT_EQ(levelsOf(records, "A5"), "FEWIDV") << "a failed read leaves the severity";
    EXPECT_EQ(count(records, "[Registry monitoring thread] Exception: bad conversion", "ERROR", "OxMonitorTask::run"), 1)
        << dump(records);
    EXPECT_EQ(count(records, "--- CITRIX SERVER DLL LOG Started ---"), 0) << "the banner was written while off";
}
