// Runs one logging scenario in a fresh process, where no plog logger exists yet. The
// arguments are a script of steps; results go to standard output, one line each.
//   init                      initGlobalData(), prints PATH=<_glLogPath>
//   init-concurrent N         N threads call initGlobalData() at the same moment
//   log TAG                   one line "TAG <level>" at each severity, fatal to verbose
//   burst TAG N               N info lines
//   dword NAME VALUE          REG_DWORD under HKCU\...\Log\server
//   str NAME TEXT             REG_SZ under HKCU\...\Log\server
//   badpath                   path_root holding an unpaired surrogate
//   await-severity N MS       waits until a logger with max severity N exists
//   sleep MS
//   logger                    prints LOGGER=0 or LOGGER=1
//   shutdown                  shutdownLog(), prints its result and duration
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <plog/Log.h>

#include "logging/log_settings.h"
#include "logging/log_setup.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(static_cast<char>(c));
    return out;
}

bool setValue(const std::wstring& name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    const std::wstring path = std::wstring(LOG_SETTINGS_KEY_PATH) + L"\\server";
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool ok = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool loggerAt(int severity) {
    std::lock_guard<std::mutex> lock(_glLogMutex);
    return _glLogger != nullptr && static_cast<int>(_glLogger->getMaxSeverity()) == severity;
}

void logAllLevels(const std::string& tag) {
    PLOGF << tag << " fatal";
    PLOGE << tag << " error";
    PLOGW << tag << " warning";
    PLOGI << tag << " info";
    PLOGD << tag << " debug";
    PLOGV << tag << " verbose";
}

void printPath() { std::printf("PATH=%s\n", _glLogPath); }

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; i < argc; ++i) {
        const std::wstring step = argv[i];
        auto next = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : std::wstring(); };
        if (step == L"init") {
            initGlobalData();
            printPath();
        } else if (step == L"init-concurrent") {
            const int count = std::stoi(next());
            std::atomic<bool> go{false};
            std::vector<std::thread> threads;
            for (int t = 0; t < count; ++t) {
                threads.emplace_back([&go] {
                    while (!go.load()) std::this_thread::yield();
                    initGlobalData();
                });
            }
            go.store(true);
            for (auto& t : threads) t.join();
            printPath();
        } else if (step == L"log") {
            logAllLevels(narrow(next()));
        } else if (step == L"burst") {
            const std::string tag = narrow(next());
            const int count = std::stoi(next());
            for (int n = 0; n < count; ++n) PLOGI << tag << " line " << n << " ....................................";
        } else if (step == L"dword") {
            const std::wstring name = next();
            const DWORD value = static_cast<DWORD>(std::stoul(next()));
            if (!setValue(name, REG_DWORD, &value, sizeof value)) std::printf("REGFAIL\n");
        } else if (step == L"str") {
            const std::wstring name = next();
            const std::wstring text = next();
            if (!setValue(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)))) {
                std::printf("REGFAIL\n");
            }
        } else if (step == L"badpath") {
            const wchar_t text[] = {L'C', L':', L'\\', wchar_t(0xD800), L'x', L'\0'};
            if (!setValue(L"path_root", REG_SZ, text, sizeof text)) std::printf("REGFAIL\n");
        } else if (step == L"await-severity") {
            const int severity = std::stoi(next());
            const int limitMs = std::stoi(next());
            const auto start = Clock::now();
            while (!loggerAt(severity) && msSince(start) < limitMs) Sleep(10);
            if (loggerAt(severity)) {
                std::printf("SEVERITY %d after %lld ms\n", severity, msSince(start));
            } else {
                std::printf("SEVERITY %d not reached\n", severity);
            }
        } else if (step == L"sleep") {
            Sleep(static_cast<DWORD>(std::stoul(next())));
        } else if (step == L"logger") {
            std::lock_guard<std::mutex> lock(_glLogMutex);
            std::printf("LOGGER=%d\n", _glLogger != nullptr ? 1 : 0);
        } else if (step == L"shutdown") {
            const auto start = Clock::now();
            const int rc = shutdownLog();
            std::printf("SHUTDOWN rc=%d ms=%lld\n", rc, msSince(start));
        } else {
            std::printf("UNKNOWN STEP %s\n", narrow(step).c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    LocalFree(argv);
    return 0;
}
