// Bad log settings met by the DLL in fresh plxprobe.exe hosts, which read them at their first
// call: whatever the values, the host gets its record, and the log goes where the values allow.
#include <shlobj.h>

#include <algorithm>
#include <fstream>

#include "exports/dll_host.h"

// A settings value: REG_SZ text (starting with '\': a path within the case's folder), otherwise
// number in 4 bytes (8 for REG_QWORD).
struct Value { const wchar_t* name; DWORD type; std::wstring text; unsigned long long number = 0; };

// redLine: what follows the red line's prefix (null: none); log files new in the default folder; bounds under dir.
const struct RegistryCase {
    std::vector<Value> values;
    const char* redLine;
    size_t newDefaultFiles, minFiles, maxFiles;
} kCases[] = {
    // Values of the wrong type count as missing: severity 0, so no log file anywhere.
    {{{L"severity", REG_SZ, L"6"}, {L"path_root", REG_DWORD, L"", 5}, {L"max_file_size", REG_QWORD, L"", 4000},
      {L"max_file_count", REG_BINARY, L"", 3}}, nullptr, 0, 0, 0},
    // A new non-ASCII folder, severity -1 (verbose), a huge count: plog renames every kept file at
    // each roll, so a count in the billions would keep one roll busy for hours.
    {{{L"severity", REG_DWORD, L"", 0xFFFFFFFF}, {L"path_root", REG_SZ, L"\\Gr\u00fc\u00dfe \u65e5\u672c"},
      {L"max_file_size", REG_DWORD, L"", 1000}, {L"max_file_count", REG_DWORD, L"", 0x7FFFFFFF}}, nullptr, 0, 3, 1000},
    // A negative count would let one file grow without limit: the default count of 10 is kept.
    {{{L"severity", REG_DWORD, L"", 6}, {L"path_root", REG_SZ, L"\\logs"}, {L"max_file_size", REG_DWORD, L"", 1000},
      {L"max_file_count", REG_DWORD, L"", 0xFFFFFFFF}}, nullptr, 0, 3, 10},
    // A file where the folder should be: the log goes to the default folder.
    {{{L"severity", REG_DWORD, L"", 4}, {L"path_root", REG_SZ, L"\\not-a-folder"}}, nullptr, 1, 0, 0},
    // A path that is no valid UTF-16: no log can be set up (-2), the records still flow.
    {{{L"severity", REG_DWORD, L"", 4}, {L"path_root", REG_SZ, {L'C', L':', L'\\', wchar_t(0xDC00)}}},
     "; error = -2", 0, 0, 0},
};

TEST(RegistryFaults, BadSettingsNeitherStopTheRecordsNorUnboundTheLog) {
    dll().cleanup();  // the in-process DLL's registry monitor must not react to these values
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, appData))) wcscpy(appData, L"c:\\temp");
    const std::wstring fallback = std::wstring(appData) + L"\\Orbivex\\Pathlens\\Logs";
    for (const RegistryCase& c : kCases) {
        SCOPED_TRACE("case " + std::to_string(&c - kCases));
        const std::wstring dir = logRoot() + L"\\registry" + std::to_wstring(&c - kCases);  // a new folder of the case
        std::filesystem::create_directories(dir);
        std::ofstream(std::filesystem::path(dir + L"\\not-a-folder")) << "x";
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orbivex\\Pathlens\\Log\\server");
        for (const Value& v : c.values) {
            const std::wstring text = v.text.rfind(L'\\', 0) == 0 ? dir + v.text : v.text;
            if (v.type == REG_SZ) setServerValue(v.name, REG_SZ, text.c_str(), DWORD(text.size() + 1) * 2);
            else setServerValue(v.name, v.type, &v.number, v.type == REG_QWORD ? 8 : 4);
        }
        const std::vector<std::wstring> before = logFiles(fallback);
        const ChildResult run = runChild(exeDir() + L"\\plxprobe.exe", L"--timeout 20", exeDir());
        EXPECT_TRUE(run.exitCode == 0 && run.output.find("userName") != std::string::npos) << run.output;
        const std::string red = std::string("Error : cannot initialize Citrix Server DLL log at ") +
                                (c.redLine ? c.redLine : "");
        EXPECT_EQ(run.output.find(red) != std::string::npos, c.redLine != nullptr) << run.output;
        const std::vector<std::wstring> after = logFiles(fallback);
        EXPECT_EQ(after.size(), before.size() + c.newDefaultFiles);
        for (const auto& file : after)
            if (std::find(before.begin(), before.end(), file) == before.end()) DeleteFileW(file.c_str());
        const size_t files = logFiles(dir).size();
        EXPECT_TRUE(files >= c.minFiles && files <= c.maxFiles) << files << " log files";
    }
    useTestLogSettings();
}
