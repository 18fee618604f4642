#include "serial/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "util/util.h"

// When set to N, the Nth nothrow allocation from now fails. The port layer
// allocates its records and name copies this way, so running out of memory
// can be staged.
static int nothrowCountdown = 0;
static void *allocate(std::size_t size, bool array) noexcept {
    if (nothrowCountdown > 0 && --nothrowCountdown == 0) {
        return nullptr;
    }
    try {
        return array ? ::operator new[](size) : ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return allocate(size, false);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return allocate(size, true);
}

namespace {

using namespace zortest;

// Line numbers of reports change with the source; the texts must not.
std::string noLines(const std::string &text) {
    return std::regex_replace(text, std::regex(R"(serial\.cpp:\d+:)"), "serial.cpp:N:");
}

std::string subst(std::string text, const std::string &key, const std::string &value) {
    for (size_t at; (at = text.find(key)) != std::string::npos;) {
        text.replace(at, key.size(), value);
    }
    return text;
}

// Every test leaves the port list empty and no descriptor behind.
class PortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(ports, nullptr);
        fds_ = openDescriptorCount();
    }
    void TearDown() override {
        DEBUG_LEVEL = 0;
        EXPECT_EQ(ports, nullptr);
        for (int i = 0; i < 10 && ports != nullptr; ++i) {
            closePort(ports->fd);  // so that one failure does not spoil the next test
        }
        EXPECT_EQ(openDescriptorCount(), fds_);
    }

    // A pty whose slave the test also holds, set to a state that differs
    // from what the port layer writes, so changed and kept bits both show.
    void openLine() {
        ASSERT_EQ(ports, nullptr);
        std::string why;
        if (!pty_.open(&why)) {
            GTEST_SKIP() << why;
        }
        slave_.reset(::open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY));
        ASSERT_TRUE(slave_.valid());
        termios t;
        ASSERT_EQ(tcgetattr(slave_.get(), &t), 0);
        t.c_cflag |= PARODD | HUPCL | CSTOPB | PARENB;
        t.c_iflag |= IXON | ISTRIP | BRKINT | IGNCR | ICRNL | INLCR;
        t.c_lflag |= ISIG | IEXTEN | ECHOE | ICANON | ECHO;
        t.c_oflag |= OPOST;
        t.c_cc[VMIN] = 5;
        t.c_cc[VTIME] = 3;
        t.c_cc[VEOL] = '!';  // ends a line while NL and CR are turned about
        cfsetspeed(&t, B1200);
        ASSERT_EQ(tcsetattr(slave_.get(), TCSANOW, &t), 0);
        asRead_ = lineNow();
        fds_ = openDescriptorCount();
    }
    termios lineNow() {
        termios t{};
        EXPECT_EQ(tcgetattr(slave_.get(), &t), 0);
        return t;
    }
    static void expectSame(const termios &a, const termios &b) {
        EXPECT_EQ(a.c_iflag, b.c_iflag);
        EXPECT_EQ(a.c_oflag, b.c_oflag);
        EXPECT_EQ(a.c_cflag, b.c_cflag);
        EXPECT_EQ(a.c_lflag, b.c_lflag);
        EXPECT_EQ(0, memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
        EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
        EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
    }
    // Opens a serial port on the line, the settings the charger uses.
    int openLinePort() {
        int handle = -2;
        EXPECT_GT(openPort(pty_.slavePath.c_str(), &handle, 9600, 8, 1, "none"), 0);
        return handle;
    }
    int openNetPort(LoopbackListener &server, UniqueFd &peer) {
        EXPECT_TRUE(server.listen());
        int handle = -2;
        EXPECT_GT(openPort(server.endpoint().c_str(), &handle, 9600, 8, 1, "none"), 0);
        peer = server.accept(1000);
        EXPECT_TRUE(peer.valid());
        return handle;
    }

    int fds_ = 0;
    PtyPair pty_;
    UniqueFd slave_;
    termios asRead_{};
};

// Tests on a serial line: skipped where the machine has no pseudo-terminals.
class LineTest : public PortTest {
  protected:
    void SetUp() override {
        PortTest::SetUp();
        openLine();
    }
};

