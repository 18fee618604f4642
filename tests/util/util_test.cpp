#include "util/util.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

struct HexCase {
    const char *text;
    int value;
};

class AhextoiTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(AhextoiTest, ReadsLeadingHexDigits) {
    EXPECT_EQ(ahextoi(GetParam().text), GetParam().value) << "text \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(EdgeValues, AhextoiTest,
                         ::testing::Values(HexCase{"", 0}, HexCase{"1f", 31}, HexCase{"1F", 31},
                                           HexCase{"FF,", 255}, HexCase{"0x1F", 0},
                                           HexCase{" 1F", 0}, HexCase{"-1", 0}, HexCase{"g", 0},
                                           HexCase{"7FFFFFFF", 2147483647},
                                           HexCase{"80000000", INT32_MIN}, HexCase{"FFFFFFFF", -1},
                                           HexCase{"123456789", 591751049},
                                           HexCase{"aBcD\r\n", 0xabcd},
                                           HexCase{"12\x80"
                                                   "34",
                                                   0x12}));

TEST(MsleepTest, SleepsAboutTheGivenTime) {
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    msleep(0);
    auto zero = Clock::now() - start;
    start = Clock::now();
    msleep(10);
    auto ten = Clock::now() - start;
    // Generous bounds: the machine is shared and busy while the suite runs.
    EXPECT_LT(zero, std::chrono::milliseconds(200));
    EXPECT_GE(ten, std::chrono::milliseconds(10));
    EXPECT_LT(ten, std::chrono::milliseconds(500));
}

}  // namespace
