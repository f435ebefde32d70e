#include "faults/faults_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "wfsim_control.h"

namespace faults {

namespace {

const wchar_t* const kServerKey = L"Software\\Orbivex\\Pathlens\\Log\\server";
const REGSAM kAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

struct SavedValue {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
};

// The server key as this process found it.
struct SavedKey {
    bool existed = false;
    std::vector<SavedValue> values;
};

SavedKey& savedKey() {
    static SavedKey saved;
    return saved;
}

void snapshotServerKey() {
    SavedKey& saved = savedKey();
    HKEY key = nullptr;
    saved.existed = RegOpenKeyExW(HKEY_CURRENT_USER, kServerKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS;
    if (!saved.existed) return;
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        SavedValue value{std::wstring(name, nameLength), type, std::vector<BYTE>(size)};
        nameLength = 16384;
        RegEnumValueW(key, i, name, &nameLength, nullptr, &type, value.data.data(), &size);
        value.data.resize(size);
        saved.values.push_back(std::move(value));
    }
    RegCloseKey(key);
}

template <typename Fn>
Fn procAs(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Saves the settings, points the DLL's log at this process's folder with every severity,
// and at the end stops the DLL, unloads it and puts everything back.
class FaultsEnvironment : public testing::Environment {
public:
    void SetUp() override {
        snapshotServerKey();
        CreateDirectoryW(logFolder().c_str(), nullptr);
        useTestLogSettings();
    }
    void TearDown() override {
        const Dll& d = dll();
        d.cleanup();
        FreeLibrary(d.module);
        restoreServerKey();
        removeTree(logFolder());
    }
};

testing::Environment* const g_environment = testing::AddGlobalTestEnvironment(new FaultsEnvironment);

}  // namespace

ClientInfo g_v1;
ClientInfoV2 g_v2;
volatile LONG g_calls = 0;

void PLX_CDECL copyV1(void* record) {
    std::memcpy(&g_v1, record, sizeof g_v1);
    InterlockedIncrement(&g_calls);
}

void PLX_CDECL copyV2(void* record) {
    std::memcpy(&g_v2, record, sizeof g_v2);
    InterlockedIncrement(&g_calls);
}

std::wstring exeDir() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path, n);
    return full.substr(0, full.find_last_of(L'\\'));
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

const Dll& dll() {
    static const Dll loaded = [] {
        Dll d;
        const std::wstring path = exeDir() + L"\\plx_srv_citrix32.dll";
        d.module = LoadLibraryW(path.c_str());
        if (d.module == nullptr) throw std::runtime_error("cannot load " + toUtf8(path));
        d.get = procAs<icasrv_get_remote_info_fn>(d.module, "icasrv_get_remote_info");
        d.getV2 = procAs<icasrv_get_remote_info_v2_fn>(d.module, "icasrv_get_remote_info_v2");
        d.cleanup = procAs<icasrv_cleanup_fn>(d.module, "icasrv_cleanup");
        if (!d.get || !d.getV2 || !d.cleanup) throw std::runtime_error("exports missing");
        return d;
    }();
    return loaded;
}

void setServerValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kServerKey, 0, nullptr, 0, kAccess, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        throw std::runtime_error("cannot create the settings key");
    }
    const LONG rc = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) throw std::runtime_error("cannot write a settings value");
}

void setServerDword(const wchar_t* name, DWORD value) { setServerValue(name, REG_DWORD, &value, sizeof value); }

void setServerString(const wchar_t* name, const std::wstring& text) {
    setServerValue(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void deleteServerValue(const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kServerKey, 0, kAccess, &key) != ERROR_SUCCESS) return;
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

void clearServerKey() {
    HKEY parent = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Orbivex\\Pathlens\\Log", 0, kAccess, &parent) == ERROR_SUCCESS) {
        RegDeleteTreeW(parent, L"server");
        RegDeleteKeyExW(parent, L"server", KEY_WOW64_64KEY, 0);
        RegCloseKey(parent);
    }
}

void useTestLogSettings() {
    clearServerKey();
    const std::wstring dllFolder = logFolder() + L"\\dll";
    CreateDirectoryW(logFolder().c_str(), nullptr);
    CreateDirectoryW(dllFolder.c_str(), nullptr);
    setServerDword(L"severity", 6);
    setServerString(L"path_root", dllFolder);
}

void restoreServerKey() {
    clearServerKey();
    const SavedKey& saved = savedKey();
    if (!saved.existed) return;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kServerKey, 0, nullptr, 0, kAccess, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    for (const auto& v : saved.values)
        RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    RegCloseKey(key);
}

std::wstring logFolder() {
    static const std::wstring folder = [] {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        return std::wstring(temp) + L"plx_faults_" + std::to_wstring(GetCurrentProcessId());
    }();
    return folder;
}

std::wstring onlyLogFileIn(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\plx_srv_dll_citrix_*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return {};
    std::wstring name = found.cFileName;
    if (FindNextFileW(search, &found)) name.clear();
    FindClose(search);
    return name.empty() ? name : folder + L"\\" + name;
}

std::string dllLogPath() { return toUtf8(onlyLogFileIn(logFolder() + L"\\dll")); }

int filesIn(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return n;
}

void removeTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") removeTree(path + L"\\" + name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

bool waitUntil(const std::function<bool()>& condition, int boundMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string accountingProblems() {
    WfsimCounters c{};
    wfsim_get_counters(&c);
    std::string problems;
    const LONG outstanding = wfsim_outstanding();
    if (outstanding != 0) problems += "outstanding " + std::to_string(outstanding) + "; ";
    if (c.badFrees) problems += "bad frees " + std::to_string(c.badFrees) + "; ";
    if (c.badChannelCloses) problems += "bad channel closes " + std::to_string(c.badChannelCloses) + "; ";
    if (c.badSmcCloses) problems += "bad session handle closes " + std::to_string(c.badSmcCloses) + "; ";
    return problems;
}

std::string describe(const LogRecord& r) { return r.severity + " [" + r.func + "] " + r.message; }

std::string dump(const std::vector<LogRecord>& records) {
    std::string out;
    for (const auto& r : records) out += describe(r) + "\n";
    return out;
}

ChildResult runProbe(const std::wstring& args, int timeoutMs) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi{};
    const std::wstring exe = exeDir() + L"\\plxprobe.exe";
    std::wstring commandLine = L"\"" + exe + L"\" " + args;
    const BOOL started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        exeDir().c_str(), &si, &pi);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return result;
    }
    // Read on a thread of its own, so that a chatty child never blocks on a full pipe.
    std::thread reader([&] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
    });
    if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        result.exitCode = static_cast<int>(code);
    } else {
        TerminateProcess(pi.hProcess, 999);
        WaitForSingleObject(pi.hProcess, 10000);
    }
    reader.join();
    CloseHandle(readEnd);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return result;
}

}  // namespace faults
