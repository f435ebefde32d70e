#include <gtest/gtest.h>

#include <cstring>

#include "protocol/client_info.h"

namespace {

template <typename T>
T at(const void* record, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof value);
    return value;
}

const size_t kClientInfoInts[] = {0, 3340, 3604, 3732, 3736, 3740, 3744, 3880};
const size_t kClientInfoTexts[] = {4,    517,  533,  598,  663,  1688, 2728, 2761, 3018, 3083,
                                   3344, 3608, 3641, 3666, 3699, 3748, 3813, 3884};
const size_t kExtInts[] = {36, 40, 1072};
const size_t kExtTexts[] = {0, 44, 557};

}  // namespace

TEST(Records, ResetWritesDefaultsAtTheRawOffsetsAndOnlyFirstTextBytes) {
    ClientInfoV2 record;
    std::memset(&record, 0x5A, sizeof record);
    resetClientInfo(&record.base);
    resetClientInfoV2Ext(&record.ext);

    for (size_t offset : kClientInfoInts) EXPECT_EQ(at<int32_t>(&record, offset), -1) << offset;
    EXPECT_EQ(at<double>(&record, 2720), -1.0);
    for (size_t offset : kClientInfoTexts) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&record) + offset;
        EXPECT_EQ(bytes[0], 0) << offset;
        EXPECT_EQ(bytes[1], 0x5A) << "byte behind the first of the text at " << offset;
    }
    const char* ext = reinterpret_cast<const char*>(&record) + 4144;
    for (size_t offset : kExtInts) EXPECT_EQ(at<int32_t>(ext, offset), -1) << offset;
    for (size_t offset : kExtTexts) {
        EXPECT_EQ(ext[offset], 0) << offset;
        EXPECT_EQ(static_cast<unsigned char>(ext[offset + 1]), 0x5A) << offset;
    }
    // Padding keeps its bytes: after clientText4 (2713..2719), after extText1 (33..35) and
    // the record's tail (5220..5223).
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (size_t offset : {2713u, 2719u, 3601u, 3878u, 4141u, 4144u + 33u, 4144u + 1070u, 5220u, 5223u})
        EXPECT_EQ(bytes[offset], 0x5A) << "padding at " << offset;
}
