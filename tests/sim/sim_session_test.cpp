// Session queries, channel list, accounting and scenario files of the substitute WFAPI.DLL.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim_test_util.h"

namespace {

// Returns the WFQuerySessionInformationW buffer's bytes, releasing the buffer.
std::vector<uint8_t> query(WF_INFO_CLASS infoClass, BOOL* ok = nullptr) {
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    BOOL result = wf().WFQuerySessionInformationW(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, infoClass,
                                                  &buffer, &bytes);
    if (ok != nullptr) *ok = result;
    std::vector<uint8_t> copy;
    if (result) {
        EXPECT_NE(buffer, nullptr);
        copy.assign(reinterpret_cast<uint8_t*>(buffer), reinterpret_cast<uint8_t*>(buffer) + bytes);
        wf().WFFreeMemory(buffer);
    } else {
        EXPECT_EQ(buffer, nullptr);
    }
    return copy;
}

DWORD firstWord(const std::vector<uint8_t>& bytes) {
    DWORD value = 0;
    std::memcpy(&value, bytes.data(), bytes.size() < 4 ? bytes.size() : 4);
    return value;
}

std::wstring entryName(const std::vector<uint8_t>& list, size_t index) {
    const wchar_t* name = reinterpret_cast<const wchar_t*>(list.data() + index * 24 + 8);
    size_t length = 0;
    while (length < 8 && name[length] != L'\0') ++length;
    return std::wstring(name, length);
}

// The channel list as WFSmcGetSessionVirtualChannelNames gives it, with guard bytes after
// the caller's buffer.
std::vector<uint8_t> channelList(DWORD bufferSize, DWORD& count, DWORD& status) {
    HANDLE session = nullptr;
    EXPECT_EQ(wf().WFSmcOpenSessionHandle(WF_CURRENT_SERVER_HANDLE, 1, &session), 0u);
    std::vector<uint8_t> area(bufferSize + 48, 0xEE);
    count = 0xDEAD;
    status = wf().WFSmcGetSessionVirtualChannelNames(WF_CURRENT_SERVER_HANDLE, session, bufferSize, area.data(),
                                                     &count);
    for (size_t i = bufferSize; i < area.size(); ++i) {
        EXPECT_EQ(area[i], 0xEE) << "channel list written past the buffer at " << i;
    }
    EXPECT_EQ(wf().WFSmcCloseSessionHandle(WF_CURRENT_SERVER_HANDLE, session), 0u);
    area.resize(bufferSize);
    return area;
}

std::wstring tempFile(const wchar_t* name, const std::string& content) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + name;
    FILE* file = _wfopen(path.c_str(), L"wb");
    EXPECT_NE(file, nullptr);
    if (file != nullptr) {
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
    }
    return path;
}

}  // namespace

