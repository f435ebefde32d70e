// The logging subsystem against the real registry of the Wine prefix and real folders; the log's
// life in fresh processes of this program, as plog's logger of instance 0 exists once per process.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <plog/Log.h>

#include "logging/log_settings.h"
#include "logging/log_setup.h"
#include "plx_build_info.h"
#include "support/log_capture.h"

namespace fs = std::filesystem;

namespace {

// A log file's name, by default as a process makes it first; the same second's second process adds its id.
bool isLogName(const std::string& name, const std::string& end = ".log") {
    return matchShape(name, "plx_srv_dll_citrix_[0000-00-00 00-00-00]" + end) == name.size();
}
// A value under HKCU\Software\Orbivex\Pathlens\Log\<sub> (the Log key itself for an empty sub).
void setValue(const wchar_t* name, DWORD type, const void* data, size_t size, const std::wstring& sub = L"server") {
    const std::wstring key = std::wstring(LOG_SETTINGS_KEY_PATH) + (sub.empty() ? L"" : L"\\" + sub);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name, type, data, DWORD(size)), ERROR_SUCCESS);
}
void setDword(const wchar_t* name, DWORD value, const std::wstring& sub = L"server") {
    setValue(name, REG_DWORD, &value, sizeof value, sub);
}
void setRoot(const std::wstring& folder) {  // path_root of the server, with its terminating NUL
    setValue(L"path_root", REG_SZ, folder.c_str(), (folder.size() + 1) * sizeof(wchar_t));
}

// Sets the settings key aside, so that a test starts without it, and puts it back. A backup that a
// killed run left holds the settings of before that run: it is put back first, never dropped.
struct LogKeyBackup {
    static void rename(const std::wstring& from, const wchar_t* to) {
        RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Orbivex\\Pathlens\\" + std::wstring(to)).c_str());
        RegRenameKey(HKEY_CURRENT_USER, (L"Software\\Orbivex\\Pathlens\\" + from).c_str(), to);
    }
    LogKeyBackup() {
        HKEY left = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Orbivex\\Pathlens\\Log.test-backup", 0, KEY_READ, &left) == 0)
            RegCloseKey(left), rename(L"Log.test-backup", L"Log");
        rename(L"Log", L"Log.test-backup");
    }
    ~LogKeyBackup() { rename(L"Log.test-backup", L"Log"); }
};

struct Scratch {  // a fresh folder, removed with what it holds at the end
    const fs::path path;
    explicit Scratch(const std::wstring& leaf) : path(fs::temp_directory_path() / leaf) { fs::remove_all(path); }
    ~Scratch() { fs::remove_all(path); }
};

std::vector<fs::path> filesIn(const fs::path& folder) {  // sorted
    std::error_code ec;
    std::vector<fs::path> files(fs::directory_iterator(folder, ec), fs::directory_iterator());
    std::sort(files.begin(), files.end());
    return files;
}

std::string defaultLogFolder() {
    char appData[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, appData);
    return std::string(appData) + "\\Orbivex\\Pathlens\\Logs";
}

std::string built(const std::string& folder) {
    std::string path = "untouched";
    EXPECT_EQ(buildLogFilePath(LogComponentServerDll, LogPlatformCitrix, folder, &path), 0) << folder;
    const size_t cut = path.find_last_of('\\');
    EXPECT_TRUE(cut != std::string::npos && isLogName(path.substr(cut + 1))) << path;
    return path.substr(0, cut);
}

// When active, makes the default log folder uncreatable by a file in its place, its old self set aside;
// it first puts back what an earlier (perhaps killed) run left.
struct DefaultFolderBlocker {
    static bool reset(bool block = false) {
        std::error_code ec;
        const fs::path folder = defaultLogFolder(), aside = defaultLogFolder() + ".test-aside";
        if (fs::is_regular_file(folder, ec)) fs::remove(folder, ec);
        if (fs::exists(aside, ec)) fs::rename(aside, folder, ec);
        if (block) fs::rename(folder, aside, ec), std::ofstream(folder) << "x";
        return block;
    }
    const bool active;
    explicit DefaultFolderBlocker(bool block) : active(reset(block)) {}
    ~DefaultFolderBlocker() { if (active) reset(); }
};

