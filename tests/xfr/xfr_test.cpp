#include "xfr/xfr.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <memory>

#include "serial/serial.h"
#include "tests/support/stand_in.h"
#include "tests/support/test_support.h"
#include "util/util.h"

namespace {

using zortest::StdCapture;
using zortest::UniqueFd;

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();
constexpr double INFINITE = std::numeric_limits<double>::infinity();

struct DebugLevel {
    explicit DebugLevel(int level) { DEBUG_LEVEL = level; }
    ~DebugLevel() { DEBUG_LEVEL = 0; }
};

std::string withLineL(const std::string &text) {
    return zortest::withoutLineNumbers(text, "xfr.cpp", "L");
}

using namespace std::chrono_literals;
using zortest::Link;
using zortest::occurrences;
using zortest::StandIn;

// The supply's port, opened by the port layer, with a stand-in at the other end.
class XfrTest : public ::testing::TestWithParam<Link> {
  protected:
    void SetUp() override {
        supply = std::make_unique<StandIn>(GetParam(), '\r');
        if (!supply->ready()) {
            GTEST_SKIP() << "no stand-in endpoint on this machine";
        }
        const bool tcp = GetParam() == Link::Tcp;
        ASSERT_GT(openPort(supply->endpoint().c_str(), &port, tcp ? 0 : 9600, 8, 1, "none"), 0);
        ASSERT_TRUE(!tcp || zortest::waitFor(2s, [&] { return supply->connections() > 0; }));
    }
    void TearDown() override {
        if (port > 0) {
            closePort(port);
        }
    }
    // Waits until the port has input to read.
    bool readable() {
        pollfd p{port, POLLIN, 0};
        return poll(&p, 1, 2000) == 1;
    }

    // Asks for the output current, which must fail and leave `amps` alone;
    // the standard streams land in capture.
    void expectCurrentQueryFails(StdCapture &capture) {
        double amps = -7;
        const int result = xfrGetIOut(port, &amps);
        capture.stop();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(amps, -7);
    }

