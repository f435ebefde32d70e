// Finding and opening the OXLENS channel through the substitute WFAPI.DLL.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "citrix/channel_discovery.h"
#include "citrix/wf_test_support.h"
#include "citrix/wfapi_loader.h"
#include "support/log_capture.h"
#include "utils/oxe_auto_handle.h"
#include "wfsim_control.h"

using wftest::expectFailureLine;
using wftest::expectRecords;

namespace {

const std::string kDashes(88, '-');
const std::string kFound = "\t\t|-- Virtual channel found  : ";

class ChannelDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        ensureTestLog();
        ASSERT_TRUE(loadWFAPIWrapper());
        wfsim_reset();
        ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &m_sessionId));
    }
    void TearDown() override { EXPECT_EQ(wfsim_outstanding(), 0) << "a handle or buffer was not released"; }

    void setChannels(const std::vector<std::wstring>& names) {
        std::vector<const wchar_t*> pointers;
        for (const auto& n : names) pointers.push_back(n.c_str());
        wfsim_set_channels(pointers.data(), static_cast<DWORD>(pointers.size()));
    }

    // The records up to the session handle line, which is checked by its form only.
    void expectListingStart(const std::vector<LogRecord>& records, const std::string& target) {
        ASSERT_GE(records.size(), 7u);
        const std::string sid = std::to_string(m_sessionId);
        expectRecords({records.begin(), records.begin() + 5},
                      {{"DEBUG", "queryOXChannelPresence",
                        "Calling queryOXChannelPresence to find if our custom channel presents...[ channel name = " +
                            target + "]"},
                       {"DEBUG", "queryOXChannelPresence", "Listing all channels on the client side ..."},
                       {"DEBUG", "queryOXChannelPresence", "\tCalling ProcessIdToSessionId with current process...."},
                       {"DEBUG", "queryOXChannelPresence",
                        "ProcessIdToSessionId call is OK; Querying VC names for session id : " + sid},
                       {"DEBUG", "queryOXChannelPresence",
                        "\tCalling _WFSmcOpenSessionHandle with parameters : server handle =  "
                        "WF_CURRENT_SERVER_HANDLE;sessionId = " +
                            sid}});
        EXPECT_TRUE(std::regex_match(records[5].message,
                                     std::regex("WFSmcOpenSessionHand call is OK; Session Handle = [0-9A-F]{" +
                                                std::to_string(2 * sizeof(void*)) + "}")))
            << records[5].message;
        expectRecords({records[6]}, {{"DEBUG", "queryOXChannelPresence", ">> WFSmcGetSessionVirtualChannelNames ..."}});
    }

    // The WFSmc failure lines carry the code twice, the session id and the status.
    void expectSmcFailure(const LogRecord& r, const std::string& call) {
        const std::string prefix = call + " failed with error : ";
        const unsigned long code = wftest::codeAfter(r.message, prefix);
        ASSERT_NE(code, ~0ul) << r.message;
        std::smatch status;
        ASSERT_TRUE(std::regex_search(r.message, status, std::regex("; status = (\\d+)$"))) << r.message;
        expectRecords({r}, {{"ERROR", "queryOXChannelPresence",
                             prefix + "[" + std::to_string(code) + "] : " + OxeUtils::errorSuffix(code) +
                                 " ;SessionId = " + std::to_string(m_sessionId) + "; status = " + status[1].str()}});
    }

    DWORD m_sessionId = 0;
};

auto channelHolder() {
    return OxeUtils::makeAutoHandle<HANDLE>(nullptr, [](HANDLE h) { _glWFAPITable.WFVirtualChannelClose(h); });
}
auto clientDataHolder() {
    return OxeUtils::makeAutoHandle<_VDOXLENS_C2H*>(nullptr,
                                                     [](_VDOXLENS_C2H* p) { _glWFAPITable.WFFreeMemory(p); });
}

}  // namespace

