#include "diagnose_settings.h"

#include <windows.h>
// after windows.h, which it needs
#include <sddl.h>

#include <mutex>
#include <vector>

#include "diagnose_registry.h"

namespace diagnose {
namespace {

// The key the library reads, and the keys above it, in the order they would be created.
const wchar_t* const kKeyChain[] = {L"Software\\Orbivex", L"Software\\Orbivex\\Pathlens",
                                    L"Software\\Orbivex\\Pathlens\\Log", L"Software\\Orbivex\\Pathlens\\Log\\server"};
const wchar_t* const kServerKey = kKeyChain[3];
// The saved settings live outside the Log subtree, which the libraries' registry monitors watch:
// the probes' bookkeeping must not wake them. Values: "keys_existed" (bit i: kKeyChain[i] existed
// before the first probe), "complete" (the copy is whole); subkeys "values" (the saved values as
// they were, absent ones absent) and "owners" (one value per probe using the settings: its process
// id as the name, its creation time as a REG_QWORD, so a reused id is not taken for a live probe).
const wchar_t* const kBackupKey = L"Software\\Orbivex\\Pathlens\\plxprobe diagnose backup";
const wchar_t* const kValueNames[] = {L"severity", L"path_root", L"max_file_size", L"max_file_count"};
const DWORD kLockWaitMs = 30000;       // a probe holds the lock for at most kSetupHoldMs plus a few registry calls
const DWORD kSetupHoldMs = 15000;

ULONGLONG creationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (ULONGLONG(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool probeAlive(DWORD pid, ULONGLONG created) {
    const HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (p == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // exists, but not ours to look at
    const bool alive = WaitForSingleObject(p, 0) == WAIT_TIMEOUT && creationTime(p) == created;
    CloseHandle(p);
    return alive;
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c < 0x80 ? c : '?');
    return out;
}

// Drops the owners that no longer run; returns the process ids of those that do, and of those dropped.
void pruneOwners(HKEY backup, std::vector<std::wstring>& live, std::vector<std::wstring>& dead) {
    Key owners;
    if (!owners.create(backup, L"owners")) return;
    std::vector<std::wstring> names;
    wchar_t name[64];
    for (DWORD i = 0;; ++i) {
        DWORD length = 64;
        if (RegEnumValueW(owners.handle, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    for (const std::wstring& n : names) {
        RawValue v;
        const bool known = readRaw(owners.handle, n.c_str(), v) && v.type == REG_QWORD && v.data.size() == 8;
        if (known && probeAlive(wcstoul(n.c_str(), nullptr, 10), *reinterpret_cast<const ULONGLONG*>(v.data.data()))) {
            live.push_back(n);
        } else {
            RegDeleteValueW(owners.handle, n.c_str());
            dead.push_back(n);
        }
    }
}

// Writes the saved values back into the library's key, deletes the copy and the keys the probes created.
void putBackAndDrop(HKEY backupHandle) {
    const DWORD existed = readDword(backupHandle, L"keys_existed", 0xF);  // unknown: delete no key
    if (readDword(backupHandle, L"complete", 0) == 1) {
        Key values, server;
        values.create(backupHandle, L"values");
        if (server.create(HKEY_CURRENT_USER, kServerKey)) {
            for (const wchar_t* name : kValueNames) {
                RawValue v;
                if (readRaw(values.handle, name, v))
                    writeRaw(server.handle, name, v);
                else
                    RegDeleteValueW(server.handle, name);
            }
        }
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kBackupKey);
    for (int i = 3; i >= 0; --i)
        if (!(existed & (1u << i))) deleteIfEmpty(kKeyChain[i]);
}

// Copies the current values, once, before any probe changes them. The copy counts only once
// "complete" is written; a probe that dies before that has changed nothing yet.
bool saveOriginals(std::string& error) {
    DWORD existed = 0;
    for (int i = 0; i < 4; ++i) existed |= keyExists(kKeyChain[i]) ? 1u << i : 0u;
    Key backup, values, server;
    if (!backup.create(HKEY_CURRENT_USER, kBackupKey) || !writeDword(backup.handle, L"keys_existed", existed) ||
        !values.create(backup.handle, L"values")) {
        error = "cannot save the log settings under HKCU\\" + narrow(kBackupKey);
        return false;
    }
    if (server.open(HKEY_CURRENT_USER, kServerKey, KEY_READ)) {
        for (const wchar_t* name : kValueNames) {
            RawValue v;
            if (readRaw(server.handle, name, v) && !writeRaw(values.handle, name, v)) {
                error = "cannot copy the value " + narrow(name);
                return false;
            }
        }
    }
    return writeDword(backup.handle, L"complete", 1);
}

std::string joined(const std::vector<std::wstring>& pids) {
    std::string out;
    for (const auto& p : pids) out += (out.empty() ? "" : ", ") + narrow(p);
    return out;
}

std::wstring userSid() {
    std::wstring sid;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    wchar_t* text = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

// One lock per user, across sessions (the user's registry is the same in all of them). It
// serialises the probes' registry work, and a probe holds it from switching the settings until
// its library has read them, so a second probe cannot redirect the first one's log.
HANDLE settingsLock() {
    static const HANDLE lock = [] {
        const std::wstring name = L"plxprobe-diagnose-log-settings-" + userSid();
        HANDLE h = CreateMutexW(nullptr, FALSE, (L"Global\\" + name).c_str());
        return h ? h : CreateMutexW(nullptr, FALSE, (L"Local\\" + name).c_str());
    }();
    return lock;
}

bool takeLock() {
    // An abandoned lock belonged to a probe that died: its registry work is repaired by the owner check.
    const DWORD w = settingsLock() ? WaitForSingleObject(settingsLock(), kLockWaitMs) : WAIT_FAILED;
    return w == WAIT_OBJECT_0 || w == WAIT_ABANDONED;
}

std::mutex g_restoreMutex;  // the main thread and the Ctrl+C handler thread
bool g_switched = false, g_restored = false;
std::string g_restoreResult;
HANDLE g_setupThread = nullptr, g_releaseSetup = nullptr;

struct SetupJob {
    std::wstring folder;
    std::string notes, error;
    bool ok = false;
    HANDLE done = nullptr;
};

bool folderHasFile(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((folder + L"\\*.log").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    return true;
}

bool switchUnderLock(SetupJob& job) {
    Key backup;
    if (backup.open(HKEY_CURRENT_USER, kBackupKey)) {
        std::vector<std::wstring> live, dead;
        pruneOwners(backup.handle, live, dead);
        if (live.empty()) {
            putBackAndDrop(backup.handle);
            if (!dead.empty())
                job.notes += "plxprobe: put back the log settings that an earlier plxprobe --diagnose (process " +
                             joined(dead) + ") left behind when it was stopped\n";
        } else {
            job.notes += "plxprobe: another plxprobe --diagnose runs (process " + joined(live) +
                         "); the user's own log settings stay saved until the last of them ends\n";
        }
        backup.close();
    }
    if (!keyExists(kBackupKey) && !saveOriginals(job.error)) return false;
    Key owners, server;
    HANDLE self = GetCurrentProcess();
    const ULONGLONG created = creationTime(self);
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    if (!owners.create(HKEY_CURRENT_USER, (std::wstring(kBackupKey) + L"\\owners").c_str()) ||
        RegSetValueExW(owners.handle, pid.c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&created),
                       sizeof created) != ERROR_SUCCESS) {
        job.error = "cannot register this probe with the saved log settings";
        return false;
    }
    g_switched = true;  // from here on the settings are put back at the end
    // path_root first: a library whose monitor sees the new severity creates its log in that folder.
    const DWORD bytes = static_cast<DWORD>((job.folder.size() + 1) * sizeof(wchar_t));
    if (!server.create(HKEY_CURRENT_USER, kServerKey) ||
        RegSetValueExW(server.handle, L"path_root", 0, REG_SZ, reinterpret_cast<const BYTE*>(job.folder.c_str()),
                       bytes) != ERROR_SUCCESS ||
        !writeDword(server.handle, L"max_file_size", 5242880) || !writeDword(server.handle, L"max_file_count", 10) ||
        !writeDword(server.handle, L"severity", 5)) {
        job.error = "cannot write HKCU\\" + narrow(kServerKey);
        return false;
    }
    return true;
}

DWORD WINAPI setupThread(void* argument) {
    SetupJob& job = *static_cast<SetupJob*>(argument);
    if (!takeLock()) {
        job.error = "another plxprobe --diagnose holds the log settings for more than 30 s";
        SetEvent(job.done);
        return 0;
    }
    job.ok = switchUnderLock(job);
    const std::wstring folder = job.folder;
    const bool hold = job.ok;
    SetEvent(job.done);  // job belongs to the caller from here on
    // Hold the lock until the library has created its log (it read the settings then), the
    // probe ends, or a limit passes.
    const ULONGLONG end = GetTickCount64() + kSetupHoldMs;
    while (hold && GetTickCount64() < end && !folderHasFile(folder) && WaitForSingleObject(g_releaseSetup, 20) != 0) {
    }
    ReleaseMutex(settingsLock());
    return 0;
}

}  // namespace

bool switchLogSettings(const std::wstring& folder, std::string& notes, std::string& error) {
    SetupJob job;
    job.folder = folder;
    job.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_releaseSetup = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard<std::mutex> lock(g_restoreMutex);  // a Ctrl+C meanwhile waits for the switch
        g_setupThread = job.done && g_releaseSetup ? CreateThread(nullptr, 0, setupThread, &job, 0, nullptr) : nullptr;
        if (g_setupThread == nullptr) {
            error = "cannot start the settings thread";
        } else {
            WaitForSingleObject(job.done, INFINITE);
            error = job.error;
        }
    }
    CloseHandle(job.done);
    notes = job.notes;
    if (!job.ok && g_switched) restoreLogSettings();  // half switched: put back what was saved
    return job.ok;
}

void releaseSetupLock() {
    if (g_releaseSetup) SetEvent(g_releaseSetup);
    if (g_setupThread) WaitForSingleObject(g_setupThread, INFINITE);
}

std::string restoreLogSettings() {
    std::lock_guard<std::mutex> guard(g_restoreMutex);
    if (!g_switched || g_restored) return g_restoreResult;
    releaseSetupLock();
    const bool locked = takeLock();  // without the lock still better to put the values back than not
    Key backup;
    if (!backup.open(HKEY_CURRENT_USER, kBackupKey)) {
        g_restoreResult = "the saved log settings (HKCU\\" + narrow(kBackupKey) + ") are gone; HKCU\\" +
                          narrow(kServerKey) + " was left as it is";
    } else {
        Key owners;
        if (owners.open(backup.handle, L"owners"))
            RegDeleteValueW(owners.handle, std::to_wstring(GetCurrentProcessId()).c_str());
        owners.close();
        std::vector<std::wstring> live, dead;
        pruneOwners(backup.handle, live, dead);
        if (live.empty()) {
            putBackAndDrop(backup.handle);
            g_restoreResult = "back as they were in HKCU\\" + narrow(kServerKey);
        } else {
            g_restoreResult = "another plxprobe --diagnose still runs (process " + joined(live) +
                              "); it puts the log settings back when it ends";
        }
    }
    if (locked) ReleaseMutex(settingsLock());
    g_restored = true;
    return g_restoreResult;
}

}  // namespace diagnose
