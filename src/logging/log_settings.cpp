#include "logging/log_settings.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "utils/oxe_auto_handle.h"
#include "utils/string_utils.h"

const wchar_t* const LOG_SETTINGS_KEY_PATH = L"Software\\Orbivex\\Pathlens\\Log";

namespace {

const wchar_t* const SUBKEY_SERVER = L"server";
const wchar_t* const SUBKEY_CLIENT = L"client";

const wchar_t* const VALUE_SEVERITY = L"severity";
const wchar_t* const VALUE_PATH_ROOT = L"path_root";
const wchar_t* const VALUE_MAX_FILE_SIZE = L"max_file_size";
const wchar_t* const VALUE_MAX_FILE_COUNT = L"max_file_count";

const char* const COMPONENT_NAMES[] = {"srv_dll", "client_dll", "srv_test_app", "client_test_app"};
const char* const PLATFORM_NAMES[] = {"test", "citrix", "vmware", "rdp", "platform_info"};
const char* const NAME_NONE = "none";

// KEY_READ | KEY_WOW64_64KEY: the settings live in the 64-bit view even for the 32-bit DLL.
constexpr REGSAM SETTINGS_ACCESS = 0x20119;

constexpr int32_t SEVERITY_NONE = 0;
constexpr int32_t SEVERITY_VERBOSE = 6;

// Every failure, including a value of another type, is "no value".
std::optional<DWORD> readDword(HKEY key, const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::wstring> readString(HKEY key, const wchar_t* name) {
    DWORD size = 0;  // bytes, terminator included
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(size / 2 + 1, L'\0');
    DWORD filled = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    if (filled == 0) return std::wstring();
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer.data(), &filled) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    // The second call reports what it really wrote (the value may have shrunk in between);
    // the text ends at its first NUL, so an embedded NUL never reaches a path.
    const size_t units = std::min<size_t>(filled / 2, buffer.size() - 1);
    std::wstring text(buffer.data(), units);
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return text;
}

}  // namespace

const char* logComponentName(int32_t component) {
    if (component < 0 || component >= static_cast<int32_t>(sizeof COMPONENT_NAMES / sizeof *COMPONENT_NAMES)) {
        return NAME_NONE;
    }
    return COMPONENT_NAMES[component];
}

const char* logPlatformName(int32_t platform) {
    if (platform < 0 || platform >= static_cast<int32_t>(sizeof PLATFORM_NAMES / sizeof *PLATFORM_NAMES)) {
        return NAME_NONE;
    }
    return PLATFORM_NAMES[platform];
}

int readLogSettings(int32_t component, int32_t* severity, std::string* pathRoot, uint32_t* maxFileSize,
                    int32_t* maxFileCount) {
    *severity = SEVERITY_NONE;
    pathRoot->clear();
    *maxFileSize = LOG_DEFAULT_MAX_FILE_SIZE;
    *maxFileCount = LOG_DEFAULT_MAX_FILE_COUNT;

    // Only the two DLL components have a settings key; any other keeps the defaults, as if
    // its key could not be opened.
    const wchar_t* subKey = component == LogComponentServerDll   ? SUBKEY_SERVER
                            : component == LogComponentClientDll ? SUBKEY_CLIENT
                                                                 : nullptr;
    if (subKey == nullptr) return 0;
    const std::wstring keyPath = std::wstring(LOG_SETTINGS_KEY_PATH) + L"\\" + subKey;

    auto key = OxeUtils::makeAutoHandle<HKEY>(nullptr, [](HKEY handle) { RegCloseKey(handle); });
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, SETTINGS_ACCESS, key.addressOf()) != ERROR_SUCCESS) {
        *key.addressOf() = nullptr;  // nothing was opened, so nothing is closed
        return 0;
    }

    const std::optional<DWORD> severityValue = readDword(key.get(), VALUE_SEVERITY);
    const std::optional<std::wstring> pathValue = readString(key.get(), VALUE_PATH_ROOT);
    const std::optional<DWORD> sizeValue = readDword(key.get(), VALUE_MAX_FILE_SIZE);
    const std::optional<DWORD> countValue = readDword(key.get(), VALUE_MAX_FILE_COUNT);

    *severity = static_cast<int32_t>(severityValue.value_or(0));
    if (pathValue) *pathRoot = OxeUtils::wideToUtf8(*pathValue);
    *maxFileSize = sizeValue.value_or(0);
    *maxFileCount = static_cast<int32_t>(countValue.value_or(0));

    // Signed comparison: a stored 0xFFFFFFFF is -1 and ends up verbose like 7 does.
    if (*severity < SEVERITY_NONE || *severity > SEVERITY_VERBOSE) *severity = SEVERITY_VERBOSE;

    // The two file limits go together: a missing size, or a missing count while logging is
    // on, brings back both defaults.
    if (*maxFileSize == 0 || (*maxFileCount == 0 && *severity != SEVERITY_NONE)) {
        *maxFileSize = LOG_DEFAULT_MAX_FILE_SIZE;
        *maxFileCount = LOG_DEFAULT_MAX_FILE_COUNT;
    }
    return 0;
}
