// plxprobe --diagnose in fresh processes against scripted sessions of the substitute WFAPI.DLL: the
// record, the stage lines, the advice and the exit code of each failing stage; the user's log settings
// byte for byte as they were and unwatched, a host beside the probe; Ctrl+C; a killed probe's view.
#include <fstream>
#include <regex>
#include <sstream>

#include "exports/dll_host.h"
#include "plx_build_info.h"

namespace {

const wchar_t* const kOrbivex = L"Software\\Orbivex";
const wchar_t* const kKeys[] = {kOrbivex, L"Software\\Orbivex\\Pathlens", L"Software\\Orbivex\\Pathlens\\Log",
                                L"Software\\Orbivex\\Pathlens\\Log\\server", L"Software\\Orbivex\\Pathlens\\Log\\client",
                                L"Software\\Orbivex\\Pathlens\\plxprobe"};
const wchar_t *const kLog = kKeys[2], *const kServer = kKeys[3], *const kProbes = kKeys[5];

// Fails, showing all of text, unless part is (or is not) in it.
#define EXPECT_IN(part, text) EXPECT_PRED_FORMAT2(testing::IsSubstring, part, text)
#define EXPECT_NOT_IN(part, text) EXPECT_PRED_FORMAT2(testing::IsNotSubstring, part, text)

struct RegValue { const wchar_t* name; DWORD type; std::vector<BYTE> bytes; };  // little-endian, UTF-16LE text
// The user's settings before a run: none at all (no Software\Orbivex), or values the library cannot use, of
// odd types and sizes, with or without a sibling key under Log that must survive.
struct Originals { std::vector<RegValue> values; bool clientKey = false; };
const Originals kOriginals[] = {
    {},
    {{{L"severity", REG_SZ, {'6', 0, 0, 0}}, {L"path_root", REG_DWORD, {7, 0, 0, 0}},
      {L"max_file_size", REG_BINARY, {1, 2, 3}},
      {L"comment", REG_EXPAND_SZ, {'%', 0, 'T', 0, 'E', 0, 'M', 0, 'P', 0, '%', 0, '\\', 0, 'x', 0, 0, 0}}}},
    {{{L"severity", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}}, {L"path_root", REG_SZ, {'C', 0, ':'}},
      {L"max_file_size", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}}, {L"max_file_count", REG_MULTI_SZ, {'1', 0, 0, 0, 0, 0}}},
     true},
};

// Every key of the chain (and the probes' keys) present or not, every value of the library's key.
std::string registryState() {
    std::string out;
    for (const wchar_t* path : kKeys) {
        HKEY key = nullptr;
        const bool present = RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) == ERROR_SUCCESS;
        out += std::filesystem::path(path).u8string() + (present ? ": present\n" : ": absent\n");
        for (DWORD i = 0; present && path == kServer; ++i) {
            wchar_t name[256];
            BYTE data[1024];
            DWORD nameLength = 256, type = 0, size = sizeof data;
            if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
            out += "  " + std::filesystem::path(name).u8string() + " type " + std::to_string(type) + ":";
            for (DWORD b = 0; b < size; ++b) out += " " + std::to_string(data[b]);
            out += "\n";
        }
        if (present) RegCloseKey(key);
    }
    return out;
}

std::string setOriginals(const Originals& o) {  // returns the registry state it leaves
    RegDeleteTreeW(HKEY_CURRENT_USER, kOrbivex);
    for (const RegValue& v : o.values) setServerValue(v.name, v.type, v.bytes.data(), DWORD(v.bytes.size()));
    if (o.clientKey) RegSetKeyValueW(HKEY_CURRENT_USER, kKeys[4], L"kept", REG_NONE, nullptr, 0);
    return registryState();
}

