// plxprobe --diagnose in fresh processes against scripted sessions of the substitute WFAPI.DLL:
// the usual record output, the stage lines, the advice and the exit code of each failing stage,
// and the user's log settings exactly as they were after every run, also after Ctrl+C, beside a
// second probe and after a probe that was killed.
#include <regex>
#include <sstream>
#include <thread>

#include "exports/dll_host.h"
#include "plx_build_info.h"

namespace {

const wchar_t* const kOrbivex = L"Software\\Orbivex";
const wchar_t* const kKeys[] = {kOrbivex,
                                L"Software\\Orbivex\\Pathlens",
                                L"Software\\Orbivex\\Pathlens\\Log",
                                L"Software\\Orbivex\\Pathlens\\Log\\server",
                                L"Software\\Orbivex\\Pathlens\\Log\\client",
                                L"Software\\Orbivex\\Pathlens\\plxprobe diagnose backup"};
const wchar_t* const kServer = kKeys[3];

struct RegValue {
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> bytes;
};
std::vector<BYTE> wide(const std::wstring& s, size_t units) {  // the first units UTF-16 units, as bytes
    const BYTE* p = reinterpret_cast<const BYTE*>(s.c_str());
    return std::vector<BYTE>(p, p + units * 2);
}
std::vector<BYTE> number(unsigned long long n, size_t size) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&n);
    return std::vector<BYTE>(p, p + size);
}

// The user's settings before a run: none at all, or values the library cannot use, of odd types and sizes.
struct Originals {
    std::vector<RegValue> values;  // empty: no Software\Orbivex at all
    bool clientKey = false;        // a sibling key under Log that must survive
};
const Originals kOriginals[] = {
    {},
    {{{L"severity", REG_SZ, wide(L"6", 2)},
      {L"path_root", REG_DWORD, number(7, 4)},
      {L"max_file_size", REG_BINARY, {1, 2, 3}},
      {L"comment", REG_EXPAND_SZ, wide(L"%TEMP%\\x", 9)}}},
    {{{L"severity", REG_DWORD, number(0xFFFFFFFF, 4)},
      {L"path_root", REG_SZ, {'C', 0, ':'}},
      {L"max_file_size", REG_QWORD, number(1, 8)},
      {L"max_file_count", REG_MULTI_SZ, wide(std::wstring(L"1\0\0", 3), 3)}},
     true},
};

void setOriginals(const Originals& o) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kOrbivex);
    for (const RegValue& v : o.values) setServerValue(v.name, v.type, v.bytes.data(), DWORD(v.bytes.size()));
    HKEY client = nullptr;
    if (o.clientKey && RegCreateKeyExW(HKEY_CURRENT_USER, kKeys[4], 0, nullptr, 0, KEY_WRITE, nullptr, &client,
                                       nullptr) == ERROR_SUCCESS)
        RegCloseKey(client);
}

// Every key of the chain (and the probes' saved copy) present or not, every value of the library's key.
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

std::wstring writeScenario(const std::string& name, const char* session) {
    const std::wstring path = logRoot() + L"\\" + std::filesystem::path(name).wstring() + L".txt";
    std::filesystem::create_directories(logRoot());
    FILE* f = _wfopen(path.c_str(), L"w");
    std::fputs(session, f);
    std::fclose(f);
    return path;
}

// The probe keeps its log folder for the support engineer; the tests remove it.
void removeLogFolder(const std::string& output) {
    static const std::regex folder(R"(for this run, into ([^;\r\n]+);)");
    std::smatch m;
    std::error_code ignored;
    if (std::regex_search(output, m, folder)) std::filesystem::remove_all(std::filesystem::u8path(m[1].str()), ignored);
}

ChildResult runProbe(const std::wstring& exe, const char* session, const std::wstring& args) {
    SetEnvironmentVariableW(L"WFSIM_SCENARIO", writeScenario("session", session).c_str());
    ChildResult run = runChild(exe, L"--diagnose " + args, std::filesystem::path(exe).parent_path().wstring());
    SetEnvironmentVariableW(L"WFSIM_SCENARIO", nullptr);
    removeLogFolder(run.output);
    return run;
}

// The stage lines of a text diagnosis: one letter per stage (o ok, F failed, - not reached,
// s skipped) and the line under each that shows it.
struct Told {
    std::string statuses;
    std::vector<std::string> shownBy;
};
Told told(const std::string& output) {
    static const std::regex stageLine(R"(^  (ok|FAILED|not reached|skipped) +\d\. .*)");
    Told t;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::smatch m;
        if (std::regex_match(line, m, stageLine)) {
            t.statuses += m[1] == "ok" ? 'o' : m[1] == "FAILED" ? 'F' : m[1] == "skipped" ? 's' : '-';
            t.shownBy.emplace_back();
        } else if (!t.shownBy.empty() && line.rfind("               ", 0) == 0) {
            t.shownBy.back() = line.substr(15);
        }
    }
    return t;
}

