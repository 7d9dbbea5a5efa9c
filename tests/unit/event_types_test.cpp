#include <gtest/gtest.h>

#include "channel/event_record.h"

TEST(EventTypes, NamesFollowTheTypeTable)
{
    EXPECT_STREQ(getEventType(0), "NULL");
    EXPECT_STREQ(getEventType(7), "AC_TYPE_DELETE");
    EXPECT_STREQ(getEventType(24), "AC_EVENT_OPEN_PRE");
    EXPECT_STREQ(getEventType(30), "AC_EVENT_CLOSE_PRE");
    EXPECT_STREQ(getEventType(48), "AC_EVENT_MMAP_PRE");
    for (uint32_t t : {8u, 21u, 31u, 33u, 34u, 44u, 46u, 49u, 50u, 0xFFFFFFFFu})
        EXPECT_STREQ(getEventType(t), "") << t;
}

TEST(EventTypes, MasksArePreMasksAndPostAddsIdRc)
{
    lac_initialize();
    for (int t = 0; t < 22; t++) EXPECT_EQ(generated_event_attribute_mask[t], ~uint64_t(0)) << t;
    const std::pair<int, uint64_t> expected[] = {
        {22, 0x4A}, {24, 0x264}, {26, 0x224}, {28, 0x22}, {30, 0x2}, {32, 0x244}, {34, 0x654},
        {36, 0x200}, {38, 0x200}, {40, 0x2}, {42, 0x244}, {44, 0x200}, {46, 0x244}, {48, 0x62},
    };
    for (auto [pre, mask] : expected) {
        EXPECT_EQ(generated_event_attribute_mask[pre], mask) << pre;
        EXPECT_EQ(generated_event_attribute_mask[pre + 1], mask | ATTR_ID_RC) << pre + 1;
    }
}

TEST(EventTypes, RecordLayoutMatchesTheWire)
{
    EXPECT_EQ(offsetof(ac_event_record, type), 8u);
    EXPECT_EQ(offsetof(ac_event_record, tid), 32u);
    EXPECT_EQ(offsetof(ac_event_record, fd), 48u);
    EXPECT_EQ(offsetof(ac_event_record, name_len), 80u);
    EXPECT_EQ(sizeof(ac_event_record), 2136u);
}
