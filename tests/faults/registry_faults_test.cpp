// Bad log settings in HKCU\Software\Orbivex\Pathlens\Log\server, met by the DLL in a fresh
// host process (plxprobe.exe), which reads them at its first call: whatever the values, the
// host gets its record, the log goes where the values allow, and nothing hangs.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>

#include "faults/faults_host.h"

using namespace faults;

namespace {

const char* const kRedLinePrefix = "Error : cannot initialize Citrix Server DLL log at ";

std::wstring defaultLogFolder() {
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, appData))) wcscpy(appData, L"c:\\temp");
    return std::wstring(appData) + L"\\Orbivex\\Pathlens\\Logs";
}

// A probe run that must deliver a record and end by itself.
ChildResult probeDelivers() {
    ChildResult run = runProbe(L"--timeout 20");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("userName"), std::string::npos) << run.output;
    return run;
}

// Log files of one folder by name, for finding the one a run added.
std::vector<std::wstring> logFiles(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\plx_srv_dll_citrix_*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

class RegistryFaults : public ::testing::Test {
protected:
    void SetUp() override {
        // The in-process DLL's registry monitor must not react to the values written here:
        // cleanup stops it for the rest of the process.
        dll().cleanup();
        clearServerKey();
        m_folder = logFolder() + L"\\registry";
        removeTree(m_folder);
        CreateDirectoryW(m_folder.c_str(), nullptr);
    }
    void TearDown() override {
        useTestLogSettings();
        removeTree(m_folder);
    }
    std::wstring m_folder;
};

}  // namespace

TEST_F(RegistryFaults, ValuesOfTheWrongTypeCountAsMissing) {
    const std::vector<std::wstring> before = logFiles(defaultLogFolder());
    setServerString(L"severity", L"6");
    setServerDword(L"path_root", 5);
    const unsigned long long size = 4000;
    setServerValue(L"max_file_size", REG_QWORD, &size, sizeof size);
    const BYTE count[] = {3, 0, 0, 0};
    setServerValue(L"max_file_count", REG_BINARY, count, sizeof count);

    const ChildResult run = probeDelivers();
    EXPECT_EQ(run.output.find(kRedLinePrefix), std::string::npos) << "severity 0 is no failure";
    EXPECT_EQ(logFiles(defaultLogFolder()), before) << "severity 0 creates no log file";
}

// plog renames every kept file, one by one, at each roll: a file count in the billions would
// keep the first roll busy for hours, inside whichever call happened to log.
TEST_F(RegistryFaults, HugeAndNegativeNumbersKeepTheLogBoundedInANonAsciiFolder) {
    const std::wstring folder = m_folder + L"\\Gr\u00fc\u00dfe \u65e5\u672c";
    setServerDword(L"severity", 0xFFFFFFFF);  // negative: verbose
    setServerString(L"path_root", folder);
    setServerDword(L"max_file_size", 1000);
    setServerDword(L"max_file_count", 0x7FFFFFFF);
    probeDelivers();
    const size_t huge = logFiles(folder).size();
    EXPECT_GE(huge, 3u) << "a verbose log of 1000-byte files rolls";
    EXPECT_LE(huge, 1000u);

    // A negative count would let the file grow without limit: the default count is kept.
    removeTree(folder);
    setServerDword(L"max_file_count", 0xFFFFFFFF);
    probeDelivers();
    const size_t negative = logFiles(folder).size();
    EXPECT_GE(negative, 3u);
    EXPECT_LE(negative, 10u);
}

TEST_F(RegistryFaults, UnusableFolderFallsBackAndUnconvertiblePathStillServes) {
    // A file where the folder should be: the log goes to the default folder.
    const std::wstring file = m_folder + L"\\not-a-folder";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    setServerDword(L"severity", 4);
    setServerString(L"path_root", file);
    const std::wstring fallback = defaultLogFolder();
    const std::vector<std::wstring> before = logFiles(fallback);
    ChildResult run = probeDelivers();
    EXPECT_EQ(run.output.find(kRedLinePrefix), std::string::npos) << run.output;
    std::vector<std::wstring> after = logFiles(fallback);
    EXPECT_EQ(after.size(), before.size() + 1) << "one new log file in the default folder";
    for (const auto& name : after) {
        bool known = false;
        for (const auto& old : before) known = known || old == name;
        if (!known) DeleteFileW((fallback + L"\\" + name).c_str());
    }

    // A path that is no valid UTF-16: the log cannot be set up (-2), the records still flow.
    const wchar_t broken[] = {L'C', L':', L'\\', wchar_t(0xDC00), L'\0'};
    setServerValue(L"path_root", REG_SZ, broken, sizeof broken);
    run = probeDelivers();
    EXPECT_NE(run.output.find(std::string(kRedLinePrefix) + "; error = -2"), std::string::npos) << run.output;
    EXPECT_EQ(logFiles(fallback).size(), before.size());
}