std::wstring noWfapiProbe() {  // the probe and the plug-in, by whatever name, in a folder without WFAPI.DLL
    const std::wstring dir = logRoot() + L"\\noapi";
    std::filesystem::create_directories(dir);
    for (const auto& entry : std::filesystem::directory_iterator(exeDir())) {
        const std::wstring name = entry.path().filename().wstring();
        if (name == L"plxprobe.exe" || (name.rfind(L"plx_srv_citrix", 0) == 0 && entry.path().extension() == L".dll"))
            std::filesystem::copy_file(entry.path(), dir + L"\\" + name,
                                       std::filesystem::copy_options::overwrite_existing);
    }
    return dir + L"\\plxprobe.exe";
}

struct DiagnoseCase {
    const char* name;
    const char* session;
    std::wstring args;
    int exitCode;
    const char* statuses;
    const char* failedLine;  // in the line under the failed stage
    const char* advice;
};

}  // namespace

TEST(ProbeDiagnose, EachFailingStageIsNamedWithItsLineAndAdvice) {
    const std::wstring probe = exeDir() + L"\\plxprobe.exe";
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
        {"ping failing", "fault.no_answer = -1\n", L"--timeout 1", 4, "oooooF-s-", "PONG response eeading error:258",
         "does not answer"},
        {"read failures", "fault.data_read_fails = 2\n", L"--timeout 10", 0, "ooooooosF",
         "VirtualChannelRead Failed 31 (2 failed version-1 reads in the log", "Channel reads fail now and then"},
    };
    for (const DiagnoseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Originals& originals = kOriginals[(&c - cases) % std::size(kOriginals)];
        setOriginals(originals);
        const std::string before = registryState();
        const ChildResult run = runProbe(&c == cases ? noWfapiProbe() : probe, c.session, c.args);
        EXPECT_EQ(registryState(), before);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        const Told t = told(run.output);
        ASSERT_EQ(t.statuses, c.statuses) << run.output;
        const size_t failed = t.statuses.find('F');
        EXPECT_NE(t.shownBy[failed].find(c.failedLine), std::string::npos) << t.shownBy[failed];
        EXPECT_NE(run.output.find("What to do (stage " + std::to_string(failed + 1)), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(c.advice), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("other processes of this user that have the library loaded log at debug too"),
                  std::string::npos);
        EXPECT_NE(run.output.find("Log settings: back as they were"), std::string::npos) << run.output;
    }
}

TEST(ProbeDiagnose, HealthySessionInJsonAndALibraryThatCannotBeLoaded) {
    setOriginals(kOriginals[2]);
    const std::string before = registryState();
    const std::wstring probe = exeDir() + L"\\plxprobe.exe";
    const ChildResult data =
        runProbe(probe, "user_name = probe.user\ncomputer_name = PROBE-PC\n", L"--json --v2 --timeout 20");
    EXPECT_EQ(registryState(), before);
    EXPECT_EQ(data.exitCode, 0) << data.output;
    EXPECT_NE(data.output.find("\"userName\": \"probe.user\""), std::string::npos) << data.output;
    EXPECT_NE(data.output.find("\"version\": 2"), std::string::npos) << data.output;
    size_t ok = 0;
    for (size_t at = 0; (at = data.output.find("\"status\": \"ok\"", at)) != std::string::npos; ++at) ++ok;
    EXPECT_EQ(ok, 9u) << data.output;
    EXPECT_NE(data.output.find("\"first_failed_stage\": null,"), std::string::npos) << data.output;
    EXPECT_NE(data.output.find("\"dllVersion\": \"" PLX_VERSION_TEXT "\""), std::string::npos) << data.output;
    // --version: both versions from the files' version resources, no get call and no log.
    const ChildResult version = runChild(probe, L"--version", exeDir());
    EXPECT_EQ(version.exitCode, 0) << version.output;
    EXPECT_EQ(version.output.rfind("plxprobe " PLX_VERSION_TEXT " (" + std::to_string(sizeof(void*) * 8) + "-bit)", 0),
              0u) << version.output;
    EXPECT_NE(version.output.find("\n" PLX_DLL_NAME " " PLX_VERSION_TEXT " ("), std::string::npos) << version.output;

    const ChildResult missing = runProbe(probe, "", L"--timeout 1 C:\\nowhere\\plugin.dll");
    EXPECT_EQ(registryState(), before);
    EXPECT_EQ(missing.exitCode, 2) << missing.output;
    EXPECT_EQ(told(missing.output).statuses, "-------s-") << missing.output;
    EXPECT_NE(missing.output.find("The probe could not load the library itself"), std::string::npos) << missing.output;
}

