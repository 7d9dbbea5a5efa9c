// The driver's log limit: ten lines a second, then the count of the others once the second is over.
#include <gtest/gtest.h>

#include <string>

#include "driver/log.h"

TEST(DriverLog, TenLinesASecondThenTheCountOfTheRest)
{
    drv::log::RateLimit limit;
    std::string out;
    for (int64_t ms : {5000, 5001, 5002, 5003, 5004, 5005, 5006, 5007, 5008, 5100, 5200, 5999})
        out += limit.admit(ms) ? '+' : '-';
    EXPECT_EQ(out, "++++++++++--");
    EXPECT_EQ(limit.take_dropped(5999), 0u) << "not before the second is over";
    EXPECT_EQ(limit.until_due(5999), 1);
    EXPECT_EQ(limit.take_dropped(6000), 2u);
    EXPECT_EQ(limit.take_dropped(6000), 0u) << "said once";
    EXPECT_EQ(limit.until_due(6000), -1);
    EXPECT_TRUE(limit.admit(6000)) << "a new second";
}
