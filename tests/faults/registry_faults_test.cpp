// Bad log settings met by the DLL in fresh plxprobe.exe hosts, which read them at their first
// call: whatever the values, the host gets its record, and the log stays bounded. Values of the
// wrong type and unusable folders are read in tests/logging.
#include "exports/dll_host.h"

// path_root starting with '\' is a folder within the case's own new folder; file limits of 0 are
// left unset. redLine: what follows the red line's prefix ("": none); bounds of the log files.
const struct RegistryCase {
    DWORD severity;
    std::wstring root;
    DWORD maxFileSize, maxFileCount;
    std::string redLine;
    size_t minFiles, maxFiles;
} kCases[] = {
    // A new non-ASCII folder, severity -1 (verbose), a huge count: plog renames every kept file at
    // each roll, so a count in the billions would keep one roll busy for hours.
    {0xFFFFFFFF, L"\\Gr\u00fc\u00dfe \u65e5\u672c", 1000, 0x7FFFFFFF, "", 3, 1000},
    // A negative count would let one file grow without limit: the default count of 10 is kept.
    {6, L"\\logs", 1000, 0xFFFFFFFF, "", 3, 10},
    // A path that is no valid UTF-16: no log can be set up (-2), the records still flow.
    {4, {L'C', L':', L'\\', wchar_t(0xDC00)}, 0, 0, "; error = -2", 0, 0},
};

TEST(RegistryFaults, BadSettingsNeitherStopTheRecordsNorUnboundTheLog) {
    dll().cleanup();  // the in-process DLL's registry monitor must not react to these values
    for (const RegistryCase& c : kCases) {
        SCOPED_TRACE("case " + std::to_string(&c - kCases));
        const std::wstring dir = logRoot() + L"\\registry" + std::to_wstring(&c - kCases);
        const std::wstring root = c.root[0] == L'\\' ? dir + c.root : c.root;
        std::filesystem::create_directories(dir);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orbivex\\Pathlens\\Log\\server");
        setServerValue(L"severity", REG_DWORD, &c.severity, sizeof c.severity);
        setServerValue(L"path_root", REG_SZ, root.c_str(), DWORD(root.size() + 1) * 2);
        if (c.maxFileSize != 0) setServerValue(L"max_file_size", REG_DWORD, &c.maxFileSize, sizeof(DWORD));
        if (c.maxFileCount != 0) setServerValue(L"max_file_count", REG_DWORD, &c.maxFileCount, sizeof(DWORD));
        const ChildResult run = runChild(exeDir() + L"\\plxprobe.exe", L"--timeout 20", exeDir());
        EXPECT_TRUE(run.exitCode == 0 && run.output.find("userName") != std::string::npos) << run.output;
        const std::string red = "Error : cannot initialize Citrix Server DLL log at " + c.redLine;
        EXPECT_EQ(run.output.find(red) != std::string::npos, !c.redLine.empty()) << run.output;
        const size_t files = logFiles(dir).size();
        EXPECT_TRUE(files >= c.minFiles && files <= c.maxFiles) << files << " log files";
    }
    useTestLogSettings();
}
