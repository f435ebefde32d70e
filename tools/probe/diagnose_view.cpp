#include "diagnose_view.h"

#include <windows.h>

#include "diagnose_registry.h"

namespace diagnose {

const char* const kSettingNames[4] = {"severity", "path_root", "max_file_size", "max_file_count"};

namespace {

// The keys above the probes' keys. They stay ordinary keys: every key below a volatile key must
// be volatile too, so a volatile Pathlens would keep an admin from creating the library's own
// settings under it.
const wchar_t* const kAbove[] = {L"Software\\Orbivex", L"Software\\Orbivex\\Pathlens"};
const wchar_t* const kProbesKey = L"Software\\Orbivex\\Pathlens\\plxprobe";
// The path of the library's settings key, created level by level below the probe's key.
const wchar_t* const kSettingsLevels[] = {L"Software", L"Orbivex", L"Pathlens", L"Log", L"server"};
const wchar_t* const kServerKey = L"Software\\Orbivex\\Pathlens\\Log\\server";
const wchar_t* const kCreatedValue = L"process_created";  // REG_QWORD: tells a reused process id apart
// The library's default file limits, so that the run's log neither rolls away nor is cut short.
const DWORD kMaxFileSize = 5242880, kMaxFileCount = 10;

std::wstring g_ownKey;           // under the real HKEY_CURRENT_USER; empty while there is none
bool g_aboveExisted[2] = {true, true};
bool g_mapped = false;

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c < 0x80 ? c : '?');
    return out;
}

std::string utf8(const wchar_t* text, size_t units) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), &out[0], n, nullptr, nullptr);
    return out;
}

ULONGLONG creationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (ULONGLONG(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// A probe runs when its process does and (if its key says) was created when the key says.
bool probeRuns(DWORD pid, HKEY key) {
    const HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (p == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // exists, but not ours to look at
    RawValue created;
    const bool known = readRaw(key, kCreatedValue, created) && created.type == REG_QWORD && created.data.size() == 8;
    const bool runs = WaitForSingleObject(p, 0) == WAIT_TIMEOUT &&
                      (!known || *reinterpret_cast<const ULONGLONG*>(created.data.data()) == creationTime(p));
    CloseHandle(p);
    return runs;
}

// A killed probe leaves its key behind (it changes nothing for anyone): the next run removes it.
std::string removeStaleKeys() {
    Key probes;
    if (!probes.open(HKEY_CURRENT_USER, kProbesKey)) return "";
    std::vector<std::wstring> stale;
    wchar_t name[64];
    for (DWORD i = 0;; ++i) {
        DWORD length = 64;
        if (RegEnumKeyExW(probes.handle, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        Key probe;
        const DWORD pid = wcstoul(name, nullptr, 10);
        if (pid != GetCurrentProcessId() && probe.open(probes.handle, name) && !probeRuns(pid, probe.handle))
            stale.emplace_back(name, length);
    }
    std::string notes;
    for (const std::wstring& n : stale)
        if (RegDeleteTreeW(probes.handle, n.c_str()) == ERROR_SUCCESS)
            notes += "plxprobe: removed the registry view that an earlier plxprobe --diagnose (process " + narrow(n) +
                     ") left when it was stopped\n";
    return notes;
}

std::string describe(const RawValue& v) {
    if (v.type == REG_DWORD && v.data.size() == 4)
        return std::to_string(*reinterpret_cast<const DWORD*>(v.data.data())) + " (REG_DWORD)";
    if (v.type == REG_SZ) {
        size_t units = v.data.size() / sizeof(wchar_t);
        const wchar_t* text = reinterpret_cast<const wchar_t*>(v.data.data());
        while (units > 0 && text[units - 1] == L'\0') --units;
        return "\"" + utf8(text, units) + "\" (REG_SZ)";
    }
    return "type " + std::to_string(v.type) + ", " + std::to_string(v.data.size()) + " bytes (not read by the library)";
}

}  // namespace

UserSettings readUserSettings() {
    UserSettings settings;
    Key server;
    settings.present = server.open(HKEY_CURRENT_USER, kServerKey);
    for (int i = 0; settings.present && i < 4; ++i) {
        RawValue v;
        const std::wstring name(kSettingNames[i], kSettingNames[i] + std::char_traits<char>::length(kSettingNames[i]));
        if (!readRaw(server.handle, name.c_str(), v)) continue;
        settings.values[i] = describe(v);
        if (i == 0 && v.type == REG_DWORD && v.data.size() == 4)
            settings.logOff = *reinterpret_cast<const DWORD*>(v.data.data()) == 0;
    }
    return settings;
}

bool openOwnView(const std::wstring& folder, std::string& notes, std::string& error) {
    notes = removeStaleKeys();
    for (int i = 0; i < 2; ++i) {
        Key above;
        g_aboveExisted[i] = above.open(HKEY_CURRENT_USER, kAbove[i]);
    }
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    Key probes, own;
    // Another probe may delete the probes' key, found empty, between the two creations: try again.
    for (int attempt = 0; attempt < 3 && !own.handle; ++attempt)
        if (probes.create(HKEY_CURRENT_USER, kProbesKey, REG_OPTION_NON_VOLATILE))
            own.create(probes.handle, pid.c_str(), REG_OPTION_VOLATILE);
    if (!own.handle) {
        error = "cannot create HKCU\\" + narrow(kProbesKey) + "\\" + narrow(pid);
        return false;
    }
    g_ownKey = std::wstring(kProbesKey) + L"\\" + pid;
    const ULONGLONG created = creationTime(GetCurrentProcess());
    RegSetValueExW(own.handle, kCreatedValue, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&created), sizeof created);
    // Below a volatile key each level has to be created volatile itself.
    Key levels[5];
    HKEY parent = own.handle;
    for (int i = 0; i < 5 && parent; ++i) parent = levels[i].create(parent, kSettingsLevels[i], REG_OPTION_VOLATILE)
                                                      ? levels[i].handle
                                                      : nullptr;
    if (!parent || !writeText(parent, L"path_root", folder) || !writeDword(parent, L"max_file_size", kMaxFileSize) ||
        !writeDword(parent, L"max_file_count", kMaxFileCount) || !writeDword(parent, L"severity", 5)) {
        error = "cannot write the log settings under HKCU\\" + narrow(g_ownKey);
        return false;
    }
    const LONG rc = RegOverridePredefKey(HKEY_CURRENT_USER, own.handle);  // it keeps a handle of its own
    if (rc != ERROR_SUCCESS) {
        error = "RegOverridePredefKey failed with error " + std::to_string(rc);
        return false;
    }
    g_mapped = true;
    return true;
}

void closeOwnView() {
    if (g_mapped) RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    g_mapped = false;
    if (g_ownKey.empty()) return;
    RegDeleteTreeW(HKEY_CURRENT_USER, g_ownKey.c_str());
    g_ownKey.clear();
    deleteIfEmpty(kProbesKey);
    for (int i = 1; i >= 0; --i)
        if (!g_aboveExisted[i]) deleteIfEmpty(kAbove[i]);
}

}  // namespace diagnose
