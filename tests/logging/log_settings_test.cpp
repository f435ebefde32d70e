#include <gtest/gtest.h>

#include <stdexcept>

#include "logging/log_settings.h"
#include "logging_test_env.h"

namespace {

struct Settings {
    int32_t severity;
    std::string pathRoot;
    uint32_t maxFileSize;
    int32_t maxFileCount;
    bool operator==(const Settings& o) const {
        return severity == o.severity && pathRoot == o.pathRoot && maxFileSize == o.maxFileSize &&
               maxFileCount == o.maxFileCount;
    }
};

std::ostream& operator<<(std::ostream& out, const Settings& s) {
    return out << "{" << s.severity << ", \"" << s.pathRoot << "\", " << s.maxFileSize << ", " << s.maxFileCount
               << "}";
}

Settings read(int32_t component = LogComponentServerDll) {
    // Garbage in the outputs shows that every one of them is replaced.
    Settings s{-5, "stale", 1, 1};
    EXPECT_EQ(readLogSettings(component, &s.severity, &s.pathRoot, &s.maxFileSize, &s.maxFileCount), 0);
    return s;
}

const Settings DEFAULTS{0, "", 5242880, 10};

}  // namespace

TEST(ReadLogSettings, DefaultsBoundsAndFileLimitRule) {
    LogKeyBackup backup;
    EXPECT_EQ(read(), DEFAULTS) << "no key";
    createServerKey();
    EXPECT_EQ(read(), DEFAULTS) << "empty key";

    setServerDword(L"severity", 4);
    setServerDword(L"max_file_size", 1000000);
    EXPECT_EQ(read(), (Settings{4, "", 5242880, 10})) << "a size without a count is dropped";

    deleteLogKey();
    setServerDword(L"max_file_size", 1000);
    EXPECT_EQ(read(), (Settings{0, "", 1000, 0})) << "logging off keeps a missing count at 0";

    setServerDword(L"max_file_count", 3);
    setServerDword(L"severity", 7);
    EXPECT_EQ(read(), (Settings{6, "", 1000, 3}));
    setServerDword(L"severity", 4294967295u);
    EXPECT_EQ(read(), (Settings{6, "", 1000, 3})) << "compared as signed";
    setServerDword(L"severity", 0x80000000u);
    EXPECT_EQ(read().severity, 6);
    setServerDword(L"severity", 5);
    EXPECT_EQ(read(), (Settings{5, "", 1000, 3}));

    setServerString(L"severity", L"4");
    EXPECT_EQ(read(), (Settings{0, "", 1000, 3})) << "severity as text counts as missing";
    const unsigned long long big = 4000;
    setServerRaw(L"max_file_size", REG_QWORD, &big, sizeof big);
    setServerDword(L"severity", 2);
    EXPECT_EQ(read(), (Settings{2, "", 5242880, 10})) << "a QWORD size counts as missing";
    setServerString(L"max_file_count", L"7");
    setServerDword(L"max_file_size", 2000);
    EXPECT_EQ(read(), (Settings{2, "", 5242880, 10})) << "a text count counts as missing";

    setServerString(L"path_root", L"D:\\Logs\\Agent");
    EXPECT_EQ(read().pathRoot, "D:\\Logs\\Agent");
    setServerString(L"path_root", L"C:\\Gr\u00fc\u00dfe \u65e5\u672c");
    EXPECT_EQ(read().pathRoot, "C:\\Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac") << "UTF-8";
    setServerString(L"path_root", L"");
    EXPECT_EQ(read().pathRoot, "");
    // A text with an embedded NUL ends there.
    const wchar_t embedded[] = L"C:\\a\0C:\\b";
    setServerRaw(L"path_root", REG_SZ, embedded, sizeof embedded);
    EXPECT_EQ(read().pathRoot, "C:\\a");
    setServerDword(L"path_root", 5);
    EXPECT_EQ(read().pathRoot, "") << "a number is no path";

    // A path that is no valid UTF-16 cannot be converted: that error reaches the caller.
    const wchar_t broken[] = {L'C', L':', wchar_t(0xDC00), L'\0'};
    setServerRaw(L"path_root", REG_SZ, broken, sizeof broken);
    int32_t sev;
    std::string root;
    uint32_t size;
    int32_t count;
    try {
        readLogSettings(LogComponentServerDll, &sev, &root, &size, &count);
        ADD_FAILURE() << "unconvertible path accepted";
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "bad conversion");
    }
}

TEST(ReadLogSettings, ComponentChoosesItsOwnSubKey) {
    LogKeyBackup backup;
    setServerDword(L"severity", 3);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Orbivex\\Pathlens\\Log\\client", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD five = 5;
    RegSetValueExW(key, L"severity", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&five), sizeof five);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, LOG_SETTINGS_KEY_PATH, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD one = 1;
    RegSetValueExW(key, L"severity", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegCloseKey(key);

    EXPECT_EQ(read(LogComponentServerDll).severity, 3);
    EXPECT_EQ(read(LogComponentClientDll).severity, 5);
    EXPECT_EQ(read(LogComponentServerTestApp), DEFAULTS) << "no sub-key, and never the Log key itself";
    EXPECT_EQ(read(42), DEFAULTS);
}
