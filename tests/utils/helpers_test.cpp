#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "utils/oxe_auto_handle.h"
#include "utils/string_utils.h"
#include "utils/system_error.h"

using namespace OxeUtils;

TEST(OxeAutoHandle, ReleasesWhatItOwnsExactlyOnce) {
    static std::vector<void*> released;
    const auto release = [](void* h) { released.push_back(h); };
    int target = 0;
    { auto empty = makeAutoHandle<void*>(nullptr, release); }  // never filled: nothing to release
    {
        auto holder = makeAutoHandle<void*>(nullptr, release);
        *holder.addressOf() = &target;
        auto moved(std::move(holder));
        EXPECT_TRUE(holder.get() == nullptr && moved.get() == &target);
    }
    auto holder = makeAutoHandle<void*>(&target, release);
    holder.reset();
    holder.reset();  // the first reset releases and leaves the holder empty
    EXPECT_EQ(holder.get(), nullptr);
    EXPECT_EQ(released, (std::vector<void*>{&target, &target}));
}

TEST(FormatString, TruncatesAndReturnsFullLength) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(formatString(buffer, sizeof buffer, "%s-%d", "abcdef", 12345), 12);
    EXPECT_STREQ(buffer, "abcdef-");
    EXPECT_EQ(formatString(buffer, sizeof buffer, "%ld", 42L), 2);
    EXPECT_STREQ(buffer, "42");
    char one[1] = {'x'};
    EXPECT_EQ(formatString(one, sizeof one, "abc"), 3);
    EXPECT_EQ(one[0], '\0');
}

TEST(ToLower, ChangesOnlyAsciiCapitals) {
    std::string all, expected;
    for (int i = 1; i < 256; ++i) all.push_back(char(i)), expected.push_back(char(i >= 'A' && i <= 'Z' ? i + 32 : i));
    EXPECT_EQ(toLower(all), expected);
}

// Two- and three-byte characters and an unpaired surrogate: where the log settings are read (tests/logging).
TEST(WideToUtf8, ConvertsASurrogatePairToOneFourByteCharacter) {
    EXPECT_EQ(wideToUtf8(std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}), "\xf0\x9f\x98\x80");
}

// A known code's text ends every failure line compared with FormatMessageA's (tests/citrix, tests/faults).
TEST(SystemErrorText, UnknownCodeHasNoText) { EXPECT_TRUE(getSystemErrorText(0x2345678).empty()); }
