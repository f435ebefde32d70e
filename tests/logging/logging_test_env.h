#pragma once
// Test equipment for the logging tests: the real registry of the Wine prefix (backed up
// and restored), scratch folders, and the scenario helper run as a fresh process.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& text);

// Backs up HKCU\Software\Orbivex\Pathlens\Log with all its sub-keys, deletes it, and puts
// the backup back on destruction, so every test starts from "no key".
class LogKeyBackup {
public:
    LogKeyBackup();
    ~LogKeyBackup();
    struct Snapshot;

private:
    std::unique_ptr<Snapshot> m_saved;
};

void deleteLogKey();
void createServerKey();
void setServerDword(const wchar_t* name, DWORD value);
void setServerString(const wchar_t* name, const std::wstring& text);
void setServerRaw(const wchar_t* name, DWORD type, const void* data, DWORD size);

// A fresh folder under the temp folder, removed with its contents on destruction.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& leaf);
    ~ScratchFolder();
    void create() const;  // with its parents
    const std::wstring& wide() const { return m_path; }
    std::string utf8() const { return toUtf8(m_path); }

private:
    std::wstring m_path;
};

void removeTree(const std::wstring& path);
bool isDirectory(const std::wstring& path);
std::vector<std::wstring> filesIn(const std::wstring& folder);  // names, sorted

struct ScenarioRun {
    DWORD exitCode = 0;
    std::string output;
    bool finished = false;
};
// Runs tests' log_scenario.exe (beside this test binary) with the given steps and collects
// its standard output; kills it after timeoutMs.
ScenarioRun runScenario(const std::wstring& steps, DWORD timeoutMs = 60000);

// The default log folder, as the code computes it: the common application data folder
// followed by \Orbivex\Pathlens\Logs (UTF-8).
std::string defaultLogFolderForTest();

// Makes the default log folder uncreatable for its lifetime by putting a file in its place,
// and puts back what was there. Not active (and harmless) when the folder holds files
// already, which it does not empty.
class DefaultFolderBlocker {
public:
    DefaultFolderBlocker();
    ~DefaultFolderBlocker();
    bool active() const { return m_active; }

private:
    std::wstring m_folder;
    bool m_wasDirectory = false;
    bool m_active = false;
};
