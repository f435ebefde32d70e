// The WFAPI loader against the real substitute library and its variants that each lack one
// entry point. This binary lives in a folder without WFAPI.DLL; every test picks the folder
// the library is loaded from with SetDllDirectoryW.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "citrix/wf_test_support.h"
#include "citrix/wfapi_loader.h"
#include "support/log_capture.h"

using wftest::expectRecords;

namespace {

// Entry points in the order the loader resolves them: exported name, name in log lines.
const std::vector<std::pair<std::string, std::string>> kEntryPoints = {
    {"WFFreeMemory", "WFFreeMemory"},
    {"WFQuerySessionInformationW", "WFQuerySessionInformation"},
    {"WFVirtualChannelOpen", "WFVirtualChannelOpen"},
    {"WFVirtualChannelClose", "WFVirtualChannelClose"},
    {"WFVirtualChannelQuery", "WFVirtualChannelQuery"},
    {"WFVirtualChannelWrite", "WFVirtualChannelWrite"},
    {"WFVirtualChannelRead", "WFVirtualChannelRead"},
    {"WFWaitSystemEvent", "WFWaitSystemEvent"},
    {"WFSmcOpenSessionHandle", "WFSmcOpenSessionHandle"},
    {"WFSmcCloseSessionHandle", "WFSmcCloseSessionHandle"},
    {"WFSmcGetSessionLatencyData", "WFSmcGetSessionLatencyData"},
    {"WFSmcGetSessionVirtualChannelNames", "WFSmcGetSessionVirtualChannelNames"},
    {"WFSmcGetSessionDataV2", "WFSmcGetSessionDataV2"},
    {"WFSmcGetServerData", "WFSmcGetServerData"},
};

// A folder given relative to this program's own folder, as an absolute Windows path.
std::wstring besideProgram(const char* relative) {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe);
    path.erase(path.find_last_of(L"\\/") + 1);
    for (const char* c = relative; *c; ++c) path.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
    wchar_t full[MAX_PATH];
    GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}

std::wstring programFolder() { return besideProgram("."); }
std::wstring simFolder() { return besideProgram(PLX_TEST_SIM_DIR); }
std::wstring variantFolder(const std::string& missing) {
    return besideProgram((std::string(PLX_TEST_VARIANTS_DIR) + "/missing-" + missing).c_str());
}

LogRecord debug(const std::string& m) { return {"DEBUG", "loadWFAPIWrapper", m}; }
LogRecord info(const std::string& m) { return {"INFO", "initWFAPI", m}; }

// The nineteen records of a successful load.
std::vector<LogRecord> successfulLoad() {
    std::vector<LogRecord> want = {debug("Loading WFAPI Wrapper ..."), info("[WFAPI_WRAPPER] : initializing..."),
                                   info("[WFAPI_WRAPPER] : Library loaded OK")};
    for (const auto& entry : kEntryPoints) want.push_back(info("[WFAPI_WRAPPER] : Function " + entry.second + " found OK"));
    want.push_back(info("[WFAPI_WRAPPER] : WFAPI Wrapper loaded successfully"));
    want.push_back(debug("Loading WFAPI Wrapper ... Ok"));
    return want;
}

class WfapiLoader : public ::testing::Test {
protected:
    void SetUp() override {
        ensureTestLog();
        closeWFAPI();
    }
    void TearDown() override {
        closeWFAPI();
        SetDllDirectoryW(nullptr);
    }
};

}  // namespace

TEST_F(WfapiLoader, NoLibraryFailsWithTheSameFourLinesOnEveryTry) {
    ASSERT_TRUE(SetDllDirectoryW(programFolder().c_str()));
    for (int attempt = 0; attempt < 2; ++attempt) {
        LogCapture log;
        EXPECT_FALSE(loadWFAPIWrapper());
        EXPECT_FALSE(_glWFAPILoaded);
        EXPECT_EQ(_glWFAPIModule, nullptr);
        const auto records = log.records();
        ASSERT_EQ(records.size(), 4u) << log.dump();
        expectRecords({records[0], records[1], records[3]},
                      {debug("Loading WFAPI Wrapper ..."), info("[WFAPI_WRAPPER] : initializing..."),
                       debug("Loading WFAPI Wrapper ... Failed")});
        wftest::expectFailureLine(records[2], "ERROR", "initWFAPI",
                                  "[WFAPI_WRAPPER] ERR : LoadLibraryW [WFAPI.DLL] failed with error : ");
        EXPECT_EQ(wftest::codeAfter(records[2].message, "[WFAPI_WRAPPER] ERR : LoadLibraryW [WFAPI.DLL] failed with error : "),
                  static_cast<unsigned long>(ERROR_MOD_NOT_FOUND));
    }
}

