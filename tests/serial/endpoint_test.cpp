#include <string>

#include <gtest/gtest.h>

#include "serial/endpoint.h"

namespace {

struct SplitCase {
    const char *name;
    bool network;
    const char *protocol, *host, *portText;  // null: no such field
    int portNumber;
    uint16_t tcpPort;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, FieldsAndPort) {
    const SplitCase &c = GetParam();
    EXPECT_EQ(isNetworkEndpoint(c.name), c.network);
    std::string copy = c.name;
    EndpointFields fields;
    splitEndpointName(copy.data(), &fields);
    // EXPECT_STREQ takes two nulls as equal and a null and a text as not.
    EXPECT_STREQ(fields.protocol, c.protocol);
    EXPECT_STREQ(fields.host, c.host);
    EXPECT_STREQ(fields.portText, c.portText);
    EXPECT_EQ(fields.portNumber, c.portNumber);
    EXPECT_EQ(fields.tcpPort, c.tcpPort);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SplitTest,
    ::testing::Values(SplitCase{"tcp:127.0.0.1:2001", true, "tcp", "127.0.0.1", "2001", 2001, 2001},
                      SplitCase{"tcpx:h::10001:extra", true, "tcpx", "h", "10001", 10001, 10001},
                      SplitCase{"tcp:::host:  -7x", true, "tcp", "host", "  -7x", -7, 0xFFF9},
                      SplitCase{"tcp:h:70001", true, "tcp", "h", "70001", 70001, 4465},
                      SplitCase{"tcp:h:99999999999999999999", true, "tcp", "h",
                                "99999999999999999999", -1, 0xFFFF},
                      SplitCase{"tcp:h:none", true, "tcp", "h", "none", 0, 0},
                      SplitCase{"tcp:h", true, "tcp", "h", nullptr, 0, 0},
                      SplitCase{"tcp::", true, "tcp", nullptr, nullptr, 0, 0},
                      SplitCase{":::", false, nullptr, nullptr, nullptr, 0, 0},
                      SplitCase{"TCP:h:1", false, "TCP", "h", "1", 1, 1},
                      SplitCase{"tc", false, "tc", nullptr, nullptr, 0, 0}));

}  // namespace