// How often the registry monitor has armed its watch: this program's import of
// RegNotifyChangeKeyValue, which only the monitor calls, is routed through countedNotify.
std::atomic<int> g_arms{0};
decltype(&RegNotifyChangeKeyValue) g_notify = nullptr;
LONG WINAPI countedNotify(HKEY key, BOOL tree, DWORD filter, HANDLE event, BOOL async) {
    const LONG rc = g_notify(key, tree, filter, event, async);
    g_arms += rc == ERROR_SUCCESS;
    return rc;
}
bool countArmings() {  // patches the import address table; false if the import is not found
    g_notify = reinterpret_cast<decltype(g_notify)>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegNotifyChangeKeyValue")));
    auto* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    bool patched = false;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
             base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress); d->Name; ++d)
        for (auto* t = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk); t->u1.Function; ++t) {
            if (t->u1.Function != reinterpret_cast<ULONG_PTR>(g_notify)) continue;
            DWORD old = 0;
            VirtualProtect(&t->u1.Function, sizeof t->u1.Function, PAGE_READWRITE, &old);
            t->u1.Function = reinterpret_cast<ULONG_PTR>(&countedNotify);
            VirtualProtect(&t->u1.Function, sizeof t->u1.Function, old, &old);
            patched = true;
        }
    return patched;
}

// Runs the steps in a fresh process of this program (LogLife.DISABLED_Scenario): what it printed,
// without gtest's own lines, then "EXIT=<code>".
std::string runScenario(const std::wstring& steps, const fs::path& root = {}) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    _wputenv_s(L"PLX_LOG_SCENARIO", steps.c_str());
    _wputenv_s(L"PLX_LOG_ROOT", root.empty() ? L"-" : root.c_str());
    const std::wstring command = std::wstring(self) + L" --gtest_brief=1 --gtest_also_run_disabled_tests"
                                                      L" --gtest_filter=LogLife.DISABLED_Scenario";
    FILE* pipe = _wpopen(command.c_str(), L"rt");
    std::string output;
    char line[4096];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr)
        if (line[0] != '[' && std::string(line).rfind("Note: ", 0) != 0) output += line;
    return output + "EXIT=" + std::to_string(pipe != nullptr ? _pclose(pipe) : -1) + "\n";
}

// The records of a log file as "SEVERITY function message".
std::vector<std::string> logLines(const fs::path& file) {
    std::vector<std::string> lines;
    for (const auto& r : readLogRecords(file.u8string())) lines.push_back(r.severity + " " + r.func + " " + r.message);
    return lines;
}

void logEverySeverity(const std::string& tag) {
    for (int s = plog::fatal; s <= plog::verbose; ++s)
        PLOG(plog::Severity(s)) << tag << " " << plog::severityToString(plog::Severity(s));
}

// The records of logEverySeverity(tag) that a logger at maxSeverity writes.
std::vector<std::string> tagged(const std::string& tag, int maxSeverity) {
    std::vector<std::string> lines;
    for (int s = plog::fatal; s <= maxSeverity; ++s) {
        const std::string severity = plog::severityToString(plog::Severity(s));
        lines.push_back(severity + " {anonymous}::logEverySeverity " + tag + " " + severity);
    }
    return lines;
}

using Settings = std::tuple<int32_t, std::string, uint32_t, int32_t>;  // severity, path root, size, count
const Settings kDefaults{0, "", 5242880, 10};

Settings read(int32_t component = LogComponentServerDll) {
    Settings s{-5, "stale", 1, 1};  // every output is replaced
    EXPECT_EQ(readLogSettings(component, &std::get<0>(s), &std::get<1>(s), &std::get<2>(s), &std::get<3>(s)), 0);
    return s;
}

}  // namespace