TEST_F(WfapiLoader, LibraryLackingAnEntryPointIsReleasedAfterTheRowsBeforeIt) {
    for (size_t missing = 0; missing < kEntryPoints.size(); ++missing) {
        SCOPED_TRACE(kEntryPoints[missing].first);
        ASSERT_TRUE(SetDllDirectoryW(variantFolder(kEntryPoints[missing].first).c_str()));
        LogCapture log;
        EXPECT_FALSE(loadWFAPIWrapper());
        EXPECT_EQ(_glWFAPIModule, nullptr);
        EXPECT_EQ(GetModuleHandleW(L"WFAPI.DLL"), nullptr) << "the failed library stays loaded";

        std::vector<LogRecord> want = {debug("Loading WFAPI Wrapper ..."), info("[WFAPI_WRAPPER] : initializing..."),
                                       info("[WFAPI_WRAPPER] : Library loaded OK")};
        for (size_t row = 0; row < missing; ++row)
            want.push_back(info("[WFAPI_WRAPPER] : Function " + kEntryPoints[row].second + " found OK"));
        const std::string prefix =
            " [WFAPI_WRAPPER] ERR : GetProcAddress [" + kEntryPoints[missing].second + "] failed with error : ";
        want.push_back({"ERROR", "initWFAPI", prefix + OxeUtils::errorSuffix(ERROR_PROC_NOT_FOUND)});
        want.push_back(debug("Loading WFAPI Wrapper ... Failed"));
        expectRecords(log.records(), want);
    }
}

TEST_F(WfapiLoader, LoadsOnceUnloadsAndLoadsAgain) {
    ASSERT_TRUE(SetDllDirectoryW(simFolder().c_str()));
    for (int round = 0; round < 2; ++round) {
        LogCapture log;
        ASSERT_TRUE(loadWFAPIWrapper());
        expectRecords(log.records(), successfulLoad());

        const HMODULE module = GetModuleHandleW(L"WFAPI.DLL");
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(_glWFAPIModule, module);
        EXPECT_TRUE(_glWFAPILoaded);
        const std::vector<void*> table = {
            reinterpret_cast<void*>(_glWFAPITable.WFFreeMemory),
            reinterpret_cast<void*>(_glWFAPITable.WFQuerySessionInformationW),
            reinterpret_cast<void*>(_glWFAPITable.WFVirtualChannelOpen),
            reinterpret_cast<void*>(_glWFAPITable.WFVirtualChannelClose),
            reinterpret_cast<void*>(_glWFAPITable.WFVirtualChannelQuery),
            reinterpret_cast<void*>(_glWFAPITable.WFVirtualChannelWrite),
            reinterpret_cast<void*>(_glWFAPITable.WFVirtualChannelRead),
            reinterpret_cast<void*>(_glWFAPITable.WFWaitSystemEvent),
            reinterpret_cast<void*>(_glWFAPITable.WFSmcOpenSessionHandle),
            reinterpret_cast<void*>(_glWFAPITable.WFSmcCloseSessionHandle),
            reinterpret_cast<void*>(_glWFAPITable.WFSmcGetSessionLatencyData),
            reinterpret_cast<void*>(_glWFAPITable.WFSmcGetSessionVirtualChannelNames),
            reinterpret_cast<void*>(_glWFAPITable.WFSmcGetSessionDataV2),
            reinterpret_cast<void*>(_glWFAPITable.WFSmcGetServerData),
        };
        for (size_t row = 0; row < kEntryPoints.size(); ++row) {
            void* exported = reinterpret_cast<void*>(GetProcAddress(module, kEntryPoints[row].first.c_str()));
            ASSERT_NE(exported, nullptr);
            EXPECT_EQ(table[row], exported) << kEntryPoints[row].first;
        }

        LogCapture second;
        EXPECT_TRUE(loadWFAPIWrapper());
        EXPECT_TRUE(second.records().empty()) << second.dump();

        LogCapture close;
        closeWFAPI();
        closeWFAPI();
        expectRecords(close.records(), {{"INFO", "closeWFAPI", "[WFAPI_WRAPPER] : WFAPI dll unloaded"}});
        EXPECT_FALSE(_glWFAPILoaded);
        EXPECT_EQ(_glWFAPIModule, nullptr);
        EXPECT_EQ(GetModuleHandleW(L"WFAPI.DLL"), nullptr);
    }
}

TEST_F(WfapiLoader, ConcurrentFirstCallsLoadOnce) {
    ASSERT_TRUE(SetDllDirectoryW(simFolder().c_str()));
    LogCapture log;
    bool results[4] = {};
    std::vector<std::thread> threads;
    for (bool& result : results) threads.emplace_back([&result] { result = loadWFAPIWrapper(); });
    for (auto& t : threads) t.join();
    for (bool result : results) EXPECT_TRUE(result);
    expectRecords(log.records(), successfulLoad());
}
