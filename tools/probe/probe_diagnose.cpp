// plxprobe --diagnose: switches the library's log on for this process only (a registry view of
// its own), then reads the log back and prints the stages with the line that shows each, and for
// the first failed stage what to do.
#include "probe_diagnose.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diagnose_stages.h"
#include "diagnose_view.h"
#include "plx_srv_citrix.h"
extern "C" {
#include "probe_format.h"  // a C header without C++ guards
}

namespace {

// The probe's exit codes (see probe_main.c) that need words of their own here.
enum { EXIT_DATA = 0, EXIT_NO_LIBRARY = 2, EXIT_NO_DATA = 4, EXIT_INTERRUPTED = 130 };

const char* const kServerKeyText = "HKCU\\Software\\Orbivex\\Pathlens\\Log\\server";

std::wstring g_folder;
std::string g_viewError;  // empty once the library's log is on in the probe's own view
diagnose::UserSettings g_user;

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

bool ascii(const std::wstring& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
}

std::wstring fullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH + 1];
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH + 1, full, nullptr);
    return n > 0 && n <= MAX_PATH ? std::wstring(full, n) : std::wstring();
}

// A new folder under the user's temp folder, as an absolute path in every case: without a temp
// folder (GetTempPathW fails) it goes under the current folder. The library hands path_root to
// the file system as text in the system code page, so a path with other characters is taken in
// its short form.
std::wstring makeFreshFolder() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring base = fullPath(n > 0 && n <= MAX_PATH ? std::wstring(temp, n) : std::wstring(L"."));
    if (!ascii(base)) {
        wchar_t shortPath[MAX_PATH + 1];
        const DWORD s = GetShortPathNameW(base.c_str(), shortPath, MAX_PATH + 1);
        if (s > 0 && s <= MAX_PATH) base.assign(shortPath, s);
    }
    if (base.empty()) return base;
    if (base.back() != L'\\') base += L'\\';
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t name[96];
    for (int attempt = 0; attempt < 100; ++attempt) {
        swprintf(name, 96, L"plxprobe-diagnose-%04u%02u%02u-%02u%02u%02u-%lu-%d", t.wYear, t.wMonth, t.wDay, t.wHour,
                 t.wMinute, t.wSecond, static_cast<unsigned long>(GetCurrentProcessId()), attempt);
        if (CreateDirectoryW((base + name).c_str(), nullptr)) return base + name;
    }
    return {};
}

// The whole file, read while the library may still append to it (it is not, once cleanup returned).
std::string readWhole(const std::wstring& path) {
    std::string data;
    const HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return data;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) data.append(buffer, n);
    CloseHandle(f);
    return data;
}

struct LogFile {
    std::wstring path;
    FILETIME written;
    std::string text;
};

