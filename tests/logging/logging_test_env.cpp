#include "logging_test_env.h"

#include <shlobj.h>

#include <algorithm>
#include <stdexcept>

#include "logging/log_settings.h"

namespace {

const REGSAM ALL_64 = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

std::wstring serverKeyPath() { return std::wstring(LOG_SETTINGS_KEY_PATH) + L"\\server"; }

}  // namespace

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

struct LogKeyBackup::Snapshot {
    struct Value {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;
    std::vector<std::pair<std::wstring, Snapshot>> children;

    static bool take(HKEY parent, const std::wstring& path, Snapshot* out) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return false;
        for (DWORD i = 0;; ++i) {
            wchar_t name[16384];
            DWORD nameLen = 16384, type = 0, size = 0;
            if (RegEnumValueW(key, i, name, &nameLen, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
            Value v{std::wstring(name, nameLen), type, std::vector<BYTE>(size)};
            nameLen = 16384;
            RegEnumValueW(key, i, name, &nameLen, nullptr, &type, v.data.data(), &size);
            v.data.resize(size);
            out->values.push_back(std::move(v));
        }
        for (DWORD i = 0;; ++i) {
            wchar_t name[256];
            DWORD nameLen = 256;
            if (RegEnumKeyExW(key, i, name, &nameLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            Snapshot child;
            if (take(key, name, &child)) out->children.emplace_back(name, std::move(child));
        }
        RegCloseKey(key);
        return true;
    }

    void restore(HKEY parent, const std::wstring& path) const {
        HKEY key = nullptr;
        if (RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, ALL_64, nullptr, &key, nullptr) != ERROR_SUCCESS) return;
        for (const auto& v : values) {
            RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
        }
        for (const auto& c : children) c.second.restore(key, c.first);
        RegCloseKey(key);
    }
};

LogKeyBackup::LogKeyBackup() {
    auto saved = std::make_unique<Snapshot>();
    if (Snapshot::take(HKEY_CURRENT_USER, LOG_SETTINGS_KEY_PATH, saved.get())) m_saved = std::move(saved);
    deleteLogKey();
}

LogKeyBackup::~LogKeyBackup() {
    deleteLogKey();
    if (m_saved) m_saved->restore(HKEY_CURRENT_USER, LOG_SETTINGS_KEY_PATH);
}

void deleteLogKey() {
    HKEY parent = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Orbivex\\Pathlens", 0, ALL_64, &parent) == ERROR_SUCCESS) {
        RegDeleteTreeW(parent, L"Log");
        RegDeleteKeyExW(parent, L"Log", KEY_WOW64_64KEY, 0);
        RegCloseKey(parent);
    }
}

void createServerKey() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, serverKeyPath().c_str(), 0, nullptr, 0, ALL_64, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        throw std::runtime_error("cannot create the settings key");
    }
    RegCloseKey(key);
}

void setServerRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, serverKeyPath().c_str(), 0, nullptr, 0, ALL_64, nullptr, &key, nullptr) !=
            ERROR_SUCCESS ||
        RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS) {
        if (key) RegCloseKey(key);
        throw std::runtime_error("cannot write a settings value");
    }
    RegCloseKey(key);
}

void setServerDword(const wchar_t* name, DWORD value) { setServerRaw(name, REG_DWORD, &value, sizeof value); }

void setServerString(const wchar_t* name, const std::wstring& text) {
    setServerRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

ScratchFolder::ScratchFolder(const std::wstring& leaf) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"plx_logtest_" + std::to_wstring(GetCurrentProcessId()) + L"\\" + leaf;
    removeTree(m_path);
}

ScratchFolder::~ScratchFolder() {
    removeTree(m_path);
    const size_t cut = m_path.find_last_of(L'\\');
    RemoveDirectoryW(m_path.substr(0, cut).c_str());  // the per-process parent, once empty
}

void ScratchFolder::create() const {
    for (size_t i = 3; i <= m_path.size(); ++i) {
        if (i == m_path.size() || m_path[i] == L'\\') CreateDirectoryW(m_path.substr(0, i).c_str(), nullptr);
    }
}

bool isDirectory(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void removeTree(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") removeTree(path + L"\\" + name);
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

std::vector<std::wstring> filesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

ScenarioRun runScenario(const std::wstring& steps, DWORD timeoutMs) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"log_scenario.exe";

    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::wstring commandLine = L"\"" + exe + L"\" " + steps;
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        throw std::runtime_error("cannot start log_scenario.exe");
    }
    CloseHandle(writeEnd);

    ScenarioRun run;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        DWORD available = 0;
        if (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (ReadFile(readEnd, &chunk[0], available, &got, nullptr)) run.output.append(chunk, 0, got);
            continue;
        }
        if (WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0) {
            // Drain what is left; the pipe reports end once the child is gone.
            char buffer[4096];
            DWORD got = 0;
            while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
                   ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
                run.output.append(buffer, got);
            }
            run.finished = true;
            break;
        }
        if (GetTickCount64() > deadline) {
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
    }
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(readEnd);
    return run;
}

std::string defaultLogFolderForTest() {
    char appData[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, appData);
    wchar_t wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, appData, -1, wide, MAX_PATH);
    return toUtf8(wide) + "\\Orbivex\\Pathlens\\Logs";
}

DefaultFolderBlocker::DefaultFolderBlocker() : m_folder(fromUtf8(defaultLogFolderForTest())) {
    m_wasDirectory = isDirectory(m_folder);
    if (m_wasDirectory && (!filesIn(m_folder).empty() || !RemoveDirectoryW(m_folder.c_str()))) return;
    // Parents first, then a plain file where the folder would go.
    for (size_t i = 3; i < m_folder.size(); ++i) {
        if (m_folder[i] == L'\\') CreateDirectoryW(m_folder.substr(0, i).c_str(), nullptr);
    }
    HANDLE file = CreateFileW(m_folder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (m_wasDirectory) CreateDirectoryW(m_folder.c_str(), nullptr);
        return;
    }
    CloseHandle(file);
    m_active = true;
}

DefaultFolderBlocker::~DefaultFolderBlocker() {
    if (!m_active) return;
    DeleteFileW(m_folder.c_str());
    if (m_wasDirectory) CreateDirectoryW(m_folder.c_str(), nullptr);
}