// A change notification armed on the user's Log key and its subtree, as every host's registry
// monitor arms it (when the key exists); fired() tells whether anything changed there since.
struct LogKeyWatch {
    HKEY key = nullptr;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LogKeyWatch() {
        const bool open = RegOpenKeyExW(HKEY_CURRENT_USER, kLog, 0, KEY_NOTIFY, &key) == ERROR_SUCCESS;
        EXPECT_TRUE(!open || RegNotifyChangeKeyValue(key, TRUE, 0xF, event, TRUE) == ERROR_SUCCESS);
    }
    ~LogKeyWatch() { RegCloseKey(key), CloseHandle(event); }
    bool fired() const { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
};

// The probe's log folder, as it names it; it keeps the folder for the support engineer, the tests remove it.
std::wstring logFolderOf(const std::string& output) {
    static const std::regex folder(R"(for this run, into ([^;\r\n]+);)");
    std::smatch m;
    return std::regex_search(output, m, folder) ? std::filesystem::u8path(m[1].str()).wstring() : L"";
}

// A probe with --diagnose, started apart from the test; with CREATE_NEW_CONSOLE in a console of its
// own, so that a Ctrl+C can reach it. Its session script and output go to files of its own.
struct StartedProbe {
    PROCESS_INFORMATION pi{};
    std::wstring outPath;

    StartedProbe(const char* session, const std::wstring& args, DWORD flags = 0,
                 const std::wstring& exe = exeDir() + L"\\plxprobe.exe") {
        static int started = 0;
        const std::wstring scenario = logRoot() + L"\\session-" + std::to_wstring(++started) + L".txt";
        std::filesystem::create_directories(logRoot());
        std::ofstream(std::filesystem::path(scenario)) << session;
        outPath = scenario + L".out";
        SetEnvironmentVariableW(L"WFSIM_SCENARIO", scenario.c_str());
        pi = startChild(exe, L"--diagnose " + args, std::filesystem::path(exe).parent_path().wstring(), outPath, flags);
        SetEnvironmentVariableW(L"WFSIM_SCENARIO", nullptr);
    }
    ~StartedProbe() {
        if (pi.hProcess) {
            TerminateProcess(pi.hProcess, 999);
            WaitForSingleObject(pi.hProcess, 10000);
            CloseHandle(pi.hProcess), CloseHandle(pi.hThread);
        }
        std::error_code ignored;
        if (!logFolderOf(output()).empty()) std::filesystem::remove_all(logFolderOf(output()), ignored);
    }
    std::string output() const {  // the probe writes text-mode line ends
        return std::regex_replace(readWholeFile(outPath), std::regex("\r"), "");
    }
    std::string log() const {  // the library's log in the probe's folder, "" before it exists
        const auto files = logFiles(logFolderOf(output()));
        return files.empty() ? "" : readWholeFile(files[0]);
    }
    void ctrlC() const {  // the console's Ctrl+C, as a user at the probe's console would press it
        FreeConsole();
        ASSERT_TRUE(AttachConsole(pi.dwProcessId));
        SetConsoleCtrlHandler(nullptr, TRUE);  // not for this test process
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        FreeConsole();
        SetConsoleCtrlHandler(nullptr, FALSE);  // nor inherited by later children
    }
    int exitCode(int waitMs) const {
        DWORD code = 999;
        const bool ended = WaitForSingleObject(pi.hProcess, waitMs) == WAIT_OBJECT_0;
        return ended && GetExitCodeProcess(pi.hProcess, &code) ? int(code) : -1;
    }
};

ChildResult runProbe(const char* session, const std::wstring& args, const std::wstring& exe = exeDir() + L"\\plxprobe.exe") {
    const StartedProbe probe(session, args, 0, exe);
    return {probe.exitCode(60000), probe.output()};
}

// The stage lines of a text diagnosis: one letter per stage (o ok, F failed, - not reached,
// s skipped) and the line under each that shows it.
struct Told { std::string statuses; std::vector<std::string> shownBy; };
Told told(const std::string& output) {
    static const std::regex stageLine(R"(^  (ok|FAILED|not reached|skipped) +\d\. .*)");
    Told t;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, stageLine)) {
            t.statuses += m[1] == "ok" ? 'o' : m[1] == "FAILED" ? 'F' : m[1] == "skipped" ? 's' : '-';
            t.shownBy.emplace_back();
        } else if (!t.shownBy.empty() && line.rfind("               ", 0) == 0) t.shownBy.back() = line.substr(15);
    }
    return t;
}

