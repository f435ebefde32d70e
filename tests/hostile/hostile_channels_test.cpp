// Hostile channel lists offered by the client: any number of entries (also more than the
// 6144-byte list buffer holds), names that fill their field without a terminator, OXLENS in
// other cases or with non-ASCII look-alike letters, and names that are no valid UTF-16.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "citrix/channel_discovery.h"
#include "citrix/wfapi_loader.h"
#include "hostile/hostile_support.h"
#include "support/log_capture.h"
#include "wfsim_control.h"

namespace {

constexpr size_t kNameUnits = 8;     // 16 bytes of a 24-byte list entry
constexpr size_t kListEntries = 256; // 6144 / 24

enum class Verdict { Found, Missing, Unconvertible };

bool validUtf16(const std::wstring& name) {
    for (size_t i = 0; i < name.size(); ++i) {
        const wchar_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool isOxlensIgnoringAsciiCase(const std::wstring& name) {
    if (name.size() != 6) return false;
    for (size_t i = 0; i < 6; ++i) {
        wchar_t c = name[i];
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
        if (c != L"OXLENS"[i]) return false;
    }
    return true;
}

// What the list means: only the entries the buffer holds count, each name as its field holds it.
Verdict expectedVerdict(const std::vector<std::wstring>& names, size_t* entriesLogged) {
    const size_t entries = std::min(names.size(), kListEntries);
    for (size_t i = 0; i < entries; ++i) {
        const std::wstring field = names[i].substr(0, kNameUnits);
        if (!validUtf16(field)) {
            *entriesLogged = i;
            return Verdict::Unconvertible;
        }
        if (isOxlensIgnoringAsciiCase(field)) {
            *entriesLogged = i + 1;
            return Verdict::Found;
        }
    }
    *entriesLogged = entries;
    return Verdict::Missing;
}

}  // namespace

TEST(HostileChannelLists, OnlyTheBufferedEntriesAreReadAndOnlyOxlensMatches) {
    ensureTestLog();
    ASSERT_TRUE(loadWFAPIWrapper());
    int verdicts[3] = {};
    for (uint32_t seed : hostile::seeds({20261206u, 99u})) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with PLX_HOSTILE_SEED=" + std::to_string(seed) + ")");
        std::mt19937 rng(seed);
        for (int i = 0; i < 150; ++i) {
            hostile::setCrashContext("channel list, seed " + std::to_string(seed) + ", list " + std::to_string(i));
            wfsim_reset();
            const int shape = std::uniform_int_distribution<int>(0, 9)(rng);
            const size_t count = shape < 7 ? std::uniform_int_distribution<size_t>(0, 12)(rng)
                                           : std::uniform_int_distribution<size_t>(250, 400)(rng);
            std::vector<std::wstring> names;
            for (size_t n = 0; n < count; ++n) names.push_back(hostile::hostileChannelName(rng));
            if (count > 0 && shape % 3 == 0) {
                // The real name somewhere, also beyond what the buffer holds.
                names[std::uniform_int_distribution<size_t>(0, count - 1)(rng)] = L"OXLENS";
            }
            std::vector<const wchar_t*> pointers;
            for (const auto& n : names) pointers.push_back(n.c_str());
            wfsim_set_channels(pointers.data(), static_cast<DWORD>(pointers.size()));

            size_t entriesLogged = 0;
            const Verdict expected = expectedVerdict(names, &entriesLogged);
            LogCapture log;
            Verdict got = Verdict::Missing;
            int rc = 0;
            try {
                rc = queryOXChannelPresence("OXLENS");
                got = rc == 0 ? Verdict::Found : Verdict::Missing;
            } catch (const std::range_error& e) {
                EXPECT_STREQ(e.what(), "bad conversion");
                got = Verdict::Unconvertible;
            }
            ASSERT_EQ(static_cast<int>(got), static_cast<int>(expected)) << "list " << i << " of " << count;
            if (got == Verdict::Missing) {
                EXPECT_EQ(rc, -141);
            }
            ++verdicts[static_cast<int>(got)];

            // One info line per entry looked at, numbered from 0, none past the buffer.
            size_t logged = 0;
            for (const auto& r : log.records()) {
                if (r.func != "queryOXChannelPresence" || r.message.rfind("\t\t|-- Virtual channel found", 0) != 0) continue;
                const std::string prefix = "\t\t|-- Virtual channel found  : [" + std::to_string(logged) + "] : ";
                EXPECT_EQ(r.message.compare(0, prefix.size(), prefix), 0) << r.message;
                ++logged;
            }
            EXPECT_EQ(logged, entriesLogged) << "list " << i << " of " << count;
            WfsimCounters c{};
            wfsim_get_counters(&c);
            EXPECT_EQ(c.smcOpened, 1);
            EXPECT_EQ(c.smcClosed, 1) << "the session handle is released on every way out";
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(verdicts[0], 0);
    EXPECT_GT(verdicts[1], 0);
    EXPECT_GT(verdicts[2], 0);
    EXPECT_EQ(wfsim_outstanding(), 0);
}
