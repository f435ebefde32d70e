#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "logging/log_settings.h"
#include "logging/log_setup.h"
#include "logging_test_env.h"

namespace {

const std::regex FILE_NAME(R"(plx_srv_dll_citrix_\[(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d)\]\.log)");

// The folder part of a built path, after checking that the rest is a well-formed name.
std::string folderOf(const std::string& path) {
    const size_t cut = path.find_last_of('\\');
    EXPECT_NE(cut, std::string::npos) << path;
    EXPECT_TRUE(std::regex_match(path.substr(cut + 1), FILE_NAME)) << path;
    return path.substr(0, cut);
}

std::string built(const std::string& folder) {
    std::string path = "untouched";
    EXPECT_EQ(buildLogFilePath(LogComponentServerDll, LogPlatformCitrix, folder, &path), 0) << folder;
    return folderOf(path);
}

char missingDrive() {
    for (char d = 'Q'; d <= 'Y'; ++d) {
        const char root[] = {d, ':', '\\', '\0'};
        if (GetDriveTypeA(root) == DRIVE_NO_ROOT_DIR) return d;
    }
    return '\0';
}

}  // namespace

TEST(LogFileNames, BaseNamesAndTimestamp) {
    std::string name;
    EXPECT_EQ(buildLogFileBaseName(LogComponentServerDll, LogPlatformCitrix, &name), 0);
    EXPECT_EQ(name, "plx_srv_dll_citrix");
    buildLogFileBaseName(LogComponentClientTestApp, LogPlatformPlatformInfo, &name);
    EXPECT_EQ(name, "plx_client_test_app_platform_info");
    buildLogFileBaseName(4, -1, &name);
    EXPECT_EQ(name, "plx_none_none");
    buildLogFileBaseName(-1, 5, &name);
    EXPECT_EQ(name, "plx_none_none");

    // Local time, to the second: compare with the clock read just before and after.
    auto stamp = [](std::time_t t) {
        char buffer[80];
        std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H-%M-%S", std::localtime(&t));
        return std::string(buffer);
    };
    const std::time_t before = std::time(nullptr);
    const std::string got = makeLogTimestamp();
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(got == stamp(before) || got == stamp(after)) << got;
    EXPECT_TRUE(std::regex_match(got, std::regex(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d)"))) << got;
}

TEST(BuildLogFilePath, ConfiguredFolderOrDefault) {
    ScratchFolder scratch(L"paths");
    const std::string base = scratch.utf8();
    const std::string defaultFolder = defaultLogFolderForTest();

    // A configured folder is created with its missing parents and used as it is.
    EXPECT_EQ(built(base + "\\a\\b"), base + "\\a\\b");
    EXPECT_TRUE(isDirectory(scratch.wide() + L"\\a\\b"));
    EXPECT_EQ(built(base + "\\a\\b"), base + "\\a\\b") << "an existing folder";
    EXPECT_EQ(built(base + "/c/d"), base + "/c/d") << "forward slashes";
    EXPECT_TRUE(isDirectory(scratch.wide() + L"\\c\\d"));

    // Non-ASCII: the UTF-8 text is the folder, created under its real (wide) name.
    const std::wstring unicodeLeaf = L"Gr\u00fc\u00dfe \u65e5\u672c";
    EXPECT_EQ(built(base + "\\" + toUtf8(unicodeLeaf)), base + "\\" + toUtf8(unicodeLeaf));
    EXPECT_TRUE(isDirectory(scratch.wide() + L"\\" + unicodeLeaf));

    // Everything else falls back to the default folder, which is created.
    EXPECT_EQ(built(""), defaultFolder);
    EXPECT_TRUE(isDirectory(fromUtf8(defaultFolder)));
    EXPECT_EQ(built("C:"), defaultFolder) << "2 characters";
    EXPECT_EQ(built("C:\\"), defaultFolder) << "3 characters, a drive root";
    const char drive = missingDrive();
    ASSERT_NE(drive, '\0');
    EXPECT_EQ(built(std::string(1, drive) + ":\\Logs\\Agent"), defaultFolder) << "a drive that does not exist";

    // A file where a folder should be, or along the way, makes the folder unusable.
    HANDLE file = CreateFileW((scratch.wide() + L"\\plain.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(built(base + "\\plain.txt\\sub"), defaultFolder);
    EXPECT_EQ(built(base + "\\plain.txt"), defaultFolder);

    // A folder whose log file path would not fit MAX_PATH is not even created.
    const std::string longLeaf(MAX_PATH - base.size() - 40, 'x');
    EXPECT_EQ(built(base + "\\" + longLeaf), defaultFolder);
    EXPECT_FALSE(isDirectory(scratch.wide() + L"\\" + fromUtf8(longLeaf)));
    const std::string fitting(MAX_PATH - base.size() - 1 - 1 - 44 - 1, 'y');  // path of exactly 259 characters
    std::string path;
    ASSERT_EQ(buildLogFilePath(LogComponentServerDll, LogPlatformCitrix, base + "\\" + fitting, &path), 0);
    EXPECT_EQ(path.size(), size_t(MAX_PATH - 1));
    EXPECT_EQ(folderOf(path), base + "\\" + fitting);
}

TEST(BuildLogFilePath, NoUsableFolderGivesMinus602) {
    ScratchFolder scratch(L"blocked");
    DefaultFolderBlocker blocker;
    if (!blocker.active()) GTEST_SKIP() << "the default log folder holds files; it is left alone";
    std::string path = "untouched";
    EXPECT_EQ(buildLogFilePath(LogComponentServerDll, LogPlatformCitrix, "", &path), -602);
    const std::string onMissingDrive = std::string(1, missingDrive()) + ":\\Logs";
    EXPECT_EQ(buildLogFilePath(LogComponentServerDll, LogPlatformCitrix, onMissingDrive, &path), -602);
    EXPECT_EQ(path, "untouched");
    // A usable configured folder does not need the default one.
    EXPECT_EQ(buildLogFilePath(LogComponentServerDll, LogPlatformCitrix, scratch.utf8(), &path), 0);
    EXPECT_EQ(folderOf(path), scratch.utf8());
}
