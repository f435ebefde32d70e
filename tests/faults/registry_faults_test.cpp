// Bad log settings met by the DLL in fresh plxprobe.exe hosts, which read them at their first
// call: whatever the values, the host gets its record, and the log goes where the values allow.
#include <shlobj.h>

#include <algorithm>
#include <fstream>

#include "exports/dll_host.h"

namespace {

void dword(const wchar_t* name, DWORD value) { setServerValue(name, REG_DWORD, &value, sizeof value); }
void text(const wchar_t* name, const std::wstring& v) { setServerValue(name, REG_SZ, v.c_str(), DWORD(v.size() + 1) * 2); }
const std::wstring kNonAscii = L"\\Gr\u00fc\u00dfe \u65e5\u672c";

struct RegistryCase {
    std::wstring (*setup)(const std::wstring& dir);  // writes the values, returns the folder whose log files count
    const char* redLine;                             // what follows the console's red line prefix; null: no red line
    size_t newDefaultFiles, minFiles, maxFiles;
} const kCases[] = {
    // Values of the wrong type count as missing: severity 0, so no log file anywhere.
    {[](const std::wstring& dir) {
         const unsigned long long size = 4000;
         const BYTE count[] = {3, 0, 0, 0};
         text(L"severity", L"6"), dword(L"path_root", 5), setServerValue(L"max_file_size", REG_QWORD, &size, sizeof size);
         return setServerValue(L"max_file_count", REG_BINARY, count, sizeof count), dir;
     }, nullptr, 0, 0, 0},
    // A new non-ASCII folder, severity -1 (verbose), a huge count: plog renames every kept file at
    // each roll, so a count in the billions would keep one roll busy for hours.
    {[](const std::wstring& dir) {
         dword(L"severity", 0xFFFFFFFF), text(L"path_root", dir + kNonAscii), dword(L"max_file_size", 1000);
         return dword(L"max_file_count", 0x7FFFFFFF), dir + kNonAscii;
     }, nullptr, 0, 3, 1000},
    // A negative count would let one file grow without limit: the default count of 10 is kept.
    {[](const std::wstring& dir) {
         dword(L"severity", 6), text(L"path_root", dir), dword(L"max_file_size", 1000), dword(L"max_file_count", 0xFFFFFFFF);
         return dir;
     }, nullptr, 0, 3, 10},
    // A file where the folder should be: the log goes to the default folder.
    {[](const std::wstring& dir) {
         std::ofstream(std::filesystem::path(dir + L"\\not-a-folder")) << "x";
         return dword(L"severity", 4), text(L"path_root", dir + L"\\not-a-folder"), dir;
     }, nullptr, 1, 0, 0},
    // A path that is no valid UTF-16: no log can be set up (-2), the records still flow.
    {[](const std::wstring& dir) {
         const wchar_t broken[] = {L'C', L':', L'\\', wchar_t(0xDC00), L'\0'};
         return dword(L"severity", 4), setServerValue(L"path_root", REG_SZ, broken, sizeof broken), dir;
     }, "; error = -2", 0, 0, 0},
};

}  // namespace

TEST(RegistryFaults, BadSettingsNeitherStopTheRecordsNorUnboundTheLog) {
    dll().cleanup();  // the in-process DLL's registry monitor must not react to these values
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, appData))) wcscpy(appData, L"c:\\temp");
    const std::wstring fallback = std::wstring(appData) + L"\\Orbivex\\Pathlens\\Logs", dir = logRoot() + L"\\registry";
    for (const RegistryCase& c : kCases) {
        SCOPED_TRACE("case " + std::to_string(&c - kCases));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orbivex\\Pathlens\\Log\\server");
        const std::wstring folder = c.setup(dir);
        const std::vector<std::wstring> before = logFiles(fallback);
        const ChildResult run = runChild(exeDir() + L"\\plxprobe.exe", L"--timeout 20", exeDir());
        EXPECT_TRUE(run.exitCode == 0 && run.output.find("userName") != std::string::npos) << run.output;
        const std::string red = "Error : cannot initialize Citrix Server DLL log at " + std::string(c.redLine ? c.redLine : "");
        EXPECT_EQ(run.output.find(red) != std::string::npos, c.redLine != nullptr) << run.output;
        const std::vector<std::wstring> after = logFiles(fallback);
        EXPECT_EQ(after.size(), before.size() + c.newDefaultFiles);
        for (const auto& file : after)
            if (std::find(before.begin(), before.end(), file) == before.end()) DeleteFileW(file.c_str());
        const size_t files = logFiles(folder).size();
        EXPECT_TRUE(files >= c.minFiles && files <= c.maxFiles) << files << " log files";
    }
    useTestLogSettings();
}