namespace {

// A probe in a console of its own, so that a Ctrl+C can reach it; its output goes to a file.
struct ConsoleProbe {
    PROCESS_INFORMATION pi{};
    std::wstring outPath;

    ConsoleProbe(const char* session, const std::wstring& args) : outPath(logRoot() + L"\\console-probe.out") {
        SetEnvironmentVariableW(L"WFSIM_SCENARIO", writeScenario("console-session", session).c_str());
        pi = startChild(exeDir() + L"\\plxprobe.exe", L"--diagnose " + args, exeDir(), outPath, CREATE_NEW_CONSOLE);
        SetEnvironmentVariableW(L"WFSIM_SCENARIO", nullptr);
    }
    ~ConsoleProbe() {
        if (pi.hProcess) {
            TerminateProcess(pi.hProcess, 999);
            WaitForSingleObject(pi.hProcess, 10000);
            CloseHandle(pi.hProcess), CloseHandle(pi.hThread);
        }
        removeLogFolder(output());
    }
    std::string output() const { return readWholeFile(outPath); }
    void ctrlC() const {  // the console's Ctrl+C, as a user at the probe's console would press it
        FreeConsole();
        ASSERT_TRUE(AttachConsole(pi.dwProcessId));
        SetConsoleCtrlHandler(nullptr, TRUE);  // not for this test process
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        FreeConsole();
    }
    int exitCode(int waitMs) const {
        DWORD code = 999;
        return WaitForSingleObject(pi.hProcess, waitMs) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &code)
                   ? int(code)
                   : -1;
    }
};

bool severitySwitchedOn() {
    DWORD severity = 0, size = sizeof severity;
    return RegGetValueW(HKEY_CURRENT_USER, kServer, L"severity", RRF_RT_REG_DWORD, nullptr, &severity, &size) ==
               ERROR_SUCCESS &&
           severity == 5;
}

}  // namespace

TEST(ProbeDiagnose, SettingsSurviveASecondProbeCtrlCAndAKilledProbe) {
    setOriginals(kOriginals[1]);
    const std::string before = registryState();
    {
        // An old client never answers version-2 requests: each of the five reads of a request waits 5 s.
        ConsoleProbe old("v2 = 0\n", L"--v2 --json --timeout 60");
        ASSERT_TRUE(waitUntil(
            [&] { return old.output().find("calling icasrv_get_remote_info_v2") != std::string::npos; }, 20000))
            << old.output();
        // A second probe starts and ends while the first runs: it leaves the settings to the first one.
        const ChildResult second = runProbe(exeDir() + L"\\plxprobe.exe", "channels = CTXCAM\n", L"--timeout 1");
        EXPECT_EQ(second.exitCode, 4);
        EXPECT_NE(second.output.find("another plxprobe --diagnose runs (process "), std::string::npos) << second.output;
        EXPECT_NE(second.output.find("Log settings: another plxprobe --diagnose still runs"), std::string::npos);
        EXPECT_TRUE(severitySwitchedOn());
        // Ctrl+C once the first version-2 read has waited in vain: the settings go back at once,
        // while the probe still waits for the library's request to end.
        std::this_thread::sleep_for(std::chrono::seconds(6));
        old.ctrlC();
        EXPECT_TRUE(waitUntil([&] { return registryState() == before; }, 5000)) << registryState();
        EXPECT_EQ(old.exitCode(60000), 130) << old.output();
        const std::string json = old.output();
        EXPECT_NE(json.find("\"stage\": 8, \"name\": \"version-2 data\", \"status\": \"failed\", \"shown_by\": "),
                  std::string::npos)
            << json;
        EXPECT_NE(json.find("\"first_failed_stage\": 8,"), std::string::npos) << json;
        EXPECT_NE(json.find("its OXLENS component is too old"), std::string::npos) << json;
        EXPECT_EQ(registryState(), before);
    }
    {
        // A probe killed after it switched the settings: the next one puts them back first.
        ConsoleProbe killed("channels = CTXCAM\n", L"--timeout 60");
        ASSERT_TRUE(waitUntil(severitySwitchedOn, 20000)) << killed.output();
        TerminateProcess(killed.pi.hProcess, 9);
        EXPECT_EQ(killed.exitCode(10000), 9);
    }
    EXPECT_NE(registryState(), before);
    const ChildResult next = runProbe(exeDir() + L"\\plxprobe.exe", "fault.session_id_zero = -1\n", L"--timeout 1");
    EXPECT_NE(next.output.find("put back the log settings that an earlier plxprobe --diagnose (process "),
              std::string::npos)
        << next.output;
    EXPECT_EQ(registryState(), before);
    RegDeleteTreeW(HKEY_CURRENT_USER, kOrbivex);
}
