#include <gtest/gtest.h>

#include "xfr/xfr_reply.h"

namespace {

struct ReplyCase {
    const char *keyword, *reply;
    bool real;  // parsed as a double, else as an int
    int result;
    double value;  // the value after the parse; it starts at -1
};

class ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, ParsesKeywordAndNumber) {
    const ReplyCase &c = GetParam();
    if (c.real) {
        double value = -1;
        EXPECT_EQ(parseXfrReply(c.keyword, c.reply, &value), c.result);
        EXPECT_EQ(value, c.value);
    } else {
        int value = -1;
        EXPECT_EQ(parseXfrReply(c.keyword, c.reply, &value), c.result);
        EXPECT_EQ(value, static_cast<int>(c.value));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTest,
    ::testing::Values(
        ReplyCase{"IOUT", "IOUT 12.5\r", true, 1, 12.5},
        ReplyCase{"VSET", "VSET\t\r\n3.59e1", true, 1, 35.9},
        ReplyCase{"ISET", "ISET7.5A", true, 1, 7.5}, ReplyCase{"IOUT", " IOUT 1", true, 0, -1},
        ReplyCase{"IOUT", "ERR 0\r", true, 0, -1}, ReplyCase{"VOUT", "VOUT x", true, 0, -1},
        ReplyCase{"ISET", "ISET0X", true, 0, -1}, ReplyCase{"IOUT", "IOUT \r\n", true, -1, -1},
        ReplyCase{"VOUT", "VO", true, -1, -1}, ReplyCase{"OUT", "", false, -1, -1},
        ReplyCase{"FAULT", "FAULT -42\r", false, 1, -42}, ReplyCase{"ERR", "ERR 3.5", false, 1, 3},
        ReplyCase{"STS", "ASTS 1\r", false, 0, -1}, ReplyCase{"OUT", "OUTPUT 1\r", false, 0, -1}));

}  // namespace
