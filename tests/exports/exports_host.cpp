#include "exports_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

const wchar_t* const kServerKey = L"Software\\Orbivex\\Pathlens\\Log\\server";

// Saves a registry value on construction and puts it back (or deletes it) on restore().
struct SavedValue {
    explicit SavedValue(const wchar_t* valueName) : name(valueName) {}
    const wchar_t* name;
    bool existed = false;
    DWORD type = 0;
    std::vector<BYTE> data;

    void save(HKEY key) {
        DWORD size = 0;
        existed = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
        if (existed) {
            data.resize(size);
            RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
        }
    }
    void restore(HKEY key) const {
        if (existed)
            RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
        else
            RegDeleteValueW(key, name);
    }
};

// Sets severity 6 and a test path_root before the first call and restores the registry after
// the last test; unloads the DLL (after cleanup) so its log file is closed.
class ExportsEnvironment : public testing::Environment {
public:
    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kServerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        m_severity.save(key);
        m_pathRoot.save(key);
        const DWORD verbose = 6;
        RegSetValueExW(key, L"severity", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&verbose), sizeof verbose);
        RegCloseKey(key);
        setLogFolder(logRoot() + L"\\main");
    }
    void TearDown() override {
        const ProductDll& d = dll();
        d.cleanup();
        FreeLibrary(d.module);
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kServerKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            m_severity.restore(key);
            m_pathRoot.restore(key);
            RegCloseKey(key);
        }
    }

private:
    SavedValue m_severity{L"severity"};
    SavedValue m_pathRoot{L"path_root"};
};

testing::Environment* const g_environment = testing::AddGlobalTestEnvironment(new ExportsEnvironment);

// An export of a loaded module as the function pointer type the public header names.
template <typename Fn>
Fn procAs(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

std::atomic<int> g_v1Calls{0};
std::atomic<int> g_v2Calls{0};
ClientInfo g_v1Copy;
ClientInfoV2 g_v2Copy;

void PLX_CDECL copyV1(void* record) {
    std::memcpy(&g_v1Copy, record, sizeof g_v1Copy);
    ++g_v1Calls;
}

void PLX_CDECL copyV2(void* record) {
    std::memcpy(&g_v2Copy, record, sizeof g_v2Copy);
    ++g_v2Calls;
}

void resetCallbackCounts() {
    g_v1Calls = 0;
    g_v2Calls = 0;
}

std::wstring exeDir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

const ProductDll& dll() {
    static const ProductDll loaded = [] {
        ProductDll d;
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

std::wstring logRoot() {
    static const std::wstring root = [] {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring dir = std::wstring(temp) + L"plx_exports_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                           std::to_wstring(GetTickCount());
        CreateDirectoryW(dir.c_str(), nullptr);
        return dir;
    }();
    return root;
}

void setLogFolder(const std::wstring& folder) {
    CreateDirectoryW(folder.c_str(), nullptr);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kServerKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegSetValueExW(key, L"path_root", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::string findLogFile(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\plx_srv_dll_citrix_*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return {};
    FindClose(search);
    return toUtf8(folder + L"\\" + found.cFileName);
}

std::string productLog() { return findLogFile(logRoot() + L"\\main"); }

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

ChildResult runChild(const std::wstring& exe, const std::wstring& args, const std::wstring& workDir,
                     const std::wstring& extraEnv, int timeoutMs) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    // The environment block: extraEnv ("NAME=value" entries separated by '\n'), then our own
    // variables except those that extraEnv sets.
    std::wstring block;
    if (!extraEnv.empty()) {
        std::vector<std::wstring> names;
        size_t start = 0;
        while (start < extraEnv.size()) {
            size_t end = extraEnv.find(L'\n', start);
            if (end == std::wstring::npos) end = extraEnv.size();
            const std::wstring entry = extraEnv.substr(start, end - start);
            names.push_back(entry.substr(0, entry.find(L'=') + 1));
            block.append(entry).push_back(L'\0');
            start = end + 1;
        }
        wchar_t* own = GetEnvironmentStringsW();
        for (const wchar_t* p = own; *p; p += wcslen(p) + 1) {
            bool replaced = false;
            for (const auto& name : names) replaced = replaced || _wcsnicmp(p, name.c_str(), name.size()) == 0;
            if (!replaced) block.append(p).push_back(L'\0');
        }
        FreeEnvironmentStringsW(own);
        block.push_back(L'\0');
    }

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi{};
    std::wstring commandLine = L"\"" + exe + L"\" " + args;
    const BOOL started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, block.empty() ? nullptr : &block[0],
                                        workDir.c_str(), &si, &pi);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return result;
    }
    // Read on a helper thread so a chatty child cannot block on a full pipe.
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
    }
    reader.join();
    CloseHandle(readEnd);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return result;
}