TEST_F(SimTest, HealthySessionAnswersItsQueries) {
    std::vector<uint8_t> id = query(WFSessionId);
    EXPECT_EQ(id.size(), 4u);
    EXPECT_EQ(firstWord(id), 2u);
    EXPECT_EQ(firstWord(query(WFConnectState)), static_cast<DWORD>(WFActive));

    std::vector<uint8_t> version = query(WFVersion);
    ASSERT_GE(version.size(), offsetof(WFVersionInfo, csdVersion) + 2);
    const WFVersionInfo* info = reinterpret_cast<const WFVersionInfo*>(version.data());
    EXPECT_EQ(info->majorVersion, 7u);
    EXPECT_EQ(info->minorVersion, 41u);
    EXPECT_EQ(info->buildNumber, 1000u);
    EXPECT_EQ(version.back(), 0);
    EXPECT_EQ(version[version.size() - 2], 0) << "the CSD text ends in a wide NUL";

    // The raw first word, any connect state, another version.
    wfsim_set_session_id_raw(0x00030007);
    wfsim_set_connect_state(12);
    wfsim_set_vda_version(2203, 0, 17, 3, L"LTSR CU4");
    EXPECT_EQ(firstWord(query(WFSessionId)), 0x00030007u);
    EXPECT_EQ(firstWord(query(WFConnectState)), 12u);
    version = query(WFVersion);
    info = reinterpret_cast<const WFVersionInfo*>(version.data());
    EXPECT_EQ(info->majorVersion, 2203u);
    EXPECT_EQ(info->platformId, 3u);
    EXPECT_EQ(std::wstring(info->csdVersion), L"LTSR CU4");

    DWORD count = 0;
    DWORD status = 1;
    std::vector<uint8_t> list = channelList(6144, count, status);
    EXPECT_EQ(status, 0u);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(entryName(list, 0), L"CTXCAM");
    EXPECT_EQ(entryName(list, 1), L"OXLENS");
    EXPECT_EQ(entryName(list, 2), L"CTXTW");

    // A list longer than the buffer: all that fits is written, the count tells the truth.
    std::vector<std::wstring> names;
    for (int i = 0; i < 300; ++i) names.push_back(L"C" + std::to_wstring(i));
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& name : names) pointers.push_back(name.c_str());
    wfsim_set_channels(pointers.data(), static_cast<DWORD>(pointers.size()));
    list = channelList(6144, count, status);
    EXPECT_EQ(count, 300u);
    EXPECT_EQ(entryName(list, 255), L"C255");
    list = channelList(100, count, status);  // four entries and a bit
    EXPECT_EQ(entryName(list, 3), L"C3");

    // The client data block of the open channel, and the open's exact name.
    wfsim_reset();
    HANDLE channel = openOxlens();
    ASSERT_NE(channel, nullptr);
    char lower[] = "oxlens";
    EXPECT_EQ(wf().WFVirtualChannelOpen(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, lower), nullptr);
    PVOID data = nullptr;
    DWORD length = 0;
    ASSERT_TRUE(wf().WFVirtualChannelQuery(channel, WFVirtualClientData, &data, &length));
    EXPECT_NE(data, nullptr);
    EXPECT_GT(length, 0u);
    wf().WFFreeMemory(data);
    EXPECT_TRUE(wf().WFVirtualChannelClose(channel));
}