TEST_F(ChannelDiscovery, FindsTheChannelAndStopsAtTheFirstMatch) {
    setChannels({L"CTXCAM", L"OXLENS", L"CTXTW", L"OXLENS"});
    LogCapture log;
    EXPECT_EQ(queryOXChannelPresence("OXLENS"), 0);
    const auto records = log.records();
    expectListingStart(records, "oxlens");
    ASSERT_EQ(records.size(), 13u) << log.dump();
    const std::string q = "queryOXChannelPresence";
    expectRecords({records.begin() + 7, records.end()},
                  {{"DEBUG", q, " === WFSmcGetSessionVirtualChannelNames succeeded, virtual channel count = 4; list of vchannels : "},
                   {"INFO", q, kFound + "[0] : ctxcam"},
                   {"INFO", q, kFound + "[1] : oxlens"},
                   {"DEBUG", q, kDashes},
                   {"DEBUG", q, "Virtual channel oxlens found"},
                   {"DEBUG", q, kDashes}});
}

TEST_F(ChannelDiscovery, ComparesWithoutAsciiCaseOnly) {
    setChannels({L"CTXCAM", L"oXlEnS"});
    EXPECT_EQ(queryOXChannelPresence("OXLENS"), 0);
    LogCapture log;
    EXPECT_EQ(queryOXChannelPresence("OxLens"), 0);
    EXPECT_TRUE(log.has(kFound + "[1] : oxlens", "INFO")) << log.dump();

    // Upper-case O with diaeresis stays upper case: only A-Z are folded.
    setChannels({L"\u00d6XLENS"});
    LogCapture umlaut;
    EXPECT_EQ(queryOXChannelPresence("\xc3\xb6xlens"), -141);
    EXPECT_TRUE(umlaut.has(kFound + "[0] : \xc3\x96xlens", "INFO")) << umlaut.dump();
}

TEST_F(ChannelDiscovery, EmptyListIsAWarning) {
    setChannels({});
    LogCapture log;
    EXPECT_EQ(queryOXChannelPresence("OXLENS"), -141);
    const auto records = log.records();
    expectListingStart(records, "oxlens");
    const std::string q = "queryOXChannelPresence";
    expectRecords({records.begin() + 7, records.end()},
                  {{"DEBUG", q, " === WFSmcGetSessionVirtualChannelNames succeeded, virtual channel count = 0; list of vchannels : "},
                   {"WARN", q, kDashes},
                   {"WARN", q, "Virtual channel oxlens does not exist on client side"},
                   {"WARN", q, kDashes}});
}

TEST_F(ChannelDiscovery, HostileListsNeverReadPastTheBuffer) {
    // More entries reported than the buffer holds: the list is cut at 256 entries.
    wfsim_set_fault(WFSIM_FAULT_CHANNEL_LIST_OVERFLOW, 1);
    LogCapture overflow;
    const int result = queryOXChannelPresence("NOSUCH");
    EXPECT_EQ(result, -141);
    EXPECT_EQ(overflow.countContaining(kFound), 256) << overflow.dump();
    EXPECT_TRUE(overflow.has(kFound + "[255] : vc255", "INFO"));
    EXPECT_EQ(overflow.countContaining(kFound + "[256]"), 0);
    EXPECT_TRUE(overflow.has("Virtual channel nosuch does not exist on client side", "WARN"));

    // A name that fills its entry has no terminator: it ends with its entry.
    setChannels({L"ABCDEFGHIJKL", L"OXLENS"});
    LogCapture unterminated;
    EXPECT_EQ(queryOXChannelPresence("OXLENS"), 0);
    std::string first;
    for (const auto& r : unterminated.records())
        if (r.message.rfind(kFound + "[0] : ", 0) == 0) first = r.message.substr(kFound.size() + 6);
    EXPECT_EQ(first, "abcdefgh");
    EXPECT_TRUE(unterminated.has(kFound + "[1] : oxlens", "INFO")) << unterminated.dump();
}

