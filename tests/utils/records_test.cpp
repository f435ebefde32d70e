// Resetting the records; their layout is checked at compile time in the public header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "protocol/client_info.h"

TEST(Records, ResetSetsEachNumberAndTheFirstByteOfEachTextAndNothingElse) {
    ClientInfoV2 record;
    std::memset(&record, 0x5A, sizeof record);
    resetClientInfo(&record.base);
    resetClientInfoV2Ext(&record.ext);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    // Eight integers and one double in the base, three integers in the extension, one byte of
    // each of the 18 + 3 texts: 73 bytes changed; padding and the rest of the texts keep theirs.
    EXPECT_EQ(std::count_if(bytes, bytes + sizeof record, [](unsigned char b) { return b != 0x5A; }), 73);
    EXPECT_TRUE(record.base.latency == -1 && record.base.readFailurePercent == -1 && record.base.clientValue6 == -1 &&
                record.base.clientReal1 == -1.0 && record.ext.extValue1 == -1 && record.ext.extValue3 == -1);
    EXPECT_TRUE(record.base.userName[0] == 0 && record.base.userName[1] == 0x5A && record.base.clientText16[0] == 0 &&
                record.ext.extText3[0] == 0 && record.ext.extText3[1] == 0x5A);
}