    int port = 0;
    std::unique_ptr<StandIn> supply;
};

INSTANTIATE_TEST_SUITE_P(Links, XfrTest, ::testing::Values(Link::Tcp, Link::Pty),
                         [](const auto &info) { return info.param == Link::Tcp ? "Tcp" : "Pty"; });

TEST_P(XfrTest, FixedCommandsGoOutWhole) {
    const std::pair<int (*)(int), const char *> cases[] = {{xfrInit, "CLR\r"},
                                                           {xfrEnableOutput, "OUT 1\r"},
                                                           {xfrDisableOutput, "OUT 0\r"},
                                                           {xfrReset, "RST\r"},
                                                           {xfrTrigger, "TRG\r"}};
    for (const auto &[op, text] : cases) {
        EXPECT_EQ(op(port), 0) << text;
        EXPECT_EQ(supply->take(text), text);
    }
}

struct SettingCase {
    int (*op)(int, double);
    double value;
    int result;
    const char *sent;    // text on the wire, empty when refused
    const char *report;  // standard error text, line numbers as L
};

constexpr char ASSERTION_REPORT[] = "xfr.cpp:L:Assertion failed on line L in file xfr.cpp\n";

const SettingCase SETTINGS[] = {
    {xfrOverVoltSet, 0.0, 0, "OVSET 0.0000V\r", ""},
    {xfrOverVoltSet, 45.0, 0, "OVSET 45.0000V\r", ""},
    {xfrOverVoltSet, std::nextafter(45.0, 99.0), -1, "",
     "xfr.cpp:L:err: xfrOverVoltSet(45.000000) > 45.000000\n"},
    {xfrOverVoltSet, -1e-9, -1, "", "xfr.cpp:L:err: xfrOverVoltSet(-0.000000) > 45.000000\n"},
    {xfrOverVoltSet, NOT_A_NUMBER, -1, "", "xfr.cpp:L:err: xfrOverVoltSet(nan) > 45.000000\n"},
    {xfrOverVoltSet, INFINITE, -1, "", "xfr.cpp:L:err: xfrOverVoltSet(inf) > 45.000000\n"},
    {xfrVMax, 0.0, 0, "VMAX 0.0000V\r", ""},
    {xfrVMax, 45.0, 0, "VMAX 45.0000V\r", ""},
    {xfrVMax, 45.00001, -1, "", "xfr.cpp:L:err: xfrVMax(45.000010) > 45.000000\n"},
    {xfrVMax, -1.0, -1, "", "xfr.cpp:L:err: xfrVMax(-1.000000) > 45.000000\n"},
    {xfrVMax, NOT_A_NUMBER, -1, "", "xfr.cpp:L:err: xfrVMax(nan) > 45.000000\n"},
    {xfrVMax, -INFINITE, -1, "", "xfr.cpp:L:err: xfrVMax(-inf) > 45.000000\n"},
    {xfrSetVolts, 0.0, 0, "VSET 0.0000V\r", ""},
    {xfrSetVolts, 35.9, 0, "VSET 35.9000V\r", ""},
    {xfrSetVolts, 44.99996, 0, "VSET 45.0000V\r", ""},
    {xfrSetVolts, 45.0, -1, "", "xfr.cpp:L:err: xfrSetVolts(45.000000) >= 45.000000\n"},
    {xfrSetVolts, -1.0, -1, "", "xfr.cpp:L:err: xfrSetVolts(-1.000000) >= 45.000000\n"},
    {xfrSetVolts, NOT_A_NUMBER, -1, "", "xfr.cpp:L:err: xfrSetVolts(nan) >= 45.000000\n"},
    {xfrSetVolts, INFINITE, -1, "", "xfr.cpp:L:err: xfrSetVolts(inf) >= 45.000000\n"},
    {xfrIMax, 0.0, 0, "IMAX 0.0000A\r", ""},
    {xfrIMax, 60.0, 0, "IMAX 60.0000A\r", ""},
    {xfrIMax, std::nextafter(60.0, 99.0), -2, "", ASSERTION_REPORT},
    {xfrIMax, -1e-9, -2, "", ASSERTION_REPORT},
    {xfrIMax, NOT_A_NUMBER, -2, "", ASSERTION_REPORT},
    {xfrSetCurrent, 0.0, 0, "ISET 0.0000A\r", ""},
    {xfrSetCurrent, 60.0, 0, "ISET 60.0000A\r", ""},
    {xfrSetCurrent, 45.0, 0, "ISET 45.0000A\r", ""},
    {xfrSetCurrent, 22.5, 0, "ISET 22.5000A\r", ""},
    {xfrSetCurrent, 12.5, 0, "ISET 12.5000A\r", ""},
    {xfrSetCurrent, 7.5, 0, "ISET 7.5000A\r", ""},
    {xfrSetCurrent, 60.00001, -2, "", ASSERTION_REPORT},
    {xfrSetCurrent, -0.5, -2, "", ASSERTION_REPORT},
    {xfrSetCurrent, NOT_A_NUMBER, -2, "", ASSERTION_REPORT},
    {xfrSetCurrent, -INFINITE, -2, "", ASSERTION_REPORT},
};

TEST_P(XfrTest, SettingsAreRangeCheckedThenSentWithFourDecimals) {
    for (const SettingCase &c : SETTINGS) {
        SCOPED_TRACE(testing::Message() << "value " << c.value << ": " << c.sent << c.report);
        StdCapture capture;
        const int result = c.op(port, c.value);
        capture.stop();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(withLineL(capture.err()), c.report);
        // A marker after each case shows what, if anything, went out before it.
        ASSERT_EQ(xfrTrigger(port), 0);
        EXPECT_EQ(supply->take("TRG\r"), std::string(c.sent) + "TRG\r");
    }
}

// A query wrapped to one shape: the value is handed in and out as a double.
using QueryFn = int (*)(int, double *);
template <int (*query)(int, int *)>
int asDouble(int port, double *value) {
    int v = static_cast<int>(*value);
    const int result = query(port, &v);
    *value = v;
    return result;
}

struct QueryCase {
    QueryFn op;
    const char *keyword;
    std::vector<std::string> reply;  // pieces, written apart
    int result;
    double value;       // afterwards; it starts at -7
    const char *debug;  // the line written at DEBUG_LEVEL 1
    int pieceGapMs = StandIn::PIECE_GAP_MS;
};

const QueryCase QUERIES[] = {
    {xfrGetIOut, "IOUT", {"IOUT 12.5"}, 1, 12.5, "xfrGetIOut = 12.500000, sscanf returned 1\n"},
    {xfrGetIOut, "IOUT", {"IOUT 12.5\r"}, 1, 12.5, "xfrGetIOut = 12.500000, sscanf returned 1\n"},
    {xfrGetIOut, "IOUT", {"IOUT 12.5\n"}, 1, 12.5, "xfrGetIOut = 12.500000, sscanf returned 1\n"},
    {xfrGetISet, "ISET", {"ISET\t45.0\r\n"}, 1, 45, "xfrGetISet = 45.000000, sscanf returned 1\n"},
    {asDouble<xfrGetOut>, "OUT", {"OUT 1\r\n"}, 1, 1, "xfrGetOut = 1, sscanf returned 1\n"},
    {xfrGetVOut, "VOUT", {"VOUT 35.9\r"}, 1, 35.9, "xfrGetVout = 35.900000, sscanf returned 1\n"},
    {xfrGetVSet, "VSET", {"VSET35.9\r"}, 1, 35.9, "xfrGetVset = 35.900000, sscanf returned 1\n"},
    {asDouble<xfrGetErr>, "ERR", {"ERR -2\r"}, 1, -2, "xfrGetErr = -2, sscanf returned 1\n"},
    // The keyword must open the reply.
    {xfrGetIOut, "IOUT", {" IOUT 12.5\r"}, 0, -7, "xfrGetIOut = -7.000000, sscanf returned 0\n"},
    {xfrGetIOut, "IOUT", {"\r\nIOUT 12.5"}, 0, -7, "xfrGetIOut = -7.000000, sscanf returned 0\n"},
    {xfrGetIOut, "IOUT", {"ERR 0\r\n"}, 0, -7, "xfrGetIOut = -7.000000, sscanf returned 0\n"},
    {asDouble<xfrGetErr>, "ERR", {"ERR x\r"}, 0, -7, "xfrGetErr = -7, sscanf returned 0\n"},
    // A reply on a 9600-baud line comes a byte at a time and is read whole.
    {xfrGetIOut,
     "IOUT",
     {"I", "O", "U", "T", " ", "1", "2", ".", "5", "0", "0", "0", "\r"},
     1,
     12.5,
     "xfrGetIOut = 12.500000, sscanf returned 1\n",
     1},
    // Pieces further apart than the line's quiet gap: only the first is read.
    {xfrGetIOut,
     "IOUT",
     {"IO", "UT 12.5\r"},
     -1,
     -7,
     "xfrGetIOut = -7.000000, sscanf returned -1\n"},
    {xfrGetIOut, "IOUT", {"IOUT 12", ".5\r"}, 1, 12, "xfrGetIOut = 12.000000, sscanf returned 1\n"},
};

TEST_P(XfrTest, QueriesTakeTheFirstReplyText) {
    DebugLevel debug(1);
    for (const QueryCase &c : QUERIES) {
        SCOPED_TRACE(testing::Message() << "reply \"" << c.reply[0] << "\"...");
        supply->answer(std::string(c.keyword) + "?", c.reply, c.pieceGapMs);
        double value = -7;
        StdCapture capture;
        const int result = c.op(port, &value);
        capture.stop();
        EXPECT_EQ(result, c.result);
        EXPECT_DOUBLE_EQ(value, c.value);
        EXPECT_EQ(capture.err(), c.debug);
        EXPECT_EQ(supply->take(std::string(c.keyword) + "?\r"), std::string(c.keyword) + "?\r");
        if (c.reply.size() > 1 && c.pieceGapMs > RECEIVE_QUIET_GAP_MS) {  // the rest is coming
            zortest::drain(port, 2 * StandIn::PIECE_GAP_MS);
        }
    }
}

TEST_P(XfrTest, StatusAsksAllThreeAndReturnsTheFaultParse) {
    DebugLevel debug(1);
    supply->answer("ASTS?", {"STS 9\r\n"});  // another question's reply
    supply->answer("STS?", {"STS 3\r\n"});
    supply->answer("FAULT?", {"FAULT 0\r\n"});
    int asts = -7, sts = -7, fault = -7;
    StdCapture capture;
    EXPECT_EQ(xfrGetStatus(port, &asts, &sts, &fault), 1);
    capture.stop();
    EXPECT_EQ(asts, -7);
    EXPECT_EQ(sts, 3);
    EXPECT_EQ(fault, 0);
    EXPECT_EQ(capture.err(),
              "xfrGetStatus = -7, sscanf returned 0\nxfrGetStatus = 3, sscanf returned 1\n"
              "xfrGetStatus = 0, sscanf returned 1\n");
    EXPECT_EQ(supply->take("FAULT?\r"),
              "ASTS?\r"
              "STS?\r"
              "FAULT?\r");

    supply->answer("FAULT?", {"FAULTY\r"});
    EXPECT_EQ(xfrGetStatus(port, &asts, &sts, &fault), 0);
    EXPECT_EQ(fault, 0);

    supply->answer("OUT?", {"VSET 35.9\r"});  // no state is read from another question's reply
    XfrState state{};
    EXPECT_EQ(xfrReadState(port, &state), -1);
}

// Stale input is discarded before asking, on either kind of port, so it is
// never read as the start of the reply.
TEST_P(XfrTest, StaleInputIsFlushedBeforeAsking) {
    supply->answer("IOUT?", {"IOUT 12.5\r"});
    supply->inject("ERR 0\r\n");
    ASSERT_TRUE(readable());
    double amps = -7;
    EXPECT_EQ(xfrGetIOut(port, &amps), 1);
    EXPECT_EQ(amps, 12.5);
}

// A UDP socket connected to a loopback port where nothing listens: each send
// succeeds, the port-unreachable answer makes select report it readable, and
// the read fails with ECONNREFUSED.
UniqueFd unreachableUdp() {
    UniqueFd probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(probe.get(), reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        getsockname(probe.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        return UniqueFd();
    }
    probe.reset();  // the port is free again: nothing receives there
    UniqueFd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (connect(udp.get(), reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        return UniqueFd();
    }
    return udp;
}

// The port's descriptor is swapped for a failing one. A network port gets the
// unreachable UDP socket: every receive fails. A serial line gets /dev/null
// opened write-only: the write succeeds but the drain fails, as for a
// descriptor that is no terminal.
TEST_P(XfrTest, FailingPortIsReportedPerTry) {
    UniqueFd failing = GetParam() == Link::Tcp ? unreachableUdp()
                                               : UniqueFd(open("/dev/null", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(failing.valid());
    ASSERT_EQ(dup2(failing.get(), port), port);
    StdCapture capture;
    expectCurrentQueryFails(capture);
    const std::string err = withLineL(capture.err());
    if (GetParam() == Link::Tcp) {
        EXPECT_EQ(occurrences(err, "xfr.cpp:L:err: xfrGetIOut: recvStr returned -1\n"), 10u) << err;
        EXPECT_EQ(occurrences(capture.out(), "calling select"), 10u);
    } else {
        EXPECT_EQ(occurrences(err, "xfr.cpp:L:err: xfrGetIOut: sendStr returned -1\n"), 1u) << err;
        EXPECT_EQ(occurrences(err, "recvStr"), 0u) << err;
        EXPECT_EQ(occurrences(capture.out(), "calling select"), 0u);
    }
}

TEST_P(XfrTest, SendFailureEndsAQueryAtOnce) {
    int asts = -7, sts = -7, fault = -7;
    StdCapture capture;
    const int result = xfrGetStatus(port + 100, &asts, &sts, &fault);  // not an open port
    capture.stop();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(asts + sts + fault, -21);
    EXPECT_EQ(
        occurrences(withLineL(capture.err()), "xfr.cpp:L:err: xfrGetStatus: sendStr returned -1\n"),
        1u);
    EXPECT_EQ(occurrences(capture.out(), "calling select"), 0u);
}

TEST(XfrTcpTest, SendFailsAfterThePeerResetTheConnection) {
    zortest::LoopbackListener listener;
    ASSERT_TRUE(listener.listen());
    int port = 0;
    ASSERT_GT(openPort(listener.endpoint().c_str(), &port, 0, 8, 1, "none"), 0);
    {
        UniqueFd peer = listener.accept(2000);
        ASSERT_TRUE(peer.valid());
        const linger reset{1, 0};  // close with a reset rather than an orderly end
        ASSERT_EQ(setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    }
    pollfd p{port, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    double volts = -7;
    StdCapture capture;
    EXPECT_EQ(xfrGetVOut(port, &volts), -1);
    capture.stop();
    EXPECT_EQ(volts, -7);
    EXPECT_EQ(
        occurrences(withLineL(capture.err()), "xfr.cpp:L:err: xfrGetVout: sendStr returned -1\n"),
        1u);
    closePort(port);
}

// A silent supply: ten questions, each followed by a full receive wait
// (about 20 seconds), nothing reported, and the parse of nothing gives -1.
TEST_P(XfrTest, SlowSilentSupplyIsAskedTenTimes) {
    StdCapture capture;
    expectCurrentQueryFails(capture);
    EXPECT_EQ(capture.err(), "");
    std::string questions;
    for (int i = 0; i < XFR_QUERY_TRIES; ++i) {
        questions += "IOUT?\r";
    }
    EXPECT_EQ(supply->take(questions), questions);
}

}  // namespace
