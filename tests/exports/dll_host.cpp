#include "dll_host.h"

#include <cstdio>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <thread>

const wchar_t* const kServerKey = L"Software\\Orbivex\\Pathlens\\Log\\server";

static bool g_testWaitsLoaded = false;

// Test settings first, in a log folder of this run's own; at the end the DLL stopped and unloaded, the
// settings key and log folders removed.
class HostEnvironment : public testing::Environment {
    void SetUp() override {
        // A host that was killed left its folder behind, perhaps with a file that Wine has not yet
        // let go of: it is removed where it can be, and never reused (Wine reuses process ids).
        std::vector<std::filesystem::path> stale;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(std::filesystem::temp_directory_path(), ec), end; !ec && it != end;
             it.increment(ec))
            if (it->path().filename().wstring().rfind(L"plx_host_", 0) == 0) stale.push_back(it->path());
        for (const auto& folder : stale) std::filesystem::remove_all(folder, ec);
        useTestLogSettings();
        // PLX_TEST_KILL_AFTER_MS: the host is killed that long after its start, in the middle of its work.
        if (const char* ms = std::getenv("PLX_TEST_KILL_AFTER_MS"))
            std::thread([delay = std::atoi(ms)] {
                Sleep(static_cast<DWORD>(delay));
                std::printf("killed after %d ms, in the middle of its work\n", delay);
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 99);
            }).detach();
    }
    void TearDown() override {
        dll().cleanup();
        FreeLibrary(dll().module);
        if (g_testWaitsLoaded) testWaitsDll().cleanup(), FreeLibrary(testWaitsDll().module);
        RegDeleteTreeW(HKEY_CURRENT_USER, kServerKey);
        std::error_code ignored;
        std::filesystem::remove_all(logRoot(), ignored);
    }
};
testing::Environment* const g_environment = testing::AddGlobalTestEnvironment(new HostEnvironment);

std::atomic<int> g_v1Calls{0}, g_v2Calls{0};
ClientInfo g_v1;
ClientInfoV2 g_v2;
void PLX_CDECL copyV1(void* record) { std::memcpy(&g_v1, record, sizeof g_v1), ++g_v1Calls; }
void PLX_CDECL copyV2(void* record) { std::memcpy(&g_v2, record, sizeof g_v2), ++g_v2Calls; }
int32_t call(bool v2, const ProductDll& d) { return v2 ? d.getV2(copyV2, nullptr) : d.get(copyV1, nullptr); }
std::pair<int32_t, int> callCounted(bool v2, const ProductDll& d) {
    g_v1Calls = g_v2Calls = 0;
    return {call(v2, d), g_v1Calls + g_v2Calls};  // a braced list is evaluated from left to right
}

std::wstring exeDir() {
    wchar_t path[MAX_PATH];
    return std::filesystem::path(path, path + GetModuleFileNameW(nullptr, path, MAX_PATH)).parent_path().wstring();
}

static ProductDll loadDll(const std::wstring& path) {
    const ProductDll d = exportsOf(LoadLibraryW(path.c_str()));
    if (!d.complete()) throw std::runtime_error("cannot load " PLX_DLL_NAME);
    return d;
}

static ProductDll& loadedDll() {
    static ProductDll loaded = loadDll(exeDir() + L"\\" PLX_DLL_NAME_W);
    return loaded;
}
const ProductDll& dll() { return loadedDll(); }

void reloadDll() {
    ProductDll& d = loadedDll();
    d.cleanup();
    FreeLibrary(d.module);  // its logger closes its file with it
    std::error_code ignored;
    std::filesystem::remove_all(logRoot() + L"\\dll", ignored);
    setLogFolder(logRoot() + L"\\dll");
    d = loadDll(exeDir() + L"\\" PLX_DLL_NAME_W);
}

std::string startedLog() {
    if (productLog().empty()) dll().get(nullptr, nullptr);
    dll().cleanup();
    return productLog();
}

const ProductDll& testWaitsDll() {
    static const ProductDll loaded = loadDll(exeDir() + L"\\..\\bin-testwaits\\" PLX_DLL_NAME_W);
    g_testWaitsLoaded = true;
    return loaded;
}