// True when the probe's standard output (after its messages on stderr) is exactly one JSON object:
// brackets balanced outside strings, nothing after the object's end.
bool oneJsonObject(const std::string& output) {
    const size_t start = output.find("\n{\n");
    int depth = 0;
    bool inString = false;
    for (size_t i = start == std::string::npos ? output.size() : start + 1; i < output.size(); ++i) {
        const char c = output[i];
        if (inString) i += c == '\\', inString = c != '"';
        else if (c == '"') inString = true;
        else if ((c == '}' || c == ']') && --depth == 0) return output.find_first_not_of(" \r\n", i + 1) == output.npos;
        else depth += c == '{' || c == '[';
    }
    return false;
}

std::wstring noWfapiProbe() {  // the probe and the plug-in in a folder without WFAPI.DLL
    const std::wstring dir = logRoot() + L"\\noapi";
    std::filesystem::create_directories(dir);
    for (const std::wstring name : {L"plxprobe.exe", L"" PLX_DLL_NAME}) {
        using std::filesystem::copy_options;
        std::filesystem::copy_file(exeDir() + L"\\" + name, dir + L"\\" + name, copy_options::overwrite_existing);
    }
    return dir + L"\\plxprobe.exe";
}

struct DiagnoseCase {
    const char *name, *session;
    std::wstring args;
    int exitCode;
    const char *statuses, *failedLine /* in the line under the failed stage */, *advice;
};
}  // namespace

TEST(ProbeDiagnose, EachFailingStageIsNamedWithItsLineAndAdvice) {
    const DiagnoseCase cases[] = {
        {"no WFAPI.DLL", "", L"--timeout 1", 3, "F------s-", "[WFAPI_WRAPPER] ERR : LoadLibraryW [",
         "cannot be loaded: this machine is not a Citrix VDA"},
        {"not an ICA session", "fault.session_id_zero = -1\n", L"--timeout 1", 4, "oF-----s-",
         "server dll does not run in ICA session(SessionID = 0)", "This is not an ICA session"},
        {"disconnected", "state = WFDisconnected\n", L"--timeout 1", 4, "ooF----s-",
         "WFConnectState = WFDisconnected [WinStation logged on without client]", "Ask the user to reconnect"},
        {"channel missing", "channels = CTXCAM, CTXTW\n", L"--timeout 1", 4, "oooF---s-",
         "Virtual channel oxlens does not exist on client side", "The client offers: ctxcam, ctxtw."},
        {"open failing", "fault.channel_open_fails = -1\n", L"--timeout 1", 4, "ooooF--s-",
         " === WFVirtualChannelOpen failed: [31] : ", "the channel cannot be opened"},
        // A client that never answers, or an old one that never answers version-2 requests: reads
        // give up after 200 ms, not 5 s.
        {"ping failing", "fault.no_answer = -1\nread_wait_max_ms = 200\n", L"--timeout 1", 4, "oooooF-s-",
         "PONG response eeading error:258", "does not answer"},
        {"old client", "v2 = 0\nread_wait_max_ms = 200\n", L"--v2 --timeout 4", 4, "oooooooFo",
         "didn't get data v2 (maybe old client)...", "its OXLENS component is too old"},
        {"read failures", "fault.data_read_fails = 2\n", L"--timeout 10", 0, "ooooooosF",
         "VirtualChannelRead Failed 31 (2 failed version-1 reads in the log", "Channel reads fail now and then"},
    };
    for (const DiagnoseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before = setOriginals(kOriginals[(&c - cases) % std::size(kOriginals)]);
        const LogKeyWatch watch;
        const ChildResult run = &c == cases ? runProbe(c.session, c.args, noWfapiProbe()) : runProbe(c.session, c.args);
        EXPECT_FALSE(watch.fired());
        EXPECT_EQ(registryState(), before);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        const Told t = told(run.output);
        EXPECT_EQ(t.statuses, c.statuses) << run.output;
        if (t.statuses != c.statuses) continue;
        const size_t failed = t.statuses.find('F');
        EXPECT_IN(c.failedLine, t.shownBy[failed]);
        EXPECT_IN("What to do (stage " + std::to_string(failed + 1), run.output);
        EXPECT_IN(c.advice, run.output);
        EXPECT_IN("only in this process: the user's log settings and other processes are not touched", run.output);
        EXPECT_NOT_IN("Every stage passed", run.output);
    }
}