struct LineCase {
    int baud, dataBits, stopBits;
    const char *parity;
    speed_t speed;
};
class LineSettingsTest : public LineTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineSettingsTest, ChangesOnlyTheNamedAttributes) {
    const LineCase &c = GetParam();
    int handle = -2;
    int result =
        openPort(pty_.slavePath.c_str(), &handle, c.baud, c.dataBits, c.stopBits, c.parity);
    ASSERT_GT(result, 0);
    ASSERT_EQ(result, handle);
    termios want = asRead_;
    want.c_cflag = (want.c_cflag & ~(CSTOPB | PARENB)) | CLOCAL | CREAD;
    want.c_cflag |= c.stopBits == 2 ? CSTOPB : 0;
    if (strcasecmp(c.parity, "none") != 0) {
        want.c_cflag = (want.c_cflag & ~PARODD) | PARENB;
        want.c_cflag |= strcasecmp(c.parity, "odd") == 0 ? PARODD : 0;
    }
    want.c_iflag &= ~(IGNCR | ICRNL | INLCR);
    want.c_lflag &= ~(ICANON | ECHO);
    want.c_cc[VMIN] = 0;
    want.c_cc[VTIME] = 10;
    cfsetspeed(&want, c.speed);
    // A pty keeps CS8 and no parity whatever it is told; the size and the
    // parity show only in what the port layer asks beyond that.
    want.c_cflag = (want.c_cflag & ~(CSIZE | PARENB)) | (lineNow().c_cflag & (CSIZE | PARENB));
    expectSame(lineNow(), want);
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->fd, handle);
    EXPECT_EQ(ports->isSocket, 0);
    EXPECT_EQ(closePort(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(EachParityAndSize, LineSettingsTest,
                         ::testing::Values(LineCase{50, 5, 1, "none", B50},
                                           LineCase{9600, 6, 2, "EVEN", B9600},
                                           LineCase{115200, 7, 0, "odd", B115200},
                                           LineCase{4000000, 8, 3, "None", B4000000},
                                           LineCase{1200, 8, 2, "Odd", B1200}));

struct BadLineCase {
    int baud, dataBits;
    const char *parity, *err;
};
class BadLineTest : public LineTest, public ::testing::WithParamInterface<BadLineCase> {};

// Refused after the line's pending data was discarded, with the line's
// attributes untouched and the device closed again.
TEST_P(BadLineTest, IsRefusedAfterTheFlush) {
    ASSERT_TRUE(writeAll(pty_.master.get(), "pending!"));
    pollfd p{slave_.get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);  // the line holds the input now
    StdCapture cap;
    int handle = -2;
    int result = openPort(pty_.slavePath.c_str(), &handle, GetParam().baud, GetParam().dataBits, 1,
                          GetParam().parity);
    cap.stop();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(noLines(cap.err()), subst(GetParam().err, "PATH", pty_.slavePath));
    EXPECT_EQ(poll(&p, 1, 50), 0) << "pending input was not discarded";
    expectSame(lineNow(), asRead_);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, BadLineTest,
    ::testing::Values(
        BadLineCase{9600, 9, "none",
                    "serial.cpp:N:err: openPort: port \"PATH\" has bad databits=9\n"},
        BadLineCase{9600, 4, "x", "serial.cpp:N:err: openPort: port \"PATH\" has bad databits=4\n"},
        BadLineCase{9600, 8, "N", "serial.cpp:N:err: openPort: port \"PATH\" has bad parity=N\n"},
        BadLineCase{9600, 8, "", "serial.cpp:N:err: openPort: port \"PATH\" has bad parity=\n"},
        BadLineCase{12345, 8, "none",
                    "serial.cpp:N:err: openPort: port \"PATH\" has bad baud=12345\n"},
        BadLineCase{0, 8, "none", "serial.cpp:N:err: openPort: port \"PATH\" has bad baud=0\n"}));

struct FailCase {
    const char *name, *err;
    int result;
};
class OpenFailureTest : public PortTest, public ::testing::WithParamInterface<FailCase> {};

// "REFUSED" stands for a loopback port that nothing listens on.
TEST_P(OpenFailureTest, ReportsAndLeavesNoRecord) {
    std::string refused = std::to_string(unusedLoopbackPort());
    std::string name = subst(GetParam().name, "REFUSED", refused);
    StdCapture cap;
    int handle = -2;
    int result = openPort(name.c_str(), &handle, 9600, 8, 1, "none");
    cap.stop();
    EXPECT_EQ(result, GetParam().result);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(noLines(cap.err()), subst(GetParam().err, "REFUSED", refused));
}

#define NET_FAIL(proto, host, port) \
    "serial.cpp:N:open of protocol '" proto "' on server '" host "' on port '" port "' failed\n"
INSTANTIATE_TEST_SUITE_P(
    Names, OpenFailureTest,
    ::testing::Values(
        FailCase{"tcp:127.0.0.1:REFUSED", NET_FAIL("tcp", "127.0.0.1", "REFUSED"), -1},
        FailCase{"tcp:127.0.0.1:none", NET_FAIL("tcp", "127.0.0.1", "0"), -1},
        FailCase{"tcp:zor-charger-test.invalid:2001",
                 NET_FAIL("tcp", "zor-charger-test.invalid", "2001"), -1},
        FailCase{"tcp", NET_FAIL("tcp", "", "0"), -1},
        FailCase{"tcp:127.0.0.1", NET_FAIL("tcp", "127.0.0.1", "0"), -1},
        FailCase{"tcp::", NET_FAIL("tcp", "", "0"), -1},
        FailCase{"TCP:127.0.0.1:2001",
                 "serial.cpp:N:err: openPort: could not open \"TCP:127.0.0.1:2001\": No such file "
                 "or directory\n",
                 -1},
        FailCase{"/dev/null",
                 "serial.cpp:N:err: openPort: could not tcgetattr on \"/dev/null\": Inappropriate "
                 "ioctl for device\n",
                 -1}));

struct EndpointCase {
    const char *name;
    int offset;  // added to the listener's port in the name
};
class EndpointTest : public PortTest, public ::testing::WithParamInterface<EndpointCase> {};

TEST_P(EndpointTest, ConnectsToTheNamedPort) {
    LoopbackListener server;
    ASSERT_TRUE(server.listen());
    std::string name =
        subst(GetParam().name, "PORT", std::to_string(server.port + GetParam().offset));
    int handle = -2;
    ASSERT_GT(openPort(name.c_str(), &handle, 0, 0, 0, "bad"), 0) << name;
    EXPECT_TRUE(server.accept(1000).valid());
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->isSocket, 1);
    EXPECT_EQ(ports->fd, handle);
    EXPECT_EQ(closePort(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(Names, EndpointTest,
                         ::testing::Values(EndpointCase{"tcp:127.0.0.1:PORT", 0},
                                           EndpointCase{"tcpx:127.0.0.1:PORT", 0},
                                           EndpointCase{"tcp:127.0.0.1::PORT", 0},
                                           EndpointCase{"tcp:::127.0.0.1:PORT:x:y", 0},
                                           EndpointCase{"tcp:localhost:PORT", 0},
                                           EndpointCase{"tcp:127.0.0.1: PORT", 0},
                                           EndpointCase{"tcp:127.0.0.1:PORTx", 0},
                                           EndpointCase{"tcp:127.0.0.1:PORT", 65536},
                                           EndpointCase{"tcp:127.0.0.1:PORT", 3 * 65536}));

TEST_F(LineTest, ListFollowsEveryOpenAndClose) {
    LoopbackListener server;
    UniqueFd peer;
    int first = openLinePort();
    int handle = -2;
    StdCapture quiet;
    EXPECT_EQ(openPort("tcp:127.0.0.1", &handle, 0, 0, 0, ""), -1);
    EXPECT_LT(openPort("/nonexistent/tty", &handle, 9600, 8, 1, "none"), 0);
    quiet.stop();
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->fd, first);
    EXPECT_EQ(ports->next, nullptr);
    int second = openNetPort(server, peer);
    ASSERT_NE(ports->next, nullptr);
    EXPECT_EQ(ports->next->fd, second);
    EXPECT_EQ(ports->next->prev, ports);
    // The network port's number goes to a serial port now: no stale record
    // may stand in front of it.
    EXPECT_EQ(closePort(second), 0);
    EXPECT_EQ(openLinePort(), second);
    ASSERT_NE(ports->next, nullptr);
    EXPECT_EQ(ports->next->isSocket, 0);
    EXPECT_EQ(closePort(first), 0);
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->fd, second);
    EXPECT_EQ(ports->prev, nullptr);
    EXPECT_EQ(ports->next, nullptr);
    EXPECT_EQ(closePort(second), 0);
}

TEST_F(LineTest, SerialLineCarriesBothWaysAndFlushesInput) {
    int handle = openLinePort();
    EXPECT_EQ(sendStr(handle, "VSET 35.9000V\r"), 0);
    EXPECT_EQ(readFor(pty_.master.get(), 14, 1000), "VSET 35.9000V\r");
    ASSERT_TRUE(writeAll(pty_.master.get(), "stale"));
    pollfd p{handle, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_EQ(flushRecv(handle), 0);
    ASSERT_TRUE(writeAll(pty_.master.get(), "VOUT 35.9\r"));
    char buf[20];
    StdCapture cap;
    EXPECT_EQ(recvStr(handle, buf, sizeof buf), 10);
    cap.stop();
    EXPECT_STREQ(buf, "VOUT 35.9\r");
    EXPECT_EQ(cap.out(), "calling select\nselect returned 1\n");
    EXPECT_EQ(closePort(handle), 0);
}

struct RecvCase {
    int sent, len, first, second;
};
class ReceiveSizeTest : public PortTest, public ::testing::WithParamInterface<RecvCase> {};

TEST_P(ReceiveSizeTest, TakesOneReadOfAtMostLenLessOne) {
    LoopbackListener server;
    UniqueFd peer;
    int handle = openNetPort(server, peer);
    std::string reply(static_cast<size_t>(GetParam().sent), 'A');
    ASSERT_TRUE(writeAll(peer.get(), reply));
    usleep(20000);
    std::vector<char> buf(static_cast<size_t>(GetParam().len) + 1, 'x');  // one byte of guard
    StdCapture quiet;
    EXPECT_EQ(recvStr(handle, buf.data(), GetParam().len), GetParam().first);
    EXPECT_EQ(std::string(buf.data()), reply.substr(0, static_cast<size_t>(GetParam().first)));
    EXPECT_EQ(buf.back(), 'x');
    EXPECT_EQ(std::count(buf.begin(), buf.end() - 1, '\0'), GetParam().len - GetParam().first);
    if (GetParam().second > 0) {  // an empty second call would wait out the time-out
        EXPECT_EQ(recvStr(handle, buf.data(), GetParam().len), GetParam().second);
    }
    EXPECT_EQ(closePort(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReceiveSizeTest,
                         ::testing::Values(RecvCase{77, 80, 77, 0}, RecvCase{25, 20, 19, 6},
                                           RecvCase{1, 2, 1, 0}));

TEST_F(PortTest, ReplyInTwoPiecesTakesTwoCalls) {
    LoopbackListener server;
    UniqueFd peer;
    int handle = openNetPort(server, peer);
    char buf[80];
    StdCapture quiet;
    for (const char *piece : {"STAT 0x01", "\r"}) {
        ASSERT_TRUE(writeAll(peer.get(), piece));
        EXPECT_EQ(recvStr(handle, buf, sizeof buf), static_cast<int>(strlen(piece)));
        EXPECT_STREQ(buf, piece);
    }
    EXPECT_EQ(flushRecv(handle), 0);  // a connection keeps its bytes
    ASSERT_TRUE(writeAll(peer.get(), "kept"));
    usleep(20000);
    EXPECT_EQ(flushRecv(handle), 0);
    EXPECT_EQ(recvStr(handle, buf, sizeof buf), 4);
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(PortTest, ReceiveTimesOutAfterTwoSeconds) {
    LoopbackListener server;
    UniqueFd peer;
    int handle = openNetPort(server, peer);
    char buf[8];
    memset(buf, 'x', sizeof buf);
    StdCapture cap;
    time_t start = time(nullptr);
    EXPECT_EQ(recvStr(handle, buf, sizeof buf), 0);
    time_t waited = time(nullptr) - start;
    cap.stop();
    EXPECT_GE(waited, 1);
    EXPECT_LE(waited, 3);
    EXPECT_EQ(cap.out(), "calling select\nno bytes ready\n");
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'x');
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(PortTest, ClosedPeerEndsReceiveAndFailsSendWithoutSigpipe) {
    LoopbackListener server;
    UniqueFd peer;
    int handle = openNetPort(server, peer);
    peer.reset();
    char buf[8];
    memset(buf, 'x', sizeof buf);
    StdCapture cap;
    EXPECT_EQ(recvStr(handle, buf, sizeof buf), 0);
    int sent = 0;
    for (int i = 0; i < 10 && sent == 0; ++i) {
        sent = sendStr(handle, "OUT 1\r");  // the first may still go out before the reset
    }
    cap.stop();
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));
    EXPECT_EQ(sent, -1);
    EXPECT_TRUE(std::regex_match(
        noLines(cap.err()),
        std::regex("serial.cpp:N:err: recvStr failed with no bytes\n"
                   "serial.cpp:N:err: sendStr wrote -1 of 6 bytes: (Broken pipe|Connection reset "
                   "by peer)\n")))
        << cap.err();
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(PortTest, UnknownHandleIsRefusedByEveryOperation) {
    char buf[4] = "abc";
    StdCapture cap;
    EXPECT_EQ(closePort(999), -1);
    EXPECT_EQ(sendStr(999, "x"), -1);
    EXPECT_EQ(recvStr(999, buf, sizeof buf), -1);
    EXPECT_EQ(flushRecv(999), -1);
    EXPECT_EQ(openLogFile(999, "/tmp/x"), -1);
    EXPECT_EQ(closeLogFile(999), -1);
    cap.stop();
    EXPECT_EQ(buf[0], '\0');
    std::string line = "serial.cpp:N:err: port 999 is not open\n";
    EXPECT_EQ(noLines(cap.err()), line + line + line + line + line + line);
    EXPECT_EQ(cap.out(), "");
}

TEST_F(LineTest, ReceiveRefusesBuffersWithoutRoom) {
    int handle = openLinePort();
    char buf[2] = {'x', 'x'};
    StdCapture cap;
    EXPECT_EQ(recvStr(handle, buf, 1), -1);
    EXPECT_EQ(recvStr(handle, buf + 1, 0), -1);
    cap.stop();
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'x');
    EXPECT_EQ(noLines(cap.err()),
              "serial.cpp:N:err: recvStr buffer of 1 bytes has no room for data\n"
              "serial.cpp:N:err: recvStr buffer of 0 bytes has no room for data\n");
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(PortTest, ReceivesOnADescriptorAboveTheSelectLimit) {
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < FD_SETSIZE + 64) {
        GTEST_SKIP() << "descriptor limit " << limit.rlim_cur << " is below FD_SETSIZE";
    }
    openLine();
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    std::vector<UniqueFd> filler;
    while (filler.empty() || filler.back().get() < FD_SETSIZE + 8) {
        filler.emplace_back(dup(STDIN_FILENO));
        ASSERT_TRUE(filler.back().valid());
    }
    int handle = openLinePort();
    filler.clear();
    ASSERT_GE(handle, FD_SETSIZE);
    ASSERT_TRUE(writeAll(pty_.master.get(), "high"));
    char buf[8];
    StdCapture quiet;
    EXPECT_EQ(recvStr(handle, buf, sizeof buf), 4);
    quiet.stop();
    EXPECT_STREQ(buf, "high");
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(LineTest, TranscriptRecordsEverySendAndAppends) {
    TempDir dir;
    int handle = openLinePort();
    // The name carries the second of opening: have every likely one exist.
    time_t start = time(nullptr);
    for (time_t t = start; t < start + 5; ++t) {
        UniqueFd f(::open((dir.path() + "/supply_" + std::to_string(t) + ".log").c_str(),
                          O_WRONLY | O_CREAT, 0644));
        ASSERT_TRUE(writeAll(f.get(), "kept|"));
    }
    StdCapture cap;
    int log = openLogFile(handle, (dir.path() + "/supply").c_str());
    cap.stop();
    ASSERT_GT(log, 0);
    std::smatch m;
    std::string out = cap.out();
    ASSERT_TRUE(std::regex_match(out, m,
                                 std::regex("Opened log file '(.*/supply_(\\d+)\\.log)' "
                                            "for port fd=" +
                                            std::to_string(handle) + "\n")))
        << out;
    std::string path = m[1], opened = m[2];
    EXPECT_EQ(sendStr(handle, "OUT 1\r"), 0);
    EXPECT_EQ(sendStr(handle, ""), 0);
    std::string text = readFile(path);
    ASSERT_TRUE(std::regex_match(text, m, std::regex("kept\\|S(\\d+): OUT 1\rS(\\d+): "))) << text;
    EXPECT_GE(std::stol(m[1]), std::stol(opened));
    EXPECT_LE(std::stol(m[2]), static_cast<long>(time(nullptr)));
    EXPECT_EQ(closeLogFile(handle), 0);
    EXPECT_EQ(sendStr(handle, "OUT 0\r"), 0);
    EXPECT_EQ(readFile(path), text);
    StdCapture cap2;
    EXPECT_EQ(closeLogFile(handle), -1);
    cap2.stop();
    EXPECT_EQ(noLines(cap2.err()), "serial.cpp:N:err: closeLogFile: port " +
                                       std::to_string(handle) + " has no log file\n");
    EXPECT_GT(openLogFile(handle, (dir.path() + "/again").c_str()), 0);  // closePort closes it
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(LineTest, TranscriptThatCannotBeCreatedLeavesThePortUsable) {
    int handle = openLinePort();
    for (const std::string &prefix : {std::string("/nonexistent/supply"), std::string(300, 'p')}) {
        StdCapture cap;
        EXPECT_EQ(openLogFile(handle, prefix.c_str()), -1);
        cap.stop();
        std::string why = prefix[0] == '/' ? "No such file or directory" : "File name too long";
        EXPECT_TRUE(std::regex_match(
            noLines(cap.err()), std::regex("serial.cpp:N:openLogFile: cannot create '" + prefix +
                                           "_\\d+\\.log' for writing:" + why + "\n")))
            << cap.err();
        EXPECT_EQ(sendStr(handle, "CLR\r"), 0);
    }
    EXPECT_EQ(access(std::string(255, 'p').c_str(), F_OK), -1);  // no cut-off name created
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(PortTest, DebugLevelAddsItsLines) {
    LoopbackListener server;
    ASSERT_TRUE(server.listen());
    DEBUG_LEVEL = 5;
    int handle = -2;
    StdCapture cap;
    ASSERT_GT(openPort(server.endpoint().c_str(), &handle, 0, 0, 0, ""), 0);
    UniqueFd peer = server.accept(1000);
    EXPECT_EQ(sendStr(handle, "@RQ\n"), 0);
    ASSERT_TRUE(writeAll(peer.get(), "r"));
    char buf[4];
    EXPECT_EQ(recvStr(handle, buf, sizeof buf), 1);
    cap.stop();
    std::string h = std::to_string(handle);
    EXPECT_EQ(cap.err(), "server string is " + server.endpoint() + "\nsd is " + h +
                             "\nsendStr: Sending 4 chars to serial port " + h +
                             ":@RQ\n\nrecvStr: Starting while select loop...\n");
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(LineTest, AllocationFailureLeavesTheListUnchanged) {
    int first = openLinePort();
    for (int countdown : {1, 2}) {  // the record, then the copy of the name
        int handle = -2;
        StdCapture cap;
        nothrowCountdown = countdown;
        EXPECT_EQ(openPort("tcp:127.0.0.1:1", &handle, 0, 0, 0, ""), -1);
        nothrowCountdown = 0;
        cap.stop();
        EXPECT_EQ(handle, 0);
        EXPECT_EQ(noLines(cap.err()),
                  std::string("serial.cpp:N:err: openPort: out of memory for ") +
                      (countdown == 1 ? "the record" : "a copy") + " of \"tcp:127.0.0.1:1\"\n");
        ASSERT_NE(ports, nullptr);
        EXPECT_EQ(ports->next, nullptr);
    }
    EXPECT_EQ(closePort(first), 0);
}

}  // namespace
