// plxprobe --diagnose: switches the library's log on for the run, then reads it back and prints
// the stages with the line that shows each, and for the first failed stage what to do.
#include "probe_diagnose.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diagnose_settings.h"
#include "diagnose_stages.h"
#include "plx_srv_citrix.h"
extern "C" {
#include "probe_format.h"  // a C header without C++ guards
}

namespace {

// The probe's exit codes (see probe_main.c) that need words of their own here.
enum { EXIT_DATA = 0, EXIT_NO_LIBRARY = 2, EXIT_NO_DATA = 4, EXIT_INTERRUPTED = 130 };

const char* const kOthersLogToo =
    "plxprobe: while it runs, other processes of this user that have the library loaded log at debug too:\n"
    "          their registry monitors see the change (one that had no log yet starts one in that folder).\n";

std::wstring g_folder;
std::string g_switchError;  // empty once the settings are switched
DWORD g_mainThread = 0;

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

// A new folder under the user's temp folder. The library hands path_root to the file system as
// text in the system code page, so a temp path with other characters is taken in its short form.
std::wstring makeFreshFolder() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring base(temp, n > 0 && n <= MAX_PATH ? n : 0);
    if (!ascii(base)) {
        wchar_t shortPath[MAX_PATH + 1];
        const DWORD s = GetShortPathNameW(base.c_str(), shortPath, MAX_PATH + 1);
        if (s > 0 && s <= MAX_PATH) base.assign(shortPath, s);
    }
    if (!base.empty() && base.back() != L'\\') base += L'\\';
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

BOOL WINAPI onConsoleCtrl(DWORD) {
    diagnose::restoreLogSettings();
    return FALSE;  // the probe's own handler (or the system) goes on as without --diagnose
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

// The library's log files in the folder that this process wrote: the first get call runs on the
// probe's main thread, so its thread id is in the file. Another process of the user that started
// its log while the settings pointed here writes a file of its own, which is left out.
std::vector<LogFile> ownLogFiles() {
    std::vector<LogFile> all;
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((g_folder + L"\\*.log").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return all;
    do {
        const std::wstring path = g_folder + L"\\" + found.cFileName;
        all.push_back(LogFile{path, found.ftLastWriteTime, readWhole(path)});
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(all.begin(), all.end(), [](const LogFile& a, const LogFile& b) {
        return CompareFileTime(&a.written, &b.written) < 0;  // rolled files first
    });
    const std::string mark = "[" + std::to_string(g_mainThread) + "] [";
    std::vector<LogFile> own;
    for (LogFile& f : all)
        if (f.text.find(mark) != std::string::npos) own.push_back(std::move(f));
    return own.empty() ? all : own;
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
    if (!g_switchError.empty())
        return "The log could not be switched on (" + g_switchError + "), so the stages are unknown.";
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
    return "";
}

void printJsonText(const std::string& s) { probeWriteQuoted(stdout, s.c_str(), s.size(), 1); }

void printJson(int exitStatus, const std::vector<diagnose::Stage>& stages, int firstFailed, const std::string& advice,
               const std::vector<std::wstring>& files, const std::string& restored) {
    std::printf("{\n  \"diagnosis\": {\n    \"exit_code\": %d,\n    \"log_folder\": ", exitStatus);
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
    std::printf(",\n    \"log_settings\": ");
    printJsonText(restored);
    std::printf(",\n    \"note\": ");
    printJsonText(g_switchError.empty() ? "other processes of this user that have the library loaded logged at debug "
                                          "too while the probe ran"
                                        : "");
    std::printf("\n  }\n}\n");
}

void printText(const std::vector<diagnose::Stage>& stages, int firstFailed, const std::string& advice,
               const std::vector<std::wstring>& files, const std::string& restored) {
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
    else
        std::printf("Every stage passed: the data arrives.\n");
    std::printf("Log settings: %s.\n", restored.c_str());
}

}  // namespace

extern "C" void probeDiagnoseBegin(void) {
    g_mainThread = GetCurrentThreadId();
    g_folder = makeFreshFolder();
    // Registered after the probe's own handler, so it runs first: the settings go back at once.
    SetConsoleCtrlHandler(onConsoleCtrl, TRUE);
    std::string notes;
    if (g_folder.empty())
        g_switchError = "cannot create a folder under the temp folder";
    else if (!diagnose::switchLogSettings(g_folder, notes, g_switchError) && g_switchError.empty())
        g_switchError = "unknown reason";
    std::fputs(notes.c_str(), stderr);
    if (g_switchError.empty()) {
        std::fprintf(stderr,
                     "plxprobe: the library's log is on at debug (severity 5) for this run, into %s;\n"
                     "          the user's log settings are put back at the end, also on Ctrl+C.\n%s",
                     utf8(g_folder).c_str(), kOthersLogToo);
    } else {
        std::fprintf(stderr, "plxprobe: cannot switch the library's log on: %s\n", g_switchError.c_str());
    }
}

extern "C" void probeDiagnoseEnd(int exitStatus, const void* record, int v2, int json, long timeoutS) {
    const std::string restored = g_switchError.empty() ? diagnose::restoreLogSettings() : "left as they were";
    std::vector<diagnose::LogLine> log;
    std::vector<std::wstring> files;
    for (const LogFile& f : ownLogFiles()) {
        diagnose::parseLog(f.text, log);
        files.push_back(f.path);
    }
    const std::vector<diagnose::Stage> stages = diagnose::tellStages(log, factsOf(record, v2 != 0), v2 != 0);
    int firstFailed = -1;
    for (size_t i = 0; i < stages.size() && firstFailed < 0; ++i)
        if (stages[i].status == diagnose::Status::Failed) firstFailed = static_cast<int>(i);
    const std::string advice =
        firstFailed >= 0 ? stages[firstFailed].advice : adviceWithoutFailedStage(exitStatus, timeoutS, !files.empty());
    std::fflush(stderr);
    if (json)
        printJson(exitStatus, stages, firstFailed, advice, files, restored);
    else
        printText(stages, firstFailed, advice, files, restored);
    std::fflush(stdout);
}
