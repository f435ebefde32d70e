#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <stdexcept>
#include <string>

#include "utils/oxe_auto_handle.h"
#include "utils/string_utils.h"
#include "utils/system_error.h"

using namespace OxeUtils;

namespace {
int g_released = 0;
void* g_lastReleased = nullptr;
}  // namespace

TEST(OxeAutoHandle, ReleasesOwnedHandleExactlyOnce) {
    auto release = [](void* h) {
        ++g_released;
        g_lastReleased = h;
    };
    g_released = 0;
    { auto empty = makeAutoHandle<void*>(nullptr, release); }
    EXPECT_EQ(g_released, 0) << "a holder never filled releases nothing";

    int target = 0;
    {
        auto holder = makeAutoHandle<void*>(nullptr, release);
        *holder.addressOf() = &target;
        EXPECT_EQ(holder.get(), &target);
        auto moved(std::move(holder));
        EXPECT_EQ(holder.get(), nullptr);
        EXPECT_EQ(moved.get(), &target);
    }
    EXPECT_EQ(g_released, 1);
    EXPECT_EQ(g_lastReleased, &target);

    auto holder = makeAutoHandle<void*>(&target, release);
    holder.reset();
    holder.reset();
    EXPECT_EQ(g_released, 2) << "reset releases once and leaves the holder empty";
    EXPECT_EQ(holder.get(), nullptr);
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
    std::string all;
    for (int i = 1; i < 256; ++i) all.push_back(static_cast<char>(i));
    const std::string lowered = toLower(all);
    ASSERT_EQ(lowered.size(), all.size());
    for (int i = 1; i < 256; ++i) {
        const unsigned char got = static_cast<unsigned char>(lowered[i - 1]);
        const int expected = (i >= 'A' && i <= 'Z') ? i + 32 : i;
        EXPECT_EQ(got, expected) << "byte " << i;
    }
}

TEST(WideToUtf8, ConvertsNonAsciiAndRejectsUnpairedSurrogate) {
    EXPECT_EQ(wideToUtf8(L"OXLENS"), "OXLENS");
    EXPECT_EQ(wideToUtf8(L"Gr\u00fc\u00df \u20ac"), "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac");
    EXPECT_EQ(wideToUtf8(std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}), "\xf0\x9f\x98\x80");
    try {
        wideToUtf8(std::wstring{L'a', wchar_t(0xD800), L'b'});
        FAIL() << "unpaired surrogate converted";
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "bad conversion");
    }
}

TEST(SystemErrorText, KnownCodeHasTextWithLineBreakUnknownIsEmpty) {
    const std::wstring text = getSystemErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), L'\n');
    EXPECT_NE(wideToUtf8(text).find("ile not found"), std::string::npos) << wideToUtf8(text);
    EXPECT_TRUE(getSystemErrorText(0x2345678).empty());
    EXPECT_EQ(errorSuffix(2).rfind("[2] : ", 0), 0u);
}