TEST_F(SimTest, SessionFaultsFailWithALastError) {
    wfsim_set_fault(WFSIM_FAULT_SESSION_ID_QUERY_FAILS, 1);
    BOOL ok = TRUE;
    query(WFSessionId, &ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(firstWord(query(WFSessionId)), 2u) << "armed for one call only";
    wfsim_set_fault(WFSIM_FAULT_SESSION_ID_ZERO, 1);
    EXPECT_EQ(firstWord(query(WFSessionId)), 0u);

    HANDLE session = reinterpret_cast<HANDLE>(0x1234);
    wfsim_set_fault(WFSIM_FAULT_SMC_OPEN_FAILS, 1);
    EXPECT_NE(wf().WFSmcOpenSessionHandle(WF_CURRENT_SERVER_HANDLE, 2, &session), 0u);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(session, reinterpret_cast<HANDLE>(0x1234)) << "a failed open writes no handle";
    wfsim_set_fault(WFSIM_FAULT_SMC_OPEN_NULL_HANDLE, 1);
    EXPECT_EQ(wf().WFSmcOpenSessionHandle(WF_CURRENT_SERVER_HANDLE, 2, &session), 0u);
    EXPECT_EQ(session, nullptr);

    DWORD count = 0;
    DWORD status = 0;
    wfsim_set_fault(WFSIM_FAULT_CHANNEL_LIST_FAILS, 1);
    channelList(6144, count, status);
    EXPECT_NE(status, 0u);
    wfsim_set_fault(WFSIM_FAULT_CHANNEL_LIST_OTHER_CASE, 1);
    EXPECT_EQ(entryName(channelList(6144, count, status), 1), L"OxLens");
    wfsim_set_fault(WFSIM_FAULT_CHANNEL_VANISHED, 1);
    std::vector<uint8_t> list = channelList(6144, count, status);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(entryName(list, 1), L"CTXTW");
    wfsim_set_fault(WFSIM_FAULT_CHANNEL_LIST_OVERFLOW, 1);
    list = channelList(6144, count, status);
    EXPECT_GT(count, 256u);
    EXPECT_EQ(entryName(list, 1), L"OXLENS");
    EXPECT_FALSE(entryName(list, 255).empty());

    wfsim_set_fault(WFSIM_FAULT_CHANNEL_OPEN_FAILS, 1);
    EXPECT_EQ(openOxlens(), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    HANDLE channel = openOxlens();
    ASSERT_NE(channel, nullptr);
    wfsim_set_fault(WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS, 1);
    PVOID data = reinterpret_cast<PVOID>(0x1);
    DWORD length = 7;
    EXPECT_FALSE(wf().WFVirtualChannelQuery(channel, WFVirtualClientData, &data, &length));
    EXPECT_EQ(data, nullptr);
    wf().WFVirtualChannelClose(channel);

    wfsim_set_connect_state(WFDisconnected);
    EXPECT_EQ(openOxlens(), nullptr);
    EXPECT_EQ(counters().buffersAllocated, counters().buffersFreed) << "failed queries hand out nothing";
}

TEST_F(SimTest, AccountingTracksEveryHandleAndBuffer) {
    HANDLE session = nullptr;
    ASSERT_EQ(wf().WFSmcOpenSessionHandle(WF_CURRENT_SERVER_HANDLE, 2, &session), 0u);
    HANDLE channel = openOxlens();
    PVOID data = nullptr;
    DWORD length = 0;
    ASSERT_TRUE(wf().WFVirtualChannelQuery(channel, WFVirtualClientData, &data, &length));
    LPWSTR id = nullptr;
    DWORD bytes = 0;
    ASSERT_TRUE(wf().WFQuerySessionInformationW(nullptr, WF_CURRENT_SESSION, WFSessionId, &id, &bytes));
    EXPECT_EQ(wfsim_outstanding(), 4);

    wfsim_reset();  // keeps what is handed out
    EXPECT_EQ(wfsim_outstanding(), 4);

    wf().WFFreeMemory(id);
    wf().WFFreeMemory(id);
    wf().WFFreeMemory(nullptr);
    EXPECT_TRUE(wf().WFVirtualChannelClose(channel));
    EXPECT_FALSE(wf().WFVirtualChannelClose(channel));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(wf().WFSmcCloseSessionHandle(nullptr, reinterpret_cast<HANDLE>(0x77)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(wfsim_outstanding(), 2);
    wf().WFFreeMemory(data);
    EXPECT_EQ(wf().WFSmcCloseSessionHandle(nullptr, session), 0u);
    EXPECT_EQ(wfsim_outstanding(), 0);

    WfsimCounters c = counters();
    EXPECT_EQ(c.buffersFreed, 2);
    EXPECT_EQ(c.badFrees, 2);
    EXPECT_EQ(c.channelsClosed, 1);
    EXPECT_EQ(c.badChannelCloses, 1);
    EXPECT_EQ(c.smcClosed, 1);
    EXPECT_EQ(c.badSmcCloses, 1);
    EXPECT_EQ(c.calls[WFSIM_WFFreeMemory], 4);
    EXPECT_EQ(c.calls[WFSIM_WFSmcCloseSessionHandle], 2);
}

TEST_F(SimTest, ScenarioFileScriptsTheSession) {
    std::wstring path = tempFile(L"wfsim_scenario_test.txt",
                                 "# a scripted session\n"
                                 "session_id = 0x10005\n"
                                 "state = WFDisconnected\n"
                                 "vda_version = 1912.0.4000   # LTSR\n"
                                 "platform_id = 3\n"
                                 "csd = \"CU #8 \"\n"
                                 "channels = CTXCAM, oxlens ,CTXTW\n"
                                 "latency_ms = 35\n"
                                 "jitter_ms = 0\n"
                                 "user_name = Zoë\n"
                                 "computer_name = LAPTOP-42\n"
                                 "clientText16 = \n"
                                 "clientValue6 = -7\n"
                                 "clientReal1 = 2.5\n"
                                 "v2 = 0\n"
                                 "extText2 = dock\n"
                                 "extValue3 = 9\n"
                                 "fault.read_fails = 2\n");
    ASSERT_EQ(wfsim_load_scenario(path.c_str()), 0);
    EXPECT_EQ(firstWord(query(WFSessionId)), 0x10005u);
    EXPECT_EQ(firstWord(query(WFConnectState)), static_cast<DWORD>(WFDisconnected));
    std::vector<uint8_t> version = query(WFVersion);
    const WFVersionInfo* info = reinterpret_cast<const WFVersionInfo*>(version.data());
    EXPECT_EQ(info->majorVersion, 1912u);
    EXPECT_EQ(info->buildNumber, 4000u);
    EXPECT_EQ(info->platformId, 3u);
    EXPECT_EQ(std::wstring(info->csdVersion), L"CU #8 ");
    DWORD count = 0;
    DWORD status = 0;
    std::vector<uint8_t> list = channelList(6144, count, status);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(entryName(list, 1), L"oxlens");

    wfsim_set_connect_state(WFActive);
    HANDLE channel = openOxlens();
    ASSERT_NE(channel, nullptr) << "a listed channel opens by its exact name in any letter case";
    EXPECT_FALSE(readAnswer(channel, 0).ok);
    EXPECT_FALSE(readAnswer(channel, 0).ok);
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_GET_DATA_REQ_TYPE, OXLENS_PACKET_SIZE, 1)));
    ReadResult data = readAnswer(channel, 5000);
    ASSERT_EQ(data.bytes.size(), OXLENS_PACKET_SIZE);
    ClientInfo record;
    std::memcpy(&record, data.bytes.data() + OXLENS_HEADER_SIZE, sizeof record);
    EXPECT_STREQ(record.userName, "Zo\xC3\xAB");
    EXPECT_STREQ(record.computerName, "LAPTOP-42");
    EXPECT_STREQ(record.clientText16, "");
    EXPECT_STREQ(record.clientText1, "Windows 11 Enterprise") << "unnamed fields keep their values";
    EXPECT_EQ(record.clientValue6, -7);
    EXPECT_EQ(record.clientReal1, 2.5);
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_GET_DATA_REQ_TYPE_V2, OXLENS_PACKET_V2_SIZE, 0)));
    EXPECT_FALSE(readAnswer(channel, 200, OXLENS_PACKET_V2_SIZE).ok) << "v2 = 0 is an old client";
    wfsim_set_client_info_v2(nullptr, 1);
    ASSERT_TRUE(writeRequest(channel, makeRequest(OXLENS_GET_DATA_REQ_TYPE_V2, OXLENS_PACKET_V2_SIZE, 0)));
    ReadResult v2 = readAnswer(channel, 5000, OXLENS_PACKET_V2_SIZE);
    ClientInfoV2Ext ext;
    std::memcpy(&ext, v2.bytes.data() + OXLENS_HEADER_SIZE, sizeof ext);
    EXPECT_STREQ(ext.extText2, "dock");
    EXPECT_EQ(ext.extValue3, 9);
    wf().WFVirtualChannelClose(channel);

    // Bad lines are reported by number; the good ones still apply.
    wfsim_reset();
    path = tempFile(L"wfsim_scenario_bad.txt",
                    "latency_ms = 70\n"
                    "\n"
                    "colour = blue\n"
                    "computer_name = FAR-TOO-LONG-FOR-FIFTEEN\n"
                    "fault.no_such_fault = 1\n"
                    "session_id = 9\n");
    EXPECT_EQ(wfsim_load_scenario(path.c_str()), 3);
    EXPECT_EQ(firstWord(query(WFSessionId)), 9u);
    EXPECT_EQ(wfsim_load_scenario(L"Z:\\no\\such\\scenario.txt"), -1);
}

// Run in a child process by the next test, with WFSIM_SCENARIO set before the first call.
TEST(SimScenarioChild, DISABLED_ReadsTheEnvironmentScenarioOnFirstUse) {
    EXPECT_EQ(firstWord(query(WFSessionId)), 77u);
    EXPECT_EQ(firstWord(query(WFConnectState)), static_cast<DWORD>(WFConnected));
}

TEST_F(SimTest, ScenarioNamedByTheEnvironmentAppliesLazily) {
    std::wstring path = tempFile(L"wfsim_scenario_env.txt", "session_id = 77\nstate = 1\n");
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(exe) +
                           L"\" --gtest_also_run_disabled_tests "
                           L"--gtest_filter=SimScenarioChild.DISABLED_ReadsTheEnvironmentScenarioOnFirstUse";
    ASSERT_TRUE(SetEnvironmentVariableW(L"WFSIM_SCENARIO", path.c_str()));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &process);
    SetEnvironmentVariableW(L"WFSIM_SCENARIO", nullptr);
    ASSERT_TRUE(started);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(exitCode, 0u) << "the child did not see the scenario";
    EXPECT_EQ(firstWord(query(WFSessionId)), 2u) << "this process was configured before";
}
