// A hostile counterpart: seeded malformed answers and channel lists through the substitute WFAPI.DLL.
// Buffers and records lie flush against inaccessible pages: an access past them ends the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "citrix/channel_discovery.h"
#include "protocol/channel_exchange.h"
#include "protocol/client_info.h"
#include "support/wfsim_support.h"
#include "utils/oxe_auto_handle.h"

namespace {

template <typename T>
struct Guarded {  // one T whose last byte ends its committed (zeroed) pages; the pages around are only reserved
    static constexpr size_t kPage = 4096, kData = (sizeof(T) + kPage - 1) / kPage * kPage;
    char* base = static_cast<char*>(VirtualAlloc(nullptr, kData + 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
    T* object = reinterpret_cast<T*>(static_cast<char*>(VirtualAlloc(base + kPage, kData, MEM_COMMIT, PAGE_READWRITE)) + kData - sizeof(T));
    ~Guarded() { VirtualFree(base, 0, MEM_RELEASE); }
    T* operator->() const { return object; }
};

char g_context[256] = "";  // what the generator is doing, printed when the process meets an access violation

LONG CALLBACK reportFatal(EXCEPTION_POINTERS* e) {
    if (e->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
        std::fprintf(stderr, "\n*** access violation at %p while: %s\n", e->ExceptionRecord->ExceptionAddress, g_context);
    return EXCEPTION_CONTINUE_SEARCH;
}

std::string setContext(const char* what, uint32_t seed, int i) {
    [[maybe_unused]] static const PVOID handler = AddVectoredExceptionHandler(1, reportFatal);
    std::snprintf(g_context, sizeof g_context, "%s %d, seed %u (replay with PLX_HOSTILE_SEED=%u)", what, i, seed, seed);
    return g_context;
}

// The first seed by default; PLX_HOSTILE_SEED=all (the soak) runs every seed, =<n> replays one.
std::vector<uint32_t> seeds(std::vector<uint32_t> fixed) {
    const char* s = std::getenv("PLX_HOSTILE_SEED");
    if (s == nullptr) return {fixed[0]};
    return std::string(s) == "all" ? fixed : std::vector<uint32_t>{static_cast<uint32_t>(std::strtoul(s, nullptr, 0))};
}

size_t between(std::mt19937& rng, size_t low, size_t high) { return std::uniform_int_distribution<size_t>(low, high)(rng); }

// A malformed (now and then a well-formed) answer to a request of type/seq, read into a buffer of that size.
std::vector<uint8_t> malformedAnswer(std::mt19937& rng, uint16_t type, uint16_t seq, size_t buffer) {
    const size_t H = OXLENS_HEADER_SIZE, shapes[] = {0, 1, 2, 3, 3, 4, 5, 5, 5, 5};
    const size_t lengths[] = {0, between(rng, 1, H - 1), H, between(rng, H + 1, buffer - 1), buffer + between(rng, 1, 5000), buffer};
    const size_t length = lengths[shapes[between(rng, 0, 9)]], sent = std::min<size_t>(length, 0xFFFF);
    std::vector<uint8_t> p(std::max(length, H));
    const size_t payload = between(rng, 0, 99);  // random bytes, no NUL anywhere, letters, or zeros
    for (size_t i = H; i < p.size(); ++i)
        p[i] = static_cast<uint8_t>(payload < 40 ? rng() : payload < 70 ? between(rng, 1, 255) : payload < 85 ? 'A' + i % 26 : 0);
    OXLENS_PACKET_HEADER h;
    for (auto& b : h.reserved) b = static_cast<uint8_t>(rng());
    const size_t s = between(rng, 0, 99), t = between(rng, 0, 99), a = between(rng, 0, 99), q = between(rng, 0, 99);
    h.uSign = static_cast<uint16_t>(s < 70 ? OXLENS_SIGNATURE : s < 80 ? 0x5049 : rng());
    h.uType = static_cast<uint16_t>(t < 55 ? type : t < 80 ? between(rng, 1, 4) : rng());
    h.uLength = static_cast<uint16_t>(a < 35 ? sent : a < 45 ? 0 : a < 55 ? between(rng, 1, H - 1) : a < 65 ? between(rng, 0, sent)
                                      : a < 75 ? std::min<size_t>(length + between(rng, 1, 3000), 0xFFFF) : a < 85 ? 0xFFFF : buffer);
    h.uSeqNum = static_cast<uint16_t>(q < 60 ? seq : q < 80 ? seq - between(rng, 1, 3) : rng());
    std::memcpy(p.data(), &h, H);
    p.resize(length);
    return p;
}

}  // namespace

TEST(Hostile, MalformedAnswersNeverReachOutsideABufferOrARecord) {
    constexpr uint32_t kReadTimeoutMs = 1;  // the counterpart stays silent once the scripted answers are used up
    ensureTestLog();
    ASSERT_TRUE(loadWFAPIWrapper());
    auto silence = [] { wfsim_reset(), wfsim_set_fault(WFSIM_FAULT_NO_ANSWER, -1); };  // also empties the read log
    silence();
    OxeUtils::OxeAutoHandle<HANDLE, void (*)(HANDLE)> channel(
        _glWFAPITable.WFVirtualChannelOpen(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, const_cast<char*>("OXLENS")),
        [](HANDLE h) { _glWFAPITable.WFVirtualChannelClose(h); });
    ASSERT_NE(channel.get(), nullptr);
    for (uint32_t seed : seeds({20261206u, 7u, 0xC0FFEEu})) {
        std::mt19937 rng(seed);
        Guarded<OxlensPacket> request, answer;
        Guarded<OxlensPacketV2> requestV2, answerV2;
        Guarded<ClientInfo> info;
        Guarded<ClientInfoV2> infoV2;
        gReadAttempts = gReadFailures = gReadFailurePercent = 0;
        int outcomes[3][3] = {};  // per ping/v1/v2: result 0, result != 0, record copied
        size_t readsSeen = 0;
        for (int i = 0; i < 1200; ++i) {
            SCOPED_TRACE(setContext("exchange", seed, i));
            const size_t op = between(rng, 0, 2);
            const bool v2 = op == 2;
            const uint16_t capacity = v2 ? OXLENS_PACKET_V2_SIZE : OXLENS_PACKET_SIZE;
            const uint16_t type = op == 0 ? OXLENS_PING_REQ_TYPE : v2 ? OXLENS_GET_DATA_REQ_TYPE_V2 : OXLENS_GET_DATA_REQ_TYPE;
            for (size_t k = between(rng, 0, 7); k > 0; --k) {
                const auto a = malformedAnswer(rng, type, static_cast<uint16_t>(v2 ? 0 : request->header.uSeqNum + 1), capacity);
                wfsim_queue_raw_answer(a.data(), static_cast<DWORD>(a.size()));
            }
            int rc = 0;
            if (op == 0) {
                int32_t average = -987654;
                rc = SendBeginAndEndPing(channel.get(), request.object, answer.object, &average, kReadTimeoutMs);
                ASSERT_TRUE(rc == 0 || (rc <= -127 && rc >= -131)) << rc;
                EXPECT_TRUE(rc == 0 ? answer->header.uSign == OXLENS_SIGNATURE : average == -987654) << rc;
            } else {
                // Prepared as the polling task prepares them; the record is filled so that a copy shows.
                OXLENS_PACKET_HEADER &req = v2 ? requestV2->header : request->header, &ans = v2 ? answerV2->header : answer->header;
                std::memset(&ans, 0, capacity);
                req.uType = ans.uType = type, req.uLength = ans.uLength = capacity;
                uint8_t* record = v2 ? reinterpret_cast<uint8_t*>(infoV2.object) : reinterpret_cast<uint8_t*>(info.object);
                const size_t recordSize = v2 ? sizeof(ClientInfoV2) : sizeof(ClientInfo);
                std::memset(record, 0x5A, recordSize);
                rc = v2 ? SendDataReq_v2(channel.get(), requestV2.object, answerV2.object, infoV2.object, kReadTimeoutMs)
                        : SendDataReq_v1(channel.get(), request.object, answer.object, info.object, kReadTimeoutMs);
                ASSERT_TRUE(rc == 0 || rc == 1) << rc;
                EXPECT_TRUE(rc == 0 || ans.uSign == OXLENS_SIGNATURE) << ans.uSign;
                EXPECT_LE(gReadFailurePercent, 100);
                if (std::any_of(record, record + recordSize, [](uint8_t c) { return c != 0x5A; })) {
                    // Copied only from an answer of the requested type, as it came (v1: failure share set; v2: on _glClientInfo).
                    EXPECT_EQ(ans.uType, type);
                    ClientInfo base = v2 ? _glClientInfo : answer->payload;
                    if (!v2) base.readFailurePercent = gReadFailurePercent;
                    EXPECT_EQ(std::memcmp(v2 ? &infoV2->base : info.object, &base, sizeof base), 0);
                    EXPECT_EQ(v2 ? std::memcmp(&infoV2->ext, &answerV2->payload, sizeof(ClientInfoV2Ext)) : 0, 0);
                    ++outcomes[op][2];
                }
            }
            ++outcomes[op][rc == 0 ? 0 : 1];
            const std::vector<DWORD> sizes = readSizes();  // no read may ask for more than its buffer holds
            for (size_t k = readsSeen; k < sizes.size(); ++k) ASSERT_LE(sizes[k], capacity) << "read " << k;
            readsSeen = sizes.size();
            if (readsSeen > 2000) silence(), readsSeen = 0;  // leftover answers go with the log
            if (HasFailure()) return;
        }
        EXPECT_GT(outcomes[1][1] * outcomes[1][2] * outcomes[2][1] * outcomes[2][2], 0) << "a path never reached, seed " << seed;
    }
    channel.reset();
    EXPECT_EQ(wfsim_outstanding(), 0);
}

TEST(Hostile, ChannelListsAreReadWithinTheBufferAndOnlyOxlensMatches) {
    // Name pieces: OXLENS in other cases, look-alikes, unpaired surrogates; the last five never make a match.
    static const wchar_t* const pieces[] = {L"OXLENS", L"oxlens", L"OxLens", L"OXLEN", L"S", L"\u0160", L"\u00d6XLENS",
        L"\U0001F600", L"\xD800", L"\xDC00", L"", L"OXL", L"lens", L"~\x7F", L"ctx", L"X", L"1", L"\u07FF", L"ABCDEFGHIJ", L"CTXCAM"};
    const std::string kListed = "\t\t|-- Virtual channel found  : [", kBad = "] : name is not valid UTF-16, skipped";
    ensureTestLog();
    ASSERT_TRUE(loadWFAPIWrapper());
    // Literal lists first: a name that fills its 8-character field has no terminator and is not
    // OXLENS even when it begins with it; the entry after it is read on its own.
    const struct { std::vector<const wchar_t*> names; int result; } literal[] = {
        {{L"OXLENSAB"}, -141}, {{L"ABCDEFGHIJ", L"oxLENS"}, 0}, {{L"OXLENS7"}, -141}, {{L"\xD800", L"OXLENS"}, 0}};
    for (const auto& l : literal) {
        wfsim_reset();
        wfsim_set_channels(l.names.data(), static_cast<DWORD>(l.names.size()));
        EXPECT_EQ(queryOXChannelPresence("OXLENS"), l.result) << l.names.size() << " entries";
    }
    int verdicts[2][2] = {};  // [found][a name that is not valid UTF-16 was passed over]
    for (uint32_t seed : seeds({20261206u, 99u})) {
        std::mt19937 rng(seed);
        for (int i = 0; i < 150; ++i) {
            SCOPED_TRACE(setContext("channel list", seed, i));
            wfsim_reset();
            // Short lists of hostile names, or long ones (beyond the 256 entries the buffer holds) that may name OXLENS anywhere.
            const size_t shape = between(rng, 0, 9), count = shape < 7 ? between(rng, 0, 12) : between(rng, 250, 400);
            std::vector<std::wstring> names(count);
            for (auto& n : names)
                for (size_t k = between(rng, 1, 2); k > 0; --k) n += pieces[between(rng, shape < 7 ? 0 : 15, 19)];
            if (count > 0 && shape % 3 == 0) names[between(rng, 0, count - 1)] = L"OXLENS";
            std::vector<const wchar_t*> pointers;
            for (const auto& n : names) pointers.push_back(n.c_str());
            wfsim_set_channels(pointers.data(), static_cast<DWORD>(pointers.size()));

            // What the list means: only the buffered entries count, each name as its field holds it; a name that
            // is not valid UTF-16 is passed over, and only the first one of a listing is reported.
            bool found = false;
            std::string listed, bad;  // the info lines expected, and the one warning
            for (size_t k = 0; !found && k < std::min<size_t>(count, 256); ++k) {
                std::wstring f = names[k].substr(0, 8);
                if (!f.empty() && !WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, f.data(), static_cast<int>(f.size()),
                                                       nullptr, 0, nullptr, nullptr)) {
                    if (bad.empty()) bad = "\t\t|-- Virtual channel [" + std::to_string(k) + kBad + "\n";
                    continue;
                }
                listed += kListed + std::to_string(k) + "]\n";
                for (auto& c : f) c = static_cast<wchar_t>(c >= L'a' && c <= L'z' ? c - 32 : c);
                found = f == L"OXLENS";
            }
            LogCapture log;
            ASSERT_EQ(queryOXChannelPresence("OXLENS"), found ? 0 : -141) << count << " entries";
            ++verdicts[found][!bad.empty()];
            std::string gotListed, gotBad;  // one info line per entry looked at, none past the buffer
            for (const auto& r : log.records()) {
                if (r.func != "queryOXChannelPresence") continue;
                if (r.severity == "INFO" && r.message.rfind(kListed, 0) == 0)
                    gotListed += r.message.substr(0, r.message.find(']') + 1) + "\n";
                if (r.message.find(kBad) != std::string::npos) gotBad += r.severity + r.message + "\n";
            }
            EXPECT_EQ(gotListed, listed) << count << " entries";
            EXPECT_EQ(gotBad, bad.empty() ? "" : "WARN" + bad);
            EXPECT_EQ(wfsim_outstanding(), 0) << "the session handle is released on every way out";
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(verdicts[0][0] * verdicts[0][1] * verdicts[1][0] * verdicts[1][1], 0);
}