TEST(ProbeDiagnose, HealthySessionInOneJsonDocumentAndALibraryThatCannotBeLoaded) {
    const std::string before = setOriginals(kOriginals[2]);
    const ChildResult data = runProbe("user_name = probe.user\ncomputer_name = PROBE-PC\n", L"--json --v2 --timeout 20");
    EXPECT_EQ(registryState(), before);
    EXPECT_EQ(data.exitCode, 0) << data.output;
    EXPECT_TRUE(oneJsonObject(data.output)) << data.output;
    EXPECT_IN("\n{\n\"record\": {\n  \"record\": 1,\n  \"version\": 2,", data.output);
    EXPECT_IN("\"userName\": \"probe.user\"", data.output);
    size_t ok = 0;
    for (size_t at = 0; (at = data.output.find("\"status\": \"ok\"", at)) != std::string::npos; ++at) ++ok;
    EXPECT_EQ(ok, 9u) << data.output;
    EXPECT_IN("\"first_failed_stage\": null,", data.output);
    // The user's own settings, as they are stored, whatever the library makes of them.
    EXPECT_IN("\"present\": true, \"severity\": \"4294967295 (REG_DWORD)\", \"path_root\": \"\\\"C\\\" (REG_SZ)\", "
              "\"max_file_size\": \"type 11, 8 bytes (not read by the library)\", "
              "\"max_file_count\": \"type 7, 6 bytes (not read by the library)\", \"note\": \"\"}", data.output);

    // No library, and no temp folder either (GetTempPathW fails): the log folder is still absolute.
    setOriginals(kOriginals[0]);
    std::vector<std::pair<const wchar_t*, std::wstring>> saved;
    for (const wchar_t* name : {L"TMP", L"TEMP", L"USERPROFILE"}) {
        wchar_t value[32768] = {};
        saved.emplace_back(name, std::wstring(value, GetEnvironmentVariableW(name, value, 32768)));
        SetEnvironmentVariableW(name, (L"C:\\" + std::wstring(MAX_PATH, L't')).c_str());
    }
    const ChildResult missing = runProbe("", L"--timeout 1 C:\\nowhere\\plugin.dll");
    for (const auto& [name, value] : saved) SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
    EXPECT_EQ(missing.exitCode, 2) << missing.output;
    EXPECT_TRUE(std::regex_search(missing.output, std::regex(R"(for this run, into [A-Z]:\\[^;]*\\plxprobe-diagnose-)")))
        << missing.output;
    EXPECT_EQ(told(missing.output).statuses, "-------s-") << missing.output;
    EXPECT_IN("The probe could not load the library itself", missing.output);
    EXPECT_IN("read only): the key does not exist.\n  With these settings, processes of this user that load the "
              "library write no log (severity 0).\n", missing.output);
}

