// Where the log file goes and what it is called.
#include <windows.h>
#include <shlobj.h>

#include <ctime>
#include <string>

#include "logging/log_settings.h"
#include "logging/log_setup.h"

namespace {

// A configured folder shorter than this cannot be a real folder; one of exactly this length
// is at best a drive root. Both give way to the default folder.
constexpr size_t MIN_FOLDER_CHARS = 3;
const char* const DEFAULT_FOLDER_TAIL = "\\Orbivex\\Pathlens\\Logs";
const char* const APPDATA_FALLBACK = "c:\\temp";

// Narrow paths are UTF-8 throughout (plog is built to read its file names as UTF-8), so
// the file system is always called through the wide API.
bool utf8ToWide(const std::string& text, std::wstring* wide) {
    if (text.empty() || text.find('\0') != std::string::npos) return false;
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0);
    if (units <= 0) return false;
    wide->assign(static_cast<size_t>(units), L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &(*wide)[0],
                               units) == units;
}

std::string ansiToUtf8(const char* text) {
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 1) return std::string();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return std::string();
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(bytes) - 1);
    return utf8;
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Creates the folder with all its missing parents. The folder is usable when it exists as
// a directory afterwards, whether created now or already there; a file of that name, a
// missing drive or a refused creation make it unusable. Never raises.
bool createFolderTree(const std::string& folder) {
    std::wstring wide;
    if (!utf8ToWide(folder, &wide)) return false;
    for (size_t i = 1; i < wide.size(); ++i) {
        // Each parent in turn; a drive root, the start of a UNC name and doubled separators
        // are not folders of their own. Failures here show up in the final test.
        if (isSeparator(wide[i]) && wide[i - 1] != L':' && !isSeparator(wide[i - 1])) {
            CreateDirectoryW(wide.substr(0, i).c_str(), nullptr);
        }
    }
    CreateDirectoryW(wide.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The full path must fit the MAX_PATH buffer it is reported in (and the file system's
// limit for a path without the long-path prefix); a folder that would exceed it is
// treated as unusable rather than giving a logger whose file cannot be opened.
bool fitsMaxPath(const std::string& folder, const std::string& fileName) {
    return folder.size() + 1 + fileName.size() < MAX_PATH;
}

std::string defaultLogFolder() {
    char appData[MAX_PATH] = {};
    std::string base;
    if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, appData))) {
        base = ansiToUtf8(appData);  // the ANSI answer, re-encoded like every narrow path
    }
    if (base.empty()) base = APPDATA_FALLBACK;
    return base + DEFAULT_FOLDER_TAIL;
}

}  // namespace

std::string makeLogTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_s(&local, &now);
    char buffer[80] = {};
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H-%M-%S", &local);
    return buffer;
}

int buildLogFileBaseName(int32_t component, int32_t platform, std::string* name) {
    *name = std::string("plx_") + logComponentName(component) + "_" + logPlatformName(platform);
    return 0;
}

bool claimLogFileName(std::string* path) {
    std::wstring wide;
    if (!utf8ToWide(*path, &wide)) return false;
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);  // plog opens it again, empty, on its first line
        return false;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;  // plog meets the same problem and stays silent
    const size_t dot = path->rfind(".log");
    if (dot == std::string::npos) return false;
    const std::string unique =
        path->substr(0, dot) + "_pid" + std::to_string(GetCurrentProcessId()) + path->substr(dot);
    if (unique.size() >= MAX_PATH) return false;  // keeps the taken name rather than overflow a buffer
    *path = unique;
    return true;
}

int buildLogFilePath(int32_t component, int32_t platform, const std::string& folder, std::string* path) {
    std::string baseName;
    buildLogFileBaseName(component, platform, &baseName);
    const std::string fileName = baseName + "_[" + makeLogTimestamp() + "].log";

    std::string workFolder = folder;
    if (workFolder.size() >= MIN_FOLDER_CHARS) {
        if (!fitsMaxPath(workFolder, fileName) || !createFolderTree(workFolder)) workFolder.clear();
    } else {
        workFolder.clear();
    }

    if (workFolder.size() <= MIN_FOLDER_CHARS) workFolder = defaultLogFolder();
    if (!fitsMaxPath(workFolder, fileName) || !createFolderTree(workFolder)) return -602;

    *path = workFolder + "\\" + fileName;
    return 0;
}