// The library's log files in the probe's own folder (only this process logs there), rolled ones first.
std::vector<LogFile> logFiles() {
    std::vector<LogFile> all;
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((g_folder + L"\\*.log").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return all;
    do {
        const std::wstring path = g_folder + L"\\" + found.cFileName;
        all.push_back(LogFile{path, found.ftLastWriteTime, readWhole(path)});
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(all.begin(), all.end(),
              [](const LogFile& a, const LogFile& b) { return CompareFileTime(&a.written, &b.written) < 0; });
    return all;
}

std::string text(const char* array, size_t capacity) { return std::string(array, strnlen(array, capacity)); }

diagnose::RecordFacts factsOf(const void* record, bool v2) {
    diagnose::RecordFacts facts;
    if (record == nullptr) return facts;
    const ClientInfo& base =
        v2 ? static_cast<const ClientInfoV2*>(record)->base : *static_cast<const ClientInfo*>(record);
    facts.present = true;
    facts.latency = base.latency;
    facts.readFailurePercent = base.readFailurePercent;
    facts.userName = text(base.userName, sizeof base.userName);
    facts.computerName = text(base.computerName, sizeof base.computerName);
    if (v2) {
        const ClientInfoV2Ext& ext = static_cast<const ClientInfoV2*>(record)->ext;
        facts.extText1 = text(ext.extText1, sizeof ext.extText1);
    }
    return facts;
}

const char* statusWord(diagnose::Status s, bool json) {
    switch (s) {
        case diagnose::Status::Ok:
            return "ok";
        case diagnose::Status::Failed:
            return json ? "failed" : "FAILED";  // to stand out among the lines
        case diagnose::Status::Skipped:
            return "skipped";
        default:
            return "not reached";
    }
}

// What to do when no stage failed: the run itself tells.
std::string adviceWithoutFailedStage(int exitStatus, long timeoutS, bool haveLog) {
    if (!g_viewError.empty())
        return "The log could not be switched on (" + g_viewError + "), so the stages are unknown.";
    if (exitStatus == EXIT_NO_LIBRARY)
        return "The probe could not load the library itself (see the error above): check the path, and that the "
               "library is built for the same architecture as the probe.";
    if (!haveLog)
        return "The library wrote no log into " + utf8(g_folder) +
               " (see a line \"Error : cannot initialize Citrix Server DLL log\" above).";
    if (exitStatus == EXIT_INTERRUPTED)
        return "The run was interrupted before a stage failed; run it again and let it finish.";
    if (exitStatus == EXIT_NO_DATA)
        return "No stage failed within the time limit of " + std::to_string(timeoutS) +
               " s: the first polling cycle has not finished. Run the probe again with a longer --timeout.";
    if (exitStatus != EXIT_DATA)
        return "No stage failed, but the probe ended with exit code " + std::to_string(exitStatus) +
               ": see its messages above.";
    return "";
}

const char* const kFolderNote = "its log folder stays for support and holds the user's and the computer's names";

std::string userSettingsNote() {
    return g_user.logOff ? "With these settings, processes of this user that load the library write no log (severity 0)"
                         : "";
}

void printJsonText(const std::string& s) { probeWriteQuoted(stdout, s.c_str(), s.size(), 1); }

void printJson(int exitStatus, const std::vector<diagnose::Stage>& stages, int firstFailed, const std::string& advice,
               const std::vector<std::wstring>& files) {
    std::printf("{\n    \"exit_code\": %d,\n    \"log_folder\": ", exitStatus);
    printJsonText(utf8(g_folder));
    std::printf(",\n    \"log_files\": [");
    for (size_t i = 0; i < files.size(); ++i) {
        std::printf(i ? ", " : "");
        printJsonText(utf8(files[i]));
    }
    std::printf("],\n    \"stages\": [\n");
    for (size_t i = 0; i < stages.size(); ++i) {
        std::printf("      {\"stage\": %u, \"name\": ", static_cast<unsigned>(i + 1));
        printJsonText(stages[i].title);
        std::printf(", \"status\": ");
        printJsonText(statusWord(stages[i].status, true));
        std::printf(", \"shown_by\": ");
        printJsonText(stages[i].shownBy);
        std::printf("}%s\n", i + 1 < stages.size() ? "," : "");
    }
    std::printf("    ],\n    \"first_failed_stage\": ");
    if (firstFailed < 0)
        std::printf("null");
    else
        std::printf("%d", firstFailed + 1);
    std::printf(",\n    \"what_to_do\": ");
    printJsonText(advice);
    std::printf(",\n    \"user_log_settings\": {\"key\": ");
    printJsonText(kServerKeyText);
    std::printf(", \"present\": %s", g_user.present ? "true" : "false");
    for (int i = 0; i < 4; ++i) {
        std::printf(", \"%s\": ", diagnose::kSettingNames[i]);
        if (g_user.values[i].empty())
            std::printf("null");
        else
            printJsonText(g_user.values[i]);
    }
    std::printf(", \"note\": ");
    printJsonText(userSettingsNote());
    std::printf("},\n    \"note\": ");
    printJsonText(kFolderNote);
    std::printf("\n  }");
}

void printText(int exitStatus, const std::vector<diagnose::Stage>& stages, int firstFailed, const std::string& advice,
               const std::vector<std::wstring>& files) {
    std::printf("\nDiagnosis from the library's log");
    for (const auto& f : files) std::printf("\n  %s", utf8(f).c_str());
    if (files.empty()) std::printf(": no log file in %s", utf8(g_folder).c_str());
    std::printf("\n");
    for (size_t i = 0; i < stages.size(); ++i) {
        std::printf("  %-12s %u. %s\n", statusWord(stages[i].status, false), static_cast<unsigned>(i + 1),
                    stages[i].title);
        if (!stages[i].shownBy.empty()) std::printf("               %s\n", stages[i].shownBy.c_str());
    }
    if (firstFailed >= 0)
        std::printf("What to do (stage %d failed: %s):\n  %s\n", firstFailed + 1, stages[firstFailed].title,
                    advice.c_str());
    else if (!advice.empty())
        std::printf("What to do:\n  %s\n", advice.c_str());
    else if (exitStatus == EXIT_DATA)
        std::printf("Every stage passed: the data arrives.\n");
    std::printf("The user's own log settings (%s, read only): ", kServerKeyText);
    if (!g_user.present) std::printf("the key does not exist");
    for (int i = 0; g_user.present && i < 4; ++i)
        std::printf("%s%s %s", i ? "; " : "", diagnose::kSettingNames[i],
                    g_user.values[i].empty() ? "absent" : g_user.values[i].c_str());
    std::printf(".\n");
    if (g_user.logOff) std::printf("  %s.\n", userSettingsNote().c_str());
    std::printf("This run changed no setting outside its own process; %s.\n", kFolderNote);
}

}  // namespace

extern "C" void probeDiagnoseBegin(void) {
    g_user = diagnose::readUserSettings();  // from the real HKEY_CURRENT_USER, before the view replaces it
    g_folder = makeFreshFolder();
    std::string notes;
    if (g_folder.empty())
        g_viewError = "cannot create a folder under the temp folder";
    else if (!diagnose::openOwnView(g_folder, notes, g_viewError) && g_viewError.empty())
        g_viewError = "unknown reason";
    std::fputs(notes.c_str(), stderr);
    if (g_viewError.empty()) {
        std::fprintf(stderr,
                     "plxprobe: the library's log is on at debug (severity 5) for this run, into %s;\n"
                     "          only in this process: the user's log settings and other processes are not touched.\n",
                     utf8(g_folder).c_str());
    } else {
        std::fprintf(stderr, "plxprobe: cannot switch the library's log on: %s\n", g_viewError.c_str());
    }
}

extern "C" void probeDiagnoseEnd(int exitStatus, const void* record, int v2, int json, long timeoutS) {
    std::vector<diagnose::LogLine> log;
    std::vector<std::wstring> files;
    for (const LogFile& f : logFiles()) {
        diagnose::parseLog(f.text, log);
        files.push_back(f.path);
    }
    diagnose::closeOwnView();
    const std::vector<diagnose::Stage> stages = diagnose::tellStages(log, factsOf(record, v2 != 0), v2 != 0);
    int firstFailed = -1;
    for (size_t i = 0; i < stages.size() && firstFailed < 0; ++i)
        if (stages[i].status == diagnose::Status::Failed) firstFailed = static_cast<int>(i);
    const std::string advice =
        firstFailed >= 0 ? stages[firstFailed].advice : adviceWithoutFailedStage(exitStatus, timeoutS, !files.empty());
    std::fflush(stderr);
    if (json)
        printJson(exitStatus, stages, firstFailed, advice, files);
    else
        printText(exitStatus, stages, firstFailed, advice, files);
    std::fflush(stdout);
}
