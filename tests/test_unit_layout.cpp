#include <gtest/gtest.h>

#include "orb_sdk.h"

// The records cross the C interface; their sizes are also asserted in the
// header, this keeps a failing layout visible in the test report.
TEST(Layout, RecordSizes) {
    EXPECT_EQ(sizeof(ZelOrbPointData), 40u);
    EXPECT_EQ(sizeof(ZelOrbNetInfo), 84u);
    EXPECT_EQ(sizeof(ZelOrbFoundDevice), 44u);
    EXPECT_EQ(sizeof(ZelOrb9AxisImuData), 48u);
    EXPECT_EQ(sizeof(ZelOrb6AxisImuData), 40u);
    EXPECT_EQ(sizeof(ZelOrbRgbData), 52u);
}