// A host that has the library loaded with its log off runs while the probe does: it creates no
// log file and sees no change, and when its log is turned on afterwards it writes where its own
// settings say. The host is this test process (the first and only get call of the in-process DLL).
TEST(ProbeDiagnose, AHostBesideTheProbeKeepsItsOwnSettings) {
    setOriginals(kOriginals[0]);
    const std::wstring hostFolder = logRoot() + L"\\host";
    setLogFolder(hostFolder);
    const DWORD off = 0, info = 4;
    setServerValue(L"severity", REG_DWORD, &off, sizeof off);
    configureSession();
    ASSERT_EQ(call(false), ICASRV_STARTED);
    const LogKeyWatch watch;
    const ChildResult run = runProbe("", L"--timeout 20");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(watch.fired());
    EXPECT_TRUE(logFiles(hostFolder).empty());
    // Written again each second until the host's log has lines: its monitor re-arms its watch a
    // second after each change it read, and a change before that would go unseen.
    const auto hostLogged = [&] {
        setServerValue(L"severity", REG_DWORD, &info, sizeof info);
        const auto files = [&] { return logFiles(hostFolder); };
        return waitUntil([&] { return files().size() == 1 && std::filesystem::file_size(files()[0]) > 0; }, 1000);
    };
    EXPECT_TRUE(waitUntil(hostLogged, 20000));
}

// A probe that is killed leaves its view of the settings behind: a probe beside it, stopped by
// Ctrl+C, tells its stages so far and leaves that view alone; the next run removes it.
TEST(ProbeDiagnose, CtrlCTellsTheStagesSoFarAndAKilledProbesViewGoesWithTheNextRun) {
    const std::string before = setOriginals(kOriginals[1]);
    const auto view = [](DWORD pid) { return std::wstring(kProbes) + L"\\" + std::to_wstring(pid) + L"\\"; };
    DWORD severity = 0, size = sizeof severity;
    const auto viewedSeverity = [&](DWORD pid) {  // the severity the library reads in a probe's view
        return RegGetValueW(HKEY_CURRENT_USER, (view(pid) + kServer).c_str(), L"severity", RRF_RT_REG_DWORD, nullptr,
                            &severity, &size);
    };
    DWORD killedPid = 0;
    {
        StartedProbe killed("channels = CTXCAM\n", L"--timeout 60");
        killedPid = killed.pi.dwProcessId;
        ASSERT_TRUE(waitUntil([&] { return !killed.log().empty(); }, 30000)) << killed.output();
        // Its view: the settings the library reads, every key of it volatile.
        EXPECT_EQ(viewedSeverity(killedPid), ERROR_SUCCESS);
        EXPECT_EQ(severity, 5u);
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (view(killedPid) + L"lasting").c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_CHILD_MUST_BE_VOLATILE);
        StartedProbe interrupted("channels = CTXCAM\n", L"--json --timeout 60", CREATE_NEW_CONSOLE);
        ASSERT_TRUE(waitUntil([&] { return interrupted.log().find("oxlens does not exist") != std::string::npos; }, 30000))
            << interrupted.output();
        interrupted.ctrlC();
        EXPECT_EQ(interrupted.exitCode(30000), 130) << interrupted.output();
        const std::string json = interrupted.output();
        EXPECT_TRUE(oneJsonObject(json)) << json;
        EXPECT_IN("\n{\n\"record\": null\n,\n\"diagnosis\": {\n    \"exit_code\": 130,", json);
        EXPECT_IN("\"first_failed_stage\": 4,", json);
        EXPECT_NOT_IN("removed the registry view", json);
        EXPECT_EQ(viewedSeverity(interrupted.pi.dwProcessId), ERROR_FILE_NOT_FOUND) << "its own view is gone";
        EXPECT_EQ(viewedSeverity(killedPid), ERROR_SUCCESS);
        TerminateProcess(killed.pi.hProcess, 9);
        EXPECT_EQ(killed.exitCode(10000), 9);
    }
    std::string left = before;  // what the killed probe left is its view alone, which no one else reads
    EXPECT_EQ(registryState(), left.replace(left.find("plxprobe: absent"), 16, "plxprobe: present"));
    const ChildResult next = runProbe("fault.session_id_zero = -1\n", L"--timeout 1");
    EXPECT_IN("removed the registry view that an earlier plxprobe --diagnose (process " + std::to_string(killedPid) +
                  ") left when it was stopped", next.output);
    EXPECT_EQ(registryState(), before);
    RegDeleteTreeW(HKEY_CURRENT_USER, kOrbivex);
}
