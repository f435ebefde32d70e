// Bad log settings met by the DLL in fresh plxprobe.exe hosts, which read them at their first
// call: whatever the values, the host gets its record, and the log stays bounded. Values of the
// wrong type and unusable folders are read in tests/logging.
#include "exports/dll_host.h"

// A settings value: REG_SZ text (starting with '\': a path within the case's folder), otherwise
// number in 4 bytes (8 for REG_QWORD).
struct Value { const wchar_t* name; DWORD type; std::wstring text; unsigned long long number = 0; };

// redLine: what follows the red line's prefix (null: none); bounds of the log files under dir.
const struct RegistryCase {
    std::vector<Value> values;
    const char* redLine;
    size_t minFiles, maxFiles;
} kCases[] = {
    // A new non-ASCII folder, severity -1 (verbose), a huge count: plog renames every kept file at
    // each roll, so a count in the billions would keep one roll busy for hours.
    {{{L"severity", REG_DWORD, L"", 0xFFFFFFFF}, {L"path_root", REG_SZ, L"\\Gr\u00fc\u00dfe \u65e5\u672c"},
      {L"max_file_size", REG_DWORD, L"", 1000}, {L"max_file_count", REG_DWORD, L"", 0x7FFFFFFF}}, nullptr, 3, 1000},
    // A negative count would let one file grow without limit: the default count of 10 is kept.
    {{{L"severity", REG_DWORD, L"", 6}, {L"path_root", REG_SZ, L"\\logs"}, {L"max_file_size", REG_DWORD, L"", 1000},
      {L"max_file_count", REG_DWORD, L"", 0xFFFFFFFF}}, nullptr, 3, 10},
    // A path that is no valid UTF-16: no log can be set up (-2), the records still flow.
    {{{L"severity", REG_DWORD, L"", 4}, {L"path_root", REG_SZ, {L'C', L':', L'\\', wchar_t(0xDC00)}}},
     "; error = -2", 0, 0},
};

TEST(RegistryFaults, BadSettingsNeitherStopTheRecordsNorUnboundTheLog) {
    dll().cleanup();  // the in-process DLL's registry monitor must not react to these values
    for (const RegistryCase& c : kCases) {
        SCOPED_TRACE("case " + std::to_string(&c - kCases));
        const std::wstring dir = logRoot() + L"\\registry" + std::to_wstring(&c - kCases);  // a new folder of the case
        std::filesystem::create_directories(dir);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orbivex\\Pathlens\\Log\\server");
        for (const Value& v : c.values) {
            const std::wstring text = v.text.rfind(L'\\', 0) == 0 ? dir + v.text : v.text;
            if (v.type == REG_SZ) setServerValue(v.name, REG_SZ, text.c_str(), DWORD(text.size() + 1) * 2);
            else setServerValue(v.name, v.type, &v.number, v.type == REG_QWORD ? 8 : 4);
        }
        const ChildResult run = runChild(exeDir() + L"\\plxprobe.exe", L"--timeout 20", exeDir());
        EXPECT_TRUE(run.exitCode == 0 && run.output.find("userName") != std::string::npos) << run.output;
        const std::string red = std::string("Error : cannot initialize Citrix Server DLL log at ") +
                                (c.redLine ? c.redLine : "");
        EXPECT_EQ(run.output.find(red) != std::string::npos, c.redLine != nullptr) << run.output;
        const size_t files = logFiles(dir).size();
        EXPECT_TRUE(files >= c.minFiles && files <= c.maxFiles) << files << " log files";
    }
    useTestLogSettings();
}
