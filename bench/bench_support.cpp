#include "bench_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

int64_t frequency() {
    static const int64_t f = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<int64_t>(value.QuadPart);
    }();
    return f;
}

std::string registryText(HKEY root, const wchar_t* key, const wchar_t* name) {
    wchar_t text[256] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    if (RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) return "?";
    std::string out = toUtf8(text);
    // Trim the blanks some processor names carry.
    out.erase(0, out.find_first_not_of(' '));
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

int64_t nowTicks() {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return static_cast<int64_t>(value.QuadPart);
}

double ticksToUs(int64_t ticks) { return static_cast<double>(ticks) * 1e6 / static_cast<double>(frequency()); }
double ticksToMs(int64_t ticks) { return static_cast<double>(ticks) * 1e3 / static_cast<double>(frequency()); }
double msSince(int64_t startTicks) { return ticksToMs(nowTicks() - startTicks); }

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    rank = std::max<size_t>(rank, 1);
    return values[std::min(rank, values.size()) - 1];
}

namespace {
int g_misses = 0;
}  // namespace

void report(const char* what, const std::string& figure, const char* goal, bool pass) {
    std::printf("  %-58s %-34s goal %-14s %s\n", what, figure.c_str(), goal, pass ? "PASS" : "MISS");
    std::fflush(stdout);
    if (!pass) ++g_misses;
}

int misses() { return g_misses; }

std::string fmt(const char* format, double a, double b, double c) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

std::wstring exeDir() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

ProductDll loadProductDll() {
    ProductDll d;
    const std::wstring path = exeDir() + L"\\" PLX_DLL_NAME_W;
    d.module = LoadLibraryW(path.c_str());
    if (d.module != nullptr) {
        d.get = procAs<icasrv_get_remote_info_fn>(d.module, "icasrv_get_remote_info");
        d.getV2 = procAs<icasrv_get_remote_info_v2_fn>(d.module, "icasrv_get_remote_info_v2");
        d.cleanup = procAs<icasrv_cleanup_fn>(d.module, "icasrv_cleanup");
    }
    if (!d.get || !d.getV2 || !d.cleanup) {
        std::fprintf(stderr, "cannot load %s or its exports (error %lu)\n", toUtf8(path).c_str(), GetLastError());
        std::exit(2);
    }
    return d;
}

std::string machineFacts() {
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    std::string wine = "none (Windows)";
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        using WineVersionFn = const char*(CDECL*)();
        if (auto version = procAs<WineVersionFn>(ntdll, "wine_get_version")) wine = version();
    }
    const std::string cpu = registryText(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                                         L"ProcessorNameString");
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[32];
    std::snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute);
    return "cores=" + std::to_string(info.dwNumberOfProcessors) + "  cpu=\"" + cpu + "\"  wine=" + wine +
           "  date=" + date;
}

int logSeverity() {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Orbivex\\Pathlens\\Log\\server", L"severity", RRF_RT_REG_DWORD,
                     nullptr, &value, &size) != ERROR_SUCCESS)
        return -1;
    return static_cast<int>(value);
}

const wchar_t* const kLogKey = L"Software\\Orbivex\\Pathlens\\Log";

namespace {
const wchar_t* const kLogKeyAside = L"Software\\Orbivex\\Pathlens\\Log.plxbench-aside";
const wchar_t* const kLogKeyName = L"Log";
const wchar_t* const kLogKeyAsideName = L"Log.plxbench-aside";

bool keyExists(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}
}  // namespace

bool setLogKeyAside() {
    if (keyExists(kLogKeyAside)) restoreLogKey(true);
    return keyExists(kLogKey) && RegRenameKey(HKEY_CURRENT_USER, kLogKey, kLogKeyAsideName) == ERROR_SUCCESS;
}

void restoreLogKey(bool wasAside) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kLogKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kLogKey);
    if (wasAside) RegRenameKey(HKEY_CURRENT_USER, kLogKeyAside, kLogKeyName);
}

}  // namespace bench
