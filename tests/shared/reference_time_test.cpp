#include "plist/reference_time.h"

#include <gtest/gtest.h>

#include <ctime>

TEST(ReferenceTime, ConvertsBetweenUnixAndReferenceDate) {
    EXPECT_DOUBLE_EQ(bw::referenceTimeFromUnix(978307200.0), 0.0);
    EXPECT_DOUBLE_EQ(bw::unixFromReferenceTime(3.5), 978307203.5);
    struct timespec ts {
        978307201, 500000000
    };
    EXPECT_DOUBLE_EQ(bw::referenceTimeFromTimespec(ts), 1.5);
    double now = bw::timeIntervalSinceReferenceDate();
    EXPECT_NEAR(now, static_cast<double>(time(nullptr)) - 978307200.0, 2.0);
}
