// The WFAPI loader against the substitute library and its variants that each lack one entry point.
// This binary lives in a folder without the WinFrame API library; each test picks the library's folder.
#include <gtest/gtest.h>

#include <plog/Log.h>

#include <atomic>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "citrix/wfapi_loader.h"
#include "plx_build_info.h"
#include "support/wfsim_support.h"

namespace {

// Entry points in the order the loader resolves them; only the second is logged without its W.
const std::vector<std::string> kEntryPoints = {"WFFreeMemory", "WFQuerySessionInformationW", "WFVirtualChannelOpen",
    "WFVirtualChannelClose", "WFVirtualChannelQuery", "WFVirtualChannelWrite", "WFVirtualChannelRead",
    "WFWaitSystemEvent", "WFSmcOpenSessionHandle", "WFSmcCloseSessionHandle", "WFSmcGetSessionLatencyData",
    "WFSmcGetSessionVirtualChannelNames", "WFSmcGetSessionDataV2", "WFSmcGetServerData"};
std::string logName(size_t row) { return row == 1 ? "WFQuerySessionInformation" : kEntryPoints[row]; }

// The full path of `relative` (to this program's folder).
std::wstring besideExe(const std::string& relative) {
    wchar_t exe[MAX_PATH], full[MAX_PATH];
    std::wstring path(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH));
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + std::wstring(relative.begin(), relative.end());
    return std::wstring(full, GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr));
}
// Makes `relative` (to this program's folder) the folder DLLs are looked up in.
void useDllFolder(const std::string& relative) { ASSERT_TRUE(SetDllDirectoryW(besideExe(relative).c_str())); }

LogRecord debug(const std::string& m) { return {"DEBUG", "loadWFAPIWrapper", m}; }
LogRecord info(const std::string& m) { return {"INFO", "initWFAPI", "[WFAPI_WRAPPER] : " + m}; }

// The records of a load: without a library (rows < 0), lacking the entry point of row `rows`, or a success.
std::vector<LogRecord> loadRecords(int rows) {
    const int all = static_cast<int>(kEntryPoints.size());
    std::vector<LogRecord> want = {debug("Loading WFAPI Wrapper ..."), info("initializing...")};
    const std::string loadError = "[WFAPI_WRAPPER] ERR : LoadLibraryW [" PLX_WFAPI_NAME "] failed with error : ";
    want.push_back(rows < 0 ? LogRecord{"ERROR", "initWFAPI", loadError + errorText(ERROR_MOD_NOT_FOUND)}
                            : info("Library loaded OK"));
    for (int row = 0; row < rows; ++row) want.push_back(info("Function " + logName(row) + " found OK"));
    if (rows >= 0 && rows < all) {
        want.push_back({"ERROR", "initWFAPI", " [WFAPI_WRAPPER] ERR : GetProcAddress [" + logName(rows) +
                                                  "] failed with error : " +
                                                  errorText(ERROR_PROC_NOT_FOUND)});
    }
    if (rows == all) {
        want.push_back(info("WFAPI Wrapper loaded successfully"));
        // Loads that succeed all find the substitute in its folder.
        const std::wstring file = besideExe(std::string(PLX_TEST_SIM_DIR) + "/" PLX_WFAPI_NAME);
        want.push_back(info("Library file : " + std::string(file.begin(), file.end())));
    }
    want.push_back(debug(rows == all ? "Loading WFAPI Wrapper ... Ok" : "Loading WFAPI Wrapper ... Failed"));
    return want;
}

// Throws std::bad_alloc, once, out of the log record with the armed message: a record that cannot be built.
struct ThrowingAppender : plog::IAppender {
    std::atomic<const char*> armed{nullptr};
    void write(const plog::Record& record) override {
        const char* message = armed.load();
        if (message != nullptr && std::strcmp(record.getMessage(), message) == 0 && armed.exchange(nullptr))
            throw std::bad_alloc();
    }
};

}  // namespace

TEST(WfapiLoader, FailedLoadsLeaveNothingLoadedAndAreRepeatedInFull) {
    ensureTestLog();
    // No library (twice: every try repeats it all), then a library lacking each entry point in turn.
    for (int missing = -2; missing < static_cast<int>(kEntryPoints.size()); ++missing) {
        useDllFolder(missing < 0 ? "." : std::string(PLX_TEST_VARIANTS_DIR) + "/missing-" + kEntryPoints[missing]);
        LogCapture log;
        EXPECT_FALSE(loadWFAPIWrapper());
        EXPECT_TRUE(!_glWFAPILoaded && !_glWFAPIModule && !GetModuleHandleW(PLX_WFAPI_NAME_W)) << missing;
        expectRecords(log.records(), loadRecords(missing));
    }
}

TEST(WfapiLoader, LoadsOnceEvenFromConcurrentCallsUnloadsAndLoadsAgain) {
    ensureTestLog();
    useDllFolder(PLX_TEST_SIM_DIR);
    for (int round = 0; round < 2; ++round) {
        LogCapture log;
        bool results[4] = {};
        std::vector<std::thread> threads;
        for (bool& result : results) threads.emplace_back([&result] { result = loadWFAPIWrapper(); });
        for (auto& t : threads) t.join();
        EXPECT_TRUE(results[0] && results[1] && results[2] && results[3]);
        expectRecords(log.records(), loadRecords(static_cast<int>(kEntryPoints.size())));
        const HMODULE module = GetModuleHandleW(PLX_WFAPI_NAME_W);
        EXPECT_TRUE(_glWFAPILoaded && module && _glWFAPIModule == module);
#define EXPECT_RESOLVED(name, logName) \
    EXPECT_EQ(reinterpret_cast<void*>(_glWFAPITable.name), reinterpret_cast<void*>(GetProcAddress(module, #name)));
        WFAPI_ENTRY_POINTS(EXPECT_RESOLVED)
#undef EXPECT_RESOLVED
        LogCapture close;
        closeWFAPI();
        closeWFAPI();
        expectRecords(close.records(), {{"INFO", "closeWFAPI", "[WFAPI_WRAPPER] : WFAPI dll unloaded"}});
        EXPECT_TRUE(!_glWFAPILoaded && !_glWFAPIModule && !GetModuleHandleW(PLX_WFAPI_NAME_W));
    }
}

TEST(WfapiLoader, ALoadThatThrowsPartWayPublishesNothingAndTheNextLoadStartsOver) {
    ensureTestLog();
    useDllFolder(PLX_TEST_SIM_DIR);
    static ThrowingAppender thrower;
    plog::get()->addAppender(&thrower);
    closeWFAPI();
    _glWFAPITable = WFAPITable{};
    thrower.armed = "[WFAPI_WRAPPER] : Function WFVirtualChannelOpen found OK";  // three entry points resolved
    EXPECT_THROW(loadWFAPIWrapper(), std::bad_alloc);
    EXPECT_TRUE(!thrower.armed && !_glWFAPILoaded && !_glWFAPIModule && !GetModuleHandleW(PLX_WFAPI_NAME_W));
#define EXPECT_UNTOUCHED(name, logName) EXPECT_EQ(reinterpret_cast<void*>(_glWFAPITable.name), nullptr) << #name;
    WFAPI_ENTRY_POINTS(EXPECT_UNTOUCHED)
#undef EXPECT_UNTOUCHED
    LogCapture log;
    EXPECT_TRUE(loadWFAPIWrapper());
    expectRecords(log.records(), loadRecords(static_cast<int>(kEntryPoints.size())));
    EXPECT_NE(_glWFAPITable.WFSmcGetServerData, nullptr);
    closeWFAPI();
}