TEST(ReadLogSettings, DefaultsBoundsTypesAndTheFileLimitRule) {
    LogKeyBackup backup;
    // Each step writes one value (or, without a name, removes the key) and reads the settings.
    const std::tuple<const wchar_t*, DWORD, std::wstring, uint64_t, Settings> steps[] = {
        {nullptr, 0, L"", 0, kDefaults},
        {L"unrelated", REG_DWORD, L"", 1, kDefaults},
        {L"severity", REG_DWORD, L"", 4, {4, "", 5242880, 10}},
        {L"max_file_size", REG_DWORD, L"", 1000000, {4, "", 5242880, 10}},  // a size without a count is dropped
        {nullptr, 0, L"", 0, kDefaults},
        {L"max_file_size", REG_DWORD, L"", 1000, {0, "", 1000, 0}},  // with logging off a missing count stays 0
        {L"max_file_count", REG_DWORD, L"", 3, {0, "", 1000, 3}},
        {L"severity", REG_DWORD, L"", 7, {6, "", 1000, 3}},
        {L"severity", REG_DWORD, L"", 0xFFFFFFFF, {6, "", 1000, 3}},  // compared as signed: the top bit set
        {L"severity", REG_SZ, L"4", 0, {0, "", 1000, 3}},  // a value of another type counts as missing
        {L"severity", REG_DWORD, L"", 2, {2, "", 1000, 3}},
        {L"max_file_size", REG_QWORD, L"", 4000, {2, "", 5242880, 10}},
        {L"max_file_size", REG_DWORD, L"", 2000, {2, "", 2000, 3}},
        {L"max_file_count", REG_SZ, L"7", 0, {2, "", 5242880, 10}},
        {L"path_root", REG_SZ, L"D:\\Logs\\Agent", 0, {2, "D:\\Logs\\Agent", 5242880, 10}},
        {L"path_root", REG_SZ, L"Gr\u00fc\u00dfe \u65e5\u672c", 0, {2, u8"Gr\u00fc\u00dfe \u65e5\u672c", 5242880, 10}},
        {L"path_root", REG_SZ, std::wstring(L"C:\\a\0C:\\b", 9), 0, {2, "C:\\a", 5242880, 10}},  // ends at a NUL
        {L"path_root", REG_SZ, L"", 0, {2, "", 5242880, 10}},
        {L"path_root", REG_DWORD, L"", 5, {2, "", 5242880, 10}},
    };
    for (const auto& [name, type, text, number, expected] : steps) {
        if (name == nullptr) RegDeleteTreeW(HKEY_CURRENT_USER, LOG_SETTINGS_KEY_PATH);
        else if (type == REG_SZ) setValue(name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        else setValue(name, type, &number, type == REG_QWORD ? 8 : 4);
        EXPECT_EQ(read(), expected) << "after " << (name ? fs::path(name).u8string() : "removing the key");
    }
    // Each component reads its own sub-key, none the Log key itself.
    setDword(L"severity", 3, L"client");
    setDword(L"severity", 1, L"");
    EXPECT_EQ(read(LogComponentServerDll), Settings(2, "", 5242880, 10));
    EXPECT_EQ(read(LogComponentClientDll), Settings(3, "", 5242880, 10));
    EXPECT_EQ(read(LogComponentServerTestApp), kDefaults);
}

TEST(LogPaths, NamesAndTheFolderConfiguredOrTheDefaultOne) {
    const std::tuple<int32_t, int32_t, std::string> names[] = {
        {LogComponentServerDll, LogPlatformCitrix, "plx_srv_dll_citrix"}, {4, 5, "plx_none_none"},
        {3, 4, "plx_client_test_app_platform_info"}, {-1, -1, "plx_none_none"}};  // the last of each table
    for (const auto& [component, platform, expected] : names) {
        std::string name;
        EXPECT_TRUE(buildLogFileBaseName(component, platform, &name) == 0 && name == expected) << name;
    }

    DefaultFolderBlocker::reset();
    Scratch scratch(L"plx_logtest paths " + std::to_wstring(GetCurrentProcessId()));
    const std::string base = scratch.path.u8string(), fallback = defaultLogFolder();
    // A configured folder is created with its missing parents, and used as it is; the last makes a
    // log file path of 259 characters, which fits MAX_PATH.
    const std::string fitting = base + "\\" + std::string(MAX_PATH - base.size() - 47, 'y');
    for (const std::string& folder : {base + "\\a\\b", base + "\\a\\b", base + "/c/d",
                                      base + "\\" + fs::path(L"Gr\u00fc\u00dfe \u65e5\u672c").u8string(), fitting}) {
        EXPECT_EQ(built(folder), folder);
        EXPECT_TRUE(fs::is_directory(fs::u8path(folder))) << folder;
    }
    // Anything else gives the default folder: too short, a drive root, a missing drive, a file in
    // the way, or a folder whose log file path would not fit MAX_PATH (which is not even created).
    std::string missingDrive = "Q:\\";
    while (GetDriveTypeA(missingDrive.c_str()) != DRIVE_NO_ROOT_DIR && missingDrive[0] < 'Y') ++missingDrive[0];
    ASSERT_EQ(GetDriveTypeA(missingDrive.c_str()), UINT(DRIVE_NO_ROOT_DIR)) << "no free drive letter";
    std::ofstream(scratch.path / "plain.txt") << "x";
    const std::string tooLong = base + "\\" + std::string(MAX_PATH - base.size() - 40, 'x');
    for (const std::string& folder : {std::string(), std::string("C:"), std::string("C:\\"), missingDrive + "Logs",
                                      base + "\\plain.txt", base + "\\plain.txt\\sub", tooLong})
        EXPECT_EQ(built(folder), fallback) << folder;
    EXPECT_TRUE(fs::is_directory(fallback));
    EXPECT_FALSE(fs::exists(fs::u8path(tooLong)));
}

// A scenario process (runScenario): "init N" (initGlobalData from N threads at once), "log TAG",
// "sleep MS", "shutdown" (within 2 s), changes in the registry: "severity N", "badpath" (path_root
// no valid UTF-16), "root" (path_root PLX_LOG_ROOT), "moveroot" (path_root PLX_LOG_ROOT\moved),
// "client N" (severity N of the client); "armed" (the monitor arms its watch after the last change
// within 5 s), "applied N" (the logger has severity N within 5 s of the last change), "took init|change
// MIN MAX" (the last "applied" came MIN to MAX ms after the last init or change). Failures show in its output.
TEST(LogLife, DISABLED_Scenario) {
    if (_wgetenv(L"PLX_LOG_SCENARIO") == nullptr) GTEST_SKIP() << "run by runScenario only";
    ASSERT_TRUE(countArmings());
    std::istringstream script(fs::path(_wgetenv(L"PLX_LOG_SCENARIO")).u8string());
    const std::wstring root = _wgetenv(L"PLX_LOG_ROOT") ? _wgetenv(L"PLX_LOG_ROOT") : L"";
    ULONGLONG initAt = 0, changedAt = 0, appliedAt = 0;
    int armsAtChange = 0;
    for (std::string step, argument; script >> step; std::fflush(stdout)) {
        const auto oneOf = [&](std::string names) { return (" " + names + " ").find(" " + step + " ") != names.npos; };
        if (oneOf("init log sleep applied severity client took")) script >> argument;
        if (oneOf("severity badpath root moveroot client")) changedAt = GetTickCount64(), armsAtChange = g_arms;
        if (step == "root" || step == "moveroot") setRoot(root + (step == "root" ? L"" : L"\\moved"));
        else if (step == "severity" || step == "client")
            setDword(L"severity", std::stoul(argument), step == "client" ? L"client" : L"server");
        else if (step == "log") logEverySeverity(argument);
        else if (step == "sleep") Sleep(std::stoul(argument));
        else if (step == "badpath") setRoot({L'C', L':', L'\\', wchar_t(0xD800), L'x'});
        else if (step == "armed") {
            for (const ULONGLONG t0 = GetTickCount64(); g_arms <= armsAtChange && GetTickCount64() - t0 < 5000;) Sleep(1);
            EXPECT_GT(g_arms, armsAtChange) << "the monitor did not arm its watch again";
        } else if (step == "applied") {
            const auto severityIs = [&] {
                std::lock_guard<std::mutex> lock(_glLogMutex);
                return _glLogger != nullptr && _glLogger->getMaxSeverity() == std::stoi(argument);
            };
            while (!severityIs() && GetTickCount64() - changedAt < 5000) Sleep(1);
            appliedAt = GetTickCount64();
            EXPECT_TRUE(severityIs()) << "severity " << argument << " not applied";
        } else if (step == "took") {
            ULONGLONG min = 0, max = 0;
            script >> min >> max;
            const ULONGLONG ms = appliedAt - (argument == "init" ? initAt : changedAt);
            EXPECT_TRUE(ms >= min && ms < max) << "applied " << ms << " ms after the " << argument;
        } else if (step == "init") {
            initAt = GetTickCount64();
            std::atomic<bool> go{false};
            std::vector<std::thread> threads;
            for (int n = std::stoi(argument); n > 0; --n)
                threads.emplace_back([&go] { while (!go) std::this_thread::yield(); initGlobalData(); });
            go = true;
            for (auto& t : threads) t.join();
            std::lock_guard<std::mutex> lock(_glLogMutex);
            std::printf("PATH=%s\nLOGGER=%d\n", _glLogPath, _glLogger != nullptr ? 1 : 0);
        } else {
            ASSERT_EQ(step, "shutdown");
            const ULONGLONG start = GetTickCount64();
            std::printf("SHUTDOWN rc=%d\n", shutdownLog());
            EXPECT_LT(GetTickCount64() - start, 2000u);
        }
    }
}

TEST(LogLife, ScenariosInFreshProcesses) {
    const std::string dashes = "INFO initGlobalData -------------------------------------";
    // The scenario's output; '@' stands for the newest log file's path.
    const std::string logger = "PATH=@\nLOGGER=1\n", none = "PATH=\nLOGGER=0\n", shutdown = "SHUTDOWN rc=0\n";
    const std::vector<std::string> banner = {
        dashes, "INFO initGlobalData --- CITRIX SERVER DLL LOG Started ---", dashes,
        std::string("INFO initGlobalData Plug-in " PLX_DLL_NAME " (") + (sizeof(void*) == 8 ? "64" : "32") +
            "-bit), version " PLX_VERSION_TEXT,
        "INFO initGlobalData Initializing global data ... ", "INFO initGlobalData Initializing global data ... Ok"};
    std::wstring rolling = L"init 1";
    for (int n = 0; n < 20; ++n) rolling += L" log R" + std::to_wstring(n);
    const struct {
        std::vector<std::pair<const wchar_t*, DWORD>> values;
        bool blockDefaultFolder;  // and no path_root, else a fresh non-ASCII folder
        std::wstring steps;
        std::string output;  // all of it but the exit code
        size_t files;
        std::vector<std::vector<std::string>> log;  // the last records of the newest file (all of them when alone)
    } cases[] = {
        // Concurrent first calls make one log with one banner; the logger outlives shutdownLog.
        {{{L"severity", 4}}, false, L"init 8 log A shutdown log B", logger + shutdown, 1,
         {banner, tagged("A", plog::info), tagged("B", plog::info)}},
        // At warning neither the banner nor info lines; the process ends with its monitor running.
        {{{L"severity", 3}}, false, L"init 1 log W", logger, 1, {tagged("W", plog::warning)}},
        {{{L"severity", 4}, {L"max_file_size", 1000}, {L"max_file_count", 3}}, false, rolling + L" shutdown",
         logger + shutdown, 3, {tagged("R19", plog::info)}},
        {{{L"severity", 6}}, true, L"init 1 init 1 log X shutdown",  // no usable folder: no logger, the red line once
         "Error : cannot initialize Citrix Server DLL log at ; error = -602\n" + none + none + shutdown, 0, {}},
        // Logging off at start; the monitor applies each change made once it watches: 0 stops logging,
        // 9 is bounded to 6, a failed read keeps it. Shutdown while it waits.
        {{}, false, L"init 1 log A0 armed severity 4 applied 4 log A1 armed severity 6 applied 6 log A2 armed severity 0 "
         L"applied 0 log A3 armed severity 9 armed log A4 badpath armed log A5 shutdown", none + shutdown, 1,
         {tagged("A1", plog::info), tagged("A2", plog::verbose), tagged("A4", plog::verbose),
          {"ERROR OxMonitorTask::run [Registry monitoring thread] Exception: bad conversion"},
          tagged("A5", plog::verbose)}},
        // No key at start: the monitor keeps trying to open it, and watches it once it exists.
        {{}, false, L"nokey init 1 root armed severity 4 applied 4 log K shutdown", none + shutdown, 1,
         {tagged("K", plog::info)}},
        // Changes made before the watch is armed again wait for the next one, here under a sibling
        // key; a new path_root does not move an existing log.
        {{{L"severity", 4}}, false, L"init 1 armed severity 5 applied 5 moveroot severity 6 armed client 1 applied 6 "
         L"log S shutdown", logger + shutdown, 1, {banner, tagged("S", plog::verbose)}},
        // The monitor reads a change once settled: 500 ms after its previous wait ended, or one 10 ms step
        // after the notification if later. So a change right after its first watch is read 500 ms after the
        // start, and one made 600 ms after it watches again one step after it (under 450 ms, however loaded).
        {{}, false, L"init 1 armed severity 2 applied 2 took init 500 60000 armed sleep 600 severity 1 applied 1 "
         L"took change 10 450 shutdown", none + shutdown, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fs::path(c.steps).u8string());
        LogKeyBackup backup;
        Scratch folder(L"plx_logtest life \u00e4\u00f6\u00fc \u65e5\u672c " + std::to_wstring(GetCurrentProcessId()));
        DefaultFolderBlocker blocker(c.blockDefaultFolder);
        for (const auto& [name, value] : c.values) setDword(name, value);
        const bool noKey = c.steps.rfind(L"nokey ", 0) == 0;
        if (!noKey) setRoot(c.blockDefaultFolder ? L"" : folder.path.wstring());
        const std::string out = runScenario(c.steps.substr(noKey ? 6 : 0), folder.path);
        const auto files = filesIn(folder.path);
        std::string expected = c.output + "EXIT=0\n";
        if (expected.find('@') != std::string::npos)
            expected.replace(expected.find('@'), 1, files.empty() ? "" : files.back().u8string());
        EXPECT_EQ(out, expected);
        EXPECT_EQ(files.size(), c.files) << out;
        if (files.size() != c.files || files.empty()) continue;
        for (size_t k = 1; k < files.size(); ++k)
            EXPECT_EQ(files[k - 1], fs::path(files.back()).replace_extension(std::to_wstring(k) + L".log"));
        EXPECT_TRUE(isLogName(files.back().filename().u8string())) << files.back().u8string();
        std::vector<std::string> last;
        for (const auto& group : c.log) last.insert(last.end(), group.begin(), group.end());
        const auto lines = logLines(files.back());
        EXPECT_EQ(std::vector<std::string>(lines.end() - std::min(lines.size(), last.size()), lines.end()), last);
        EXPECT_TRUE(files.size() > 1 || lines.size() == last.size()) << lines.size() << " records";
    }
}

// Two processes that create their log in the same folder within the same second: the second finds
// the name taken (here held open against writers, as plog holds its file, by this process for each
// second the child may start in) and writes a file of its own, named with its process id.
TEST(LogLife, ASecondProcessInTheSameSecondWritesAFileOfItsOwn) {
    LogKeyBackup backup;
    Scratch folder(L"plx_logtest same second");
    fs::create_directories(folder.path);
    setDword(L"severity", 4);
    setRoot(folder.path);
    std::vector<HANDLE> held;
    for (std::time_t t = std::time(nullptr), end = t + 60; t < end; ++t) {
        std::tm local{};
        localtime_s(&local, &t);
        wchar_t name[64];
        std::wcsftime(name, 64, L"plx_srv_dll_citrix_[%Y-%m-%d %H-%M-%S].log", &local);
        held.push_back(CreateFileW((folder.path / name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                   0, nullptr));
        ASSERT_NE(held.back(), INVALID_HANDLE_VALUE);
    }
    const std::string out = runScenario(L"init 1 log P shutdown");
    for (HANDLE h : held) CloseHandle(h);
    const auto files = filesIn(folder.path);
    EXPECT_EQ(files.size(), held.size() + 1);
    std::string written;  // the paths of the files with records
    for (const auto& f : files) written += fs::file_size(f) > 0 ? f.u8string() : "";
    EXPECT_EQ(out, "PATH=" + written + "\nLOGGER=1\nSHUTDOWN rc=0\nEXIT=0\n");
    EXPECT_TRUE(isLogName(fs::u8path(written).filename().u8string(), "_pid#.log")) << written;
    const auto lines = logLines(fs::u8path(written));
    EXPECT_TRUE(!lines.empty() && lines.back() == tagged("P", plog::info).back()) << written;
}