std::wstring logRoot() {
    static const auto root = std::filesystem::temp_directory_path() /
                             ("plx_host_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount()));
    return root.wstring();
}

std::vector<std::wstring> logFiles(const std::wstring& folder) {
    std::vector<std::wstring> files;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().wstring().rfind(L"plx_srv_dll_citrix_", 0) == 0)
            files.push_back(it->path().wstring());
    return files;
}

std::string productLog(const std::wstring& folder) {
    const std::vector<std::wstring> files = logFiles(folder);
    return files.size() == 1 ? std::filesystem::path(files[0]).u8string() : "";
}

void setServerValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    if (RegSetKeyValueW(HKEY_CURRENT_USER, kServerKey, name, type, data, size) != ERROR_SUCCESS)
        throw std::runtime_error("cannot write a settings value");
}

void setLogFolder(const std::wstring& folder) {
    std::filesystem::create_directories(folder);
    setServerValue(L"path_root", REG_SZ, folder.c_str(), static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
}

void useTestLogSettings() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kServerKey);
    const DWORD verbose = 6;
    setServerValue(L"severity", REG_DWORD, &verbose, sizeof verbose);
    setLogFolder(logRoot() + L"\\dll");
}

void configureSession() {
    wfsim_reset();
    ClientInfo info{};
    std::strcpy(info.userName, "host.user");
    std::strcpy(info.computerName, "HOST-PC-01");
    info.clientValue1 = 1234;
    info.clientReal1 = 2.5;
    info.readFailurePercent = 55;  // the host gets the library's own count instead
    wfsim_set_client_info(&info);
    ClientInfoV2Ext ext{};
    std::strcpy(ext.extText1, "ext-one");
    ext.extValue3 = 77;
    wfsim_set_client_info_v2(&ext, 1);
}

bool atDefaults(const ClientInfo& r) {
    return r.latency == -1 && r.userName[0] == '\0' && r.computerName[0] == '\0' && r.clientValue1 == -1 &&
           r.readFailurePercent == -1 && r.clientReal1 == -1.0;
}

bool pollUntilData(bool v2) {
    int32_t rc = ICASRV_OK;
    const ClientInfo& r = v2 ? g_v2.base : g_v1;
    return waitUntil([&] { return (rc = call(v2)) != 0 || (r.userName[0] && r.latency >= 0); }, 10000) && rc == 0;
}

std::string missingInOrder(const std::vector<LogRecord>& records, const std::vector<Line>& lines) {
    size_t at = 0;
    for (const Line& l : lines) {
        const std::regex re(l.re ? l.text : "");
        const auto fits = [&](const LogRecord& r) {
            return r.severity == l.severity && r.func == l.func &&
                   (l.re ? std::regex_match(r.message, re) : r.message == l.text);
        };
        while (at < records.size() && !fits(records[at])) ++at;
        if (at++ == records.size()) {
            std::string out = "missing or out of order: " + describe({l.severity, l.func, l.text}) + "\n--- log:\n";
            for (const auto& r : records) out += describe(r) + "\n";
            return out;
        }
    }
    return "";
}

PROCESS_INFORMATION startChild(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir,
                               const std::wstring& outPath, DWORD creationFlags) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE out =
        CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out;
    PROCESS_INFORMATION pi{};
    std::wstring commandLine = L"\"" + exe + L"\" " + args;
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, creationFlags, nullptr, workDir.c_str(),
                        &si, &pi))
        pi = PROCESS_INFORMATION{};
    CloseHandle(out);
    return pi;
}

std::string readWholeFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ChildResult runChild(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir, int timeoutMs) {
    ChildResult result;
    const std::wstring outPath = logRoot() + L"\\child.out";
    const PROCESS_INFORMATION pi = startChild(exe, args, workDir, outPath);
    if (pi.hProcess) {
        DWORD code = 0;
        if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(pi.hProcess, &code))
            result.exitCode = static_cast<int>(code);
        else
            TerminateProcess(pi.hProcess, 999), WaitForSingleObject(pi.hProcess, 10000);
        CloseHandle(pi.hProcess), CloseHandle(pi.hThread);
    }
    result.output = readWholeFile(outPath);
    return result;
}