TEST_F(ChannelDiscovery, FailuresReleaseTheSessionHandle) {
    wfsim_set_fault(WFSIM_FAULT_SMC_OPEN_FAILS, 1);
    LogCapture openFails;
    EXPECT_EQ(queryOXChannelPresence("OXLENS"), -104);
    auto records = openFails.records();
    ASSERT_EQ(records.size(), 6u) << openFails.dump();
    expectSmcFailure(records[5], "WFSmcOpenSessionHandle");

    wfsim_set_fault(WFSIM_FAULT_SMC_OPEN_NULL_HANDLE, 1);
    LogCapture nullHandle;
    EXPECT_EQ(queryOXChannelPresence("OXLENS"), -104);
    records = nullHandle.records();
    ASSERT_EQ(records.size(), 6u) << nullHandle.dump();
    expectSmcFailure(records[5], "WFSmcOpenSessionHandle");
    EXPECT_TRUE(std::regex_search(records[5].message, std::regex("; status = 0$"))) << records[5].message;

    wfsim_set_fault(WFSIM_FAULT_CHANNEL_LIST_FAILS, 1);
    LogCapture listFails;
    EXPECT_EQ(queryOXChannelPresence("OXLENS"), -125);
    records = listFails.records();
    ASSERT_EQ(records.size(), 8u) << listFails.dump();
    expectSmcFailure(records[7], "WFSmcGetSessionVirtualChannelNames");
    WfsimCounters counters{};
    wfsim_get_counters(&counters);
    EXPECT_EQ(counters.smcOpened, counters.smcClosed);
    EXPECT_EQ(counters.badSmcCloses, 0);
}

TEST_F(ChannelDiscovery, OpensTheChannelAndFetchesItsClientData) {
    {
        auto channel = channelHolder();
        auto data = clientDataHolder();
        DWORD length = 0;
        LogCapture log;
        ASSERT_EQ(tryOpenVirtualChannel(channel.addressOf(), data.addressOf(), &length), 0);
        EXPECT_NE(channel.get(), nullptr);
        EXPECT_NE(data.get(), nullptr);
        EXPECT_GT(length, 0u);
        char hex[32];
        snprintf(hex, sizeof hex, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(channel.get())));
        const std::string t = "tryOpenVirtualChannel";
        expectRecords(log.records(),
                      {{"DEBUG", t, ">> Trying to open virtual channel OXLENS"},
                       {"DEBUG", t, " === WFVirtualChannelOpen has been opened successfully; handle = 0x" +
                                        std::string(hex) + "\n"},
                       {"DEBUG", t, ">> WFVirtualChannelQuery [WFVirtualClientData] on channel OXLENS..."},
                       {"ERROR", t, " === WFVirtualChannelQuery success"}});
    }
    EXPECT_EQ(wfsim_outstanding(), 0);

    {
        wfsim_set_fault(WFSIM_FAULT_CHANNEL_OPEN_FAILS, 1);
        auto channel = channelHolder();
        auto data = clientDataHolder();
        DWORD length = 0;
        LogCapture log;
        EXPECT_EQ(tryOpenVirtualChannel(channel.addressOf(), data.addressOf(), &length), -124);
        EXPECT_EQ(channel.get(), nullptr);
        const auto records = log.records();
        ASSERT_EQ(records.size(), 2u) << log.dump();
        expectFailureLine(records[1], "ERROR", "tryOpenVirtualChannel", " === WFVirtualChannelOpen failed: ");
    }
    {
        wfsim_set_fault(WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS, 1);
        auto channel = channelHolder();
        auto data = clientDataHolder();
        DWORD length = 0;
        LogCapture log;
        EXPECT_EQ(tryOpenVirtualChannel(channel.addressOf(), data.addressOf(), &length), -125);
        EXPECT_NE(channel.get(), nullptr) << "the open channel is already the caller's";
        EXPECT_EQ(data.get(), nullptr);
        const auto records = log.records();
        ASSERT_EQ(records.size(), 4u) << log.dump();
        expectFailureLine(records[3], "ERROR", "tryOpenVirtualChannel", " === WFVirtualChannelQuery failed: ");
        EXPECT_EQ(wfsim_outstanding(), 1) << "the channel is open until its holder goes";
    }
    WfsimCounters counters{};
    wfsim_get_counters(&counters);
    EXPECT_EQ(counters.badChannelCloses, 0);
    EXPECT_EQ(counters.badFrees, 0);
}
