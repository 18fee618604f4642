#include "serial/serial.h"
#include "serial/line_settings.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"
#include "util/util.h"

// When set to N, the Nth nothrow allocation from now fails: the port layer
// allocates records and name copies that way, so running out can be staged.
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
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
    return allocate(n, false);
}
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept {
    return allocate(n, true);
}

// When set to N, the next N drains fail as a signal would cut them short: a
// pty drains at once, so no real signal can catch it waiting.
static int drainInterruptions = 0;
extern "C" int tcdrain(int fd) {
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "tcdrain"));
    if (drainInterruptions > 0) {
        --drainInterruptions;
        errno = EINTR;
        return -1;
    }
    return real(fd);
}

namespace {

using namespace zortest;

std::string subst(std::string text, const std::string &key, const std::string &value) {
    for (size_t at; (at = text.find(key)) != std::string::npos;) {
        text.replace(at, key.size(), value);
    }
    return text;
}

// Each file of the port layer reports under its own name.
std::string noLines(std::string text) {
    for (const char *file : {"port_table.cpp", "line_transfer.cpp", "transcript.cpp",
                             "network_connect.cpp", "serial_device.cpp", "port_open.cpp"}) {
        text = zortest::withoutLineNumbers(text, file, "N");
    }
    return text;
}

// Turns the listener into a host that never answers a connect, as one that is
// switched off: its backlog is cut to one connection and filled by a probe
// that it never accepts, and the system drops the connects that come after.
bool silence(const LoopbackListener &server) {
    return ::listen(server.fd.get(), 0) == 0 && loopbackAccepts(server.port);
}

long msSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// True when `text` is `pattern` with each "<T>" a second from `from` to
// `to`, none earlier than the one before it.
bool matchesTimes(const std::string &text, const std::string &pattern, time_t from, time_t to) {
    size_t at = pattern.find("<T>");
    for (time_t t = from; at != std::string::npos && t <= to; ++t) {
        if (matchesTimes(text, std::string(pattern).replace(at, 3, std::to_string(t)), t, to)) {
            return true;
        }
    }
    return at == std::string::npos && text == pattern;
}

// `t` unlike what the port layer writes, so that changed and kept bits both show.
termios unlikeRaw(termios t) {
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | HUPCL | CSTOPB;
    t.c_iflag |= IXON | ISTRIP | BRKINT | IGNCR | ICRNL | INLCR;
    t.c_lflag |= ISIG | IEXTEN | ECHOE | ICANON | ECHO;
    t.c_oflag |= OPOST;
    t.c_cc[VMIN] = 5;
    t.c_cc[VTIME] = 3;
    t.c_cc[VEOL] = '!';  // ends a line while CR and NL are turned about
    cfsetspeed(&t, B1200);
    return t;
}

// Every test has a pty line whose slave it also holds, set unlike raw; and
// every test must leave the port list empty and no descriptor behind.
class PortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(ports, nullptr);
        std::string why;
        if (!pty_.open(&why)) {
            GTEST_SKIP() << why;
        }
        slave_.reset(::open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY));
        termios t;
        ASSERT_EQ(tcgetattr(slave_.get(), &t), 0);
        t = unlikeRaw(t);
        ASSERT_EQ(tcsetattr(slave_.get(), TCSANOW, &t), 0);
        asRead_ = lineNow();
        fds_ = openDescriptorCount();
    }
    void TearDown() override {
        DEBUG_LEVEL = 0;
        drainInterruptions = 0;
        EXPECT_EQ(ports, nullptr);
        for (int i = 0; i < 10 && ports != nullptr; ++i) {
            closePort(ports->fd);  // so that one failure does not spoil the next test
        }
        EXPECT_EQ(openDescriptorCount(), fds_);
    }
    termios lineNow() {
        termios t{};
        EXPECT_EQ(tcgetattr(slave_.get(), &t), 0);
        return t;
    }
    int openLinePort() {
        int handle = -2;
        EXPECT_GT(openPort(pty_.slavePath.c_str(), &handle, 9600, 8, 1, "none"), 0);
        return handle;
    }
    int openNetPort(LoopbackListener &server, UniqueFd &peer) {
        EXPECT_TRUE(server.listen());
        int handle = -2;
        EXPECT_GT(openPort(server.endpoint().c_str(), &handle, 0, 0, 0, ""), 0);
        peer = server.accept(1000);
        return handle;
    }

    PtyPair pty_;
    UniqueFd slave_;
    termios asRead_{};
    int fds_ = 0;
};

void expectSame(const termios &a, const termios &b) {
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
    EXPECT_EQ(0, memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
    EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
}

// Line settings on a line read unlike raw: the first refused (baud, data bits,
// parity), or raw attributes with the row's bits and the rest as read.
struct LineCase {
    int baud, dataBits, stopBits;
    const char *parity;
    LineRefusal refusal;
    tcflag_t bits;  // of CSIZE | CSTOPB | PARENB | PARODD
    speed_t speed;
};
class LineSettingsTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineSettingsTest, GiveRawAttributesOrTheFirstRefusal) {
    const LineCase &c = GetParam();
    termios got = unlikeRaw(termios{}), want = got;
    ASSERT_EQ(rawLineAttributes(&got, c.baud, c.dataBits, c.stopBits, c.parity), c.refusal);
    if (c.refusal == LineRefusal::NONE) {
        want.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD);
        want.c_cflag |= c.bits | CLOCAL | CREAD;
        want.c_iflag &= ~(IGNCR | ICRNL | INLCR);
        want.c_lflag &= ~(ICANON | ECHO);
        want.c_cc[VMIN] = 0;
        want.c_cc[VTIME] = 10;
        cfsetspeed(&want, c.speed);
        expectSame(got, want);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, LineSettingsTest,
    ::testing::Values(LineCase{50, 5, 1, "none", LineRefusal::NONE, CS5 | PARODD, B50},
                      LineCase{9600, 6, 2, "EVEN", LineRefusal::NONE, CS6 | CSTOPB | PARENB, B9600},
                      LineCase{115200, 7, 0, "odd", LineRefusal::NONE, CS7 | PARENB | PARODD,
                               B115200},
                      LineCase{4000000, 8, 3, "None", LineRefusal::NONE, CS8 | PARODD, B4000000},
                      LineCase{12345, 4, 1, "x", LineRefusal::BAUD, 0, 0},
                      LineCase{9600, 4, 1, "x", LineRefusal::DATA_BITS, 0, 0},
                      LineCase{9600, 8, 1, nullptr, LineRefusal::PARITY, 0, 0}));

// PTY is the pty's slave path, PORT the port of a listener that the test
// starts, REFUSED a loopback port that nothing listens on, SILENT one whose
// listener never answers. An empty `err` marks a successful open.
struct OpenCase {
    const char *name;
    int baud, dataBits, stopBits;
    const char *parity, *err;
};
class OpenTest : public PortTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenTest, OpensOrReportsAndLeavesNothingBehind) {
    const OpenCase &c = GetParam();
    LoopbackListener server, silent;
    ASSERT_TRUE(server.listen() && silent.listen() && silence(silent));
    std::string refused = std::to_string(unusedLoopbackPort());
    auto fill = [&](std::string text) {
        text = subst(subst(text, "PTY", pty_.slavePath), "REFUSED", refused);
        text = subst(text, "SILENT", std::to_string(silent.port));
        text = subst(text, "PORT+65536", std::to_string(server.port + 65536));
        return subst(text, "PORT", std::to_string(server.port));
    };
    std::string name = fill(c.name);
    ASSERT_TRUE(writeAll(pty_.master.get(), "pending!"));
    pollfd pending{slave_.get(), POLLIN, 0};
    ASSERT_EQ(poll(&pending, 1, 1000), 1);
    StdCapture cap;
    int handle = -2;
    auto start = std::chrono::steady_clock::now();
    int result = openPort(name.c_str(), &handle, c.baud, c.dataBits, c.stopBits, c.parity);
    int error = errno;
    long took = msSince(start);
    cap.stop();
    EXPECT_EQ(noLines(cap.err()), fill(c.err)) << name;
    if (*c.err != '\0') {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(handle, 0);
        if (name.ends_with(":" + std::to_string(silent.port))) {  // given up on after 2 s
            EXPECT_EQ(error, ETIMEDOUT);
            EXPECT_TRUE(took > 1500 && took < 3500) << took << " ms";
        }
        if (name == pty_.slavePath) {  // refused after the flush, the line as it was
            EXPECT_EQ(poll(&pending, 1, 50), 0) << "pending input was not discarded";
            expectSame(lineNow(), asRead_);
        }
        return;
    }
    ASSERT_GT(result, 0);
    ASSERT_EQ(result, handle);
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->fd, handle);
    EXPECT_EQ(ports->isSocket, name == pty_.slavePath ? 0 : 1);
    if (ports->isSocket) {
        EXPECT_TRUE(server.accept(1000).valid());
    } else {  // the line took the raw attributes, all but the data bits and parity a pty pins
        termios want = asRead_;
        rawLineAttributes(&want, c.baud, c.dataBits, c.stopBits, c.parity);  // the open took them
        want.c_cflag = (want.c_cflag & ~(CSIZE | PARENB)) | (lineNow().c_cflag & (CSIZE | PARENB));
        expectSame(lineNow(), want);
    }
    EXPECT_EQ(closePort(handle), 0);
}

#define BAD_LINE(what) "serial_device.cpp:N:err: openPort: port \"PTY\" has bad " what "\n"
#define NET_FAIL(host, port)                                                                \
    "network_connect.cpp:N:open of protocol 'tcp' on server '" host "' on port '" port "' " \
                                                                                       "failed\n"
INSTANTIATE_TEST_SUITE_P(
    Names, OpenTest,
    ::testing::Values(
        OpenCase{"PTY", 50, 5, 1, "none", ""}, OpenCase{"PTY", 9600, 6, 2, "EVEN", ""},
        OpenCase{"PTY", 115200, 7, 0, "odd", ""}, OpenCase{"PTY", 4000000, 8, 3, "None", ""},
        OpenCase{"PTY", 9600, 9, 1, "none", BAD_LINE("databits=9")},
        OpenCase{"PTY", 9600, 4, 1, "x", BAD_LINE("databits=4")},
        OpenCase{"PTY", 9600, 8, 1, "N", BAD_LINE("parity=N")},
        OpenCase{"PTY", 12345, 8, 1, "none", BAD_LINE("baud=12345")},
        OpenCase{"tcp:127.0.0.1:PORT", 0, 0, 0, "", ""},
        OpenCase{"tcpx:127.0.0.1::PORT:extra", 0, 0, 0, "", ""},
        OpenCase{"tcp:::localhost:  PORTx", 0, 0, 0, "", ""},
        OpenCase{"tcp:127.0.0.1:PORT+65536", 0, 0, 0, "", ""},
        OpenCase{"tcp:127.0.0.1:REFUSED", 0, 0, 0, "", NET_FAIL("127.0.0.1", "REFUSED")},
        OpenCase{"tcp:127.0.0.1:SILENT", 0, 0, 0, "", NET_FAIL("127.0.0.1", "SILENT")},
        OpenCase{"tcp:127.0.0.1:none", 0, 0, 0, "", NET_FAIL("127.0.0.1", "0")},
        OpenCase{"tcp:zor-test.invalid:1", 0, 0, 0, "", NET_FAIL("zor-test.invalid", "1")},
        OpenCase{"tcp", 0, 0, 0, "", NET_FAIL("", "0")},
        OpenCase{"tcp::", 0, 0, 0, "", NET_FAIL("", "0")},
        OpenCase{"tcp:127.0.0.1", 0, 0, 0, "", NET_FAIL("127.0.0.1", "0")},
        OpenCase{"TCP:x:1", 9600, 8, 1, "none",
                 "serial_device.cpp:N:err: openPort: could not open \"TCP:x:1\": No such file or "
                 "directory\n"},
        OpenCase{"/dev/null", 9600, 8, 1, "none",
                 "serial_device.cpp:N:err: openPort: could not tcgetattr on \"/dev/null\": "
                 "Inappropriate ioctl for device\n"}));

TEST_F(PortTest, ListFollowsEveryOpenAndClose) {
    LoopbackListener server;
    UniqueFd peer;
    int first = openLinePort(), handle = -2;
    StdCapture quiet;
    EXPECT_LT(openPort("/nonexistent/tty", &handle, 9600, 8, 1, "none"), 0);
    for (int countdown : {1, 2}) {  // no memory for the record, then for the copy of the name
        nothrowCountdown = countdown;
        EXPECT_EQ(openPort("tcp:127.0.0.1:1", &handle, 0, 0, 0, ""), -1);
        nothrowCountdown = 0;
    }
    quiet.stop();
    EXPECT_EQ(
        noLines(quiet.err()),
        "serial_device.cpp:N:err: openPort: could not open \"/nonexistent/tty\": No such file or "
        "directory\n"
        "port_open.cpp:N:err: openPort: out of memory for the record of \"tcp:127.0.0.1:1\"\n"
        "port_open.cpp:N:err: openPort: out of memory for a copy of \"tcp:127.0.0.1:1\"\n");
    EXPECT_EQ(handle, 0);
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->fd, first);
    EXPECT_EQ(ports->next, nullptr);
    int second = openNetPort(server, peer);
    ASSERT_NE(ports->next, nullptr);
    EXPECT_EQ(ports->next->fd, second);
    EXPECT_EQ(ports->next->prev, ports);
    // The closed network port's number goes to a serial port: no stale
    // record may stand in front of the new one.
    EXPECT_EQ(closePort(second), 0);
    EXPECT_EQ(openLinePort(), second);
    EXPECT_EQ(ports->next->isSocket, 0);
    EXPECT_EQ(closePort(first), 0);
    EXPECT_EQ(ports->prev, nullptr);
    EXPECT_EQ(ports->next, nullptr);
    EXPECT_EQ(closePort(second), 0);
}

TEST_F(PortTest, SerialLineCarriesBothWaysAndFlushesInput) {
    int handle = openLinePort();
    drainInterruptions = 2;
    StdCapture cap;
    EXPECT_EQ(sendStr(handle, "VSET 35.9000V\r"), 0);
    EXPECT_EQ(drainInterruptions, 0) << "an interrupted drain is waited for again";
    EXPECT_EQ(readFor(pty_.master.get(), 14, 1000), "VSET 35.9000V\r");
    ASSERT_TRUE(writeAll(pty_.master.get(), "stale"));
    pollfd p{handle, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_EQ(flushRecv(handle), 0);
    ASSERT_TRUE(writeAll(pty_.master.get(), "VOUT 35.9\r"));
    char buf[20];
    EXPECT_EQ(recvStr(handle, buf, sizeof buf), 10);
    cap.stop();
    EXPECT_STREQ(buf, "VOUT 35.9\r");
    EXPECT_EQ(cap.out(), "calling select\nselect returned 1\n");
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(closePort(handle), 0);
}

// What the instrument writes: each piece after a pause, as a 9600-baud line
// (a byte every 1.04 ms) or a network serial server (chunks) delivers it.
struct Piece {
    int pauseMs;
    std::string bytes;
};
struct RecvCase {
    const char *name;
    std::vector<Piece> pieces;
    int len;
    std::vector<int> counts;  // of successive receives, the last after everything came
    bool hangUp = false;      // the instrument closes after its pieces (network only)
};

std::vector<Piece> bytewise(const std::string &text, int pauseMs) {
    std::vector<Piece> pieces;
    for (char c : text) {
        pieces.push_back({pauseMs, std::string(1, c)});
    }
    return pieces;
}

const std::string REPLY_77 = std::string(40, '0') + std::string(37, 'f');

class ReceiveTest : public PortTest, public ::testing::WithParamInterface<RecvCase> {};

// A receive takes a reply whole, however it is cut up, while its pieces come
// within the quiet gap, and never more than len - 1 bytes.
TEST_P(ReceiveTest, TakesPiecesUntilTheLineIsQuiet) {
    const RecvCase &c = GetParam();
    std::string all;
    for (const Piece &piece : c.pieces) {
        all += piece.bytes;
    }
    for (bool network : {true, false}) {
        if (c.hangUp && !network) {
            continue;
        }
        SCOPED_TRACE(network ? "network port" : "serial line");
        LoopbackListener server;
        UniqueFd peer;
        int handle = network ? openNetPort(server, peer) : openLinePort();
        int instrument = network ? peer.get() : pty_.master.get();
        std::thread writer([&] {
            for (const Piece &piece : c.pieces) {
                usleep(static_cast<useconds_t>(piece.pauseMs) * 1000);
                writeAll(instrument, piece.bytes);
            }
            if (c.hangUp) {
                peer.reset();
            }
        });
        std::vector<char> buf(static_cast<size_t>(c.len) + 1, 'x');  // one byte of guard
        size_t taken = 0;
        StdCapture capture;
        for (int want : c.counts) {
            ASSERT_EQ(recvStr(handle, buf.data(), c.len), want);
            EXPECT_EQ(std::string(buf.data()), all.substr(taken, static_cast<size_t>(want)));
            EXPECT_EQ(std::count(buf.begin(), buf.end() - 1, '\0'), c.len - want);
            EXPECT_EQ(buf.back(), 'x');
            taken += static_cast<size_t>(want);
        }
        capture.stop();
        writer.join();
        std::string progress;
        for (size_t i = 0; i < c.counts.size(); ++i) {
            progress += "calling select\nselect returned 1\n";
        }
        EXPECT_EQ(capture.out(), progress);
        EXPECT_EQ(capture.err(), "");
        EXPECT_EQ(linkLost(handle), c.hangUp ? 1 : 0) << "the bytes first, then the loss";
        EXPECT_EQ(closePort(handle), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ReceiveTest,
    ::testing::Values(RecvCase{"Whole", {{0, REPLY_77}}, 80, {77}},
                      RecvCase{"MoreThanRoom", {{0, std::string(25, 'A')}}, 20, {19, 6}},
                      RecvCase{"RoomForOne", {{0, "A"}}, 2, {1}},
                      RecvCase{"Paced9600", bytewise(REPLY_77, 1), 80, {77}},
                      RecvCase{"ServerChunks",
                               {{0, REPLY_77.substr(0, 64)}, {13, REPLY_77.substr(64)}},
                               80,
                               {77}},
                      RecvCase{"PauseBeyondTheGap",
                               {{0, REPLY_77.substr(0, 40)}, {300, REPLY_77.substr(40)}},
                               80,
                               {40, 37}},
                      RecvCase{"HangUpAfterAPiece", {{0, "0123456789"}}, 80, {10}, true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PortTest, ReceiveTimesOutAfterTwoSeconds) {
    LoopbackListener server;
    UniqueFd peer;
    int handle = openNetPort(server, peer);
    char buf[4] = {'x', 'x', 'x', 'x'};
    StdCapture cap;
    time_t start = time(nullptr);
    EXPECT_EQ(recvStr(handle, buf, sizeof buf), 0);
    time_t waited = time(nullptr) - start;
    cap.stop();
    EXPECT_TRUE(waited >= 1 && waited <= 3) << waited;
    EXPECT_EQ(cap.out(), "calling select\nno bytes ready\n");
    EXPECT_EQ(std::string(buf, 4), std::string("\0xxx", 4));
    EXPECT_EQ(linkLost(handle), 0) << "a quiet line is not a lost one";
    EXPECT_EQ(closePort(handle), 0);
}

// How a connection's peer goes, and which operation finds the link lost. A
// serial device that goes is a row of the charge run's link fault table.
enum class Finder { Receive, Send, Ask };

struct LossCase {
    const char *name;
    bool reset;  // the peer resets the connection rather than closing it
    Finder finder;
    const char *report;        // what the finding operation writes, after the prefix
    const char *why;           // linkLossText
    bool silentFirst = false;  // the endpoint does not answer the first reopen
};

class LinkLossTest : public PortTest, public ::testing::WithParamInterface<LossCase> {};

// A link found lost is closed, refuses every transfer without a SIGPIPE, and
// comes back under the same handle once its endpoint answers again.
TEST_P(LinkLossTest, IsFoundClosedAndReopenedUnderItsHandle) {
    const LossCase &c = GetParam();
    LoopbackListener server;
    UniqueFd peer;
    int handle = openNetPort(server, peer);
    linger abort{1, 0};  // closing with it resets the connection
    if (c.reset) {
        setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    peer.reset();
    EXPECT_TRUE(waitFor(std::chrono::seconds(2), [&] {
        pollfd look{handle, POLLRDHUP, 0};
        return poll(&look, 1, 0) > 0;
    }));
    char buf[8];
    StdCapture cap;
    int result = c.finder == Finder::Receive ? recvStr(handle, buf, sizeof buf)
                 : c.finder == Finder::Send  ? sendStr(handle, "@RQ\n")
                                             : linkLost(handle);
    EXPECT_EQ(linkLost(handle), 1);
    EXPECT_STREQ(linkLossText(handle), c.why);
    EXPECT_EQ(sendStr(handle, "@RQ\n"), -1);
    EXPECT_EQ(recvStr(handle, buf, sizeof buf), -1);
    cap.stop();
    EXPECT_EQ(result, c.finder == Finder::Receive ? 0 : c.finder == Finder::Send ? -1 : 1);
    std::string refused = "port_table.cpp:N:err: port " + std::to_string(handle) +
                          " has lost its link: " + c.why + "\n";
    EXPECT_EQ(noLines(cap.err()), c.report + refused + refused);

    if (c.silentFirst) {  // the reopen gives up after its 2 s and leaves the link lost
        ASSERT_TRUE(silence(server));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(reopenPort(handle), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
        long took = msSince(start);
        EXPECT_TRUE(took > 1500 && took < 3500) << took << " ms";
        EXPECT_EQ(linkLost(handle), 1);
        EXPECT_TRUE(server.accept(1000).valid());  // the probe, which makes room again
    }
    ASSERT_EQ(reopenPort(handle), handle);
    peer = server.accept(1000);
    EXPECT_EQ(linkLost(handle), 0);
    EXPECT_EQ(linkLossText(handle), nullptr);
    EXPECT_EQ(sendStr(handle, "@RQ\n"), 0);
    EXPECT_EQ(readFor(peer.get(), 4, 1000), "@RQ\n");
    EXPECT_EQ(closePort(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Losses, LinkLossTest,
    ::testing::Values(
        LossCase{"ClosedFoundByReceive", false, Finder::Receive,
                 "line_transfer.cpp:N:err: recvStr failed with no bytes\n",
                 "connection closed by peer"},
        LossCase{
            "ClosedFoundBeforeSending", false, Finder::Send,
            "line_transfer.cpp:N:err: sendStr found the link lost: connection closed by peer\n",
            "connection closed by peer"},
        LossCase{"ResetFoundByAsking", true, Finder::Ask, "", "Connection reset by peer"},
        LossCase{"ResetThenHostSilent", true, Finder::Ask, "", "Connection reset by peer", true}),
    [](const auto &info) { return std::string(info.param.name); });

// Signals that interrupt a long send make the system write part of it; the
// rest must still go out, and the result say so only when all did.
TEST_F(PortTest, LongTextIsWrittenWholeThroughInterruptions) {
    LoopbackListener server;
    UniqueFd peer;
    int handle = openNetPort(server, peer);
    std::string text(8 << 20, 'V');
    std::string got;
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);  // the ticks must land on this thread
    std::thread reader([&] { got = readFor(peer.get(), text.size(), 2000); });
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    struct sigaction tick {};
    tick.sa_handler = [](int) {};  // no SA_RESTART: each tick cuts the write short
    sigaction(SIGALRM, &tick, nullptr);
    itimerval every{{0, 500}, {0, 500}};
    setitimer(ITIMER_REAL, &every, nullptr);
    int sent = sendStr(handle, text.c_str());
    itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
    signal(SIGALRM, SIG_DFL);
    reader.join();
    EXPECT_EQ(sent, 0);
    EXPECT_TRUE(got == text) << got.size() << " of " << text.size() << " bytes";
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(PortTest, UnknownHandleAndBufferWithoutRoomAreRefused) {
    int handle = openLinePort();
    char buf[4] = "abc";
    StdCapture cap;
    EXPECT_EQ(closePort(999) + sendStr(999, "x") + flushRecv(999), -3);
    EXPECT_EQ(openLogFile(999, "/tmp/x") + closeLogFile(999), -2);
    EXPECT_EQ(recvStr(999, buf, sizeof buf), -1);
    EXPECT_EQ(recvStr(handle, buf + 1, 1), -1);
    EXPECT_EQ(recvStr(handle, buf + 2, 0), -1);
    cap.stop();
    EXPECT_EQ(std::string(buf, 4), std::string("\0\0c\0", 4));
    std::string unknown = "port_table.cpp:N:err: port 999 is not open\n";
    std::string err;
    for (int i = 0; i < 6; ++i) {
        err += unknown;
    }
    EXPECT_EQ(noLines(cap.err()),
              err +
                  "line_transfer.cpp:N:err: recvStr buffer of 1 bytes has no room for data\n"
                  "line_transfer.cpp:N:err: recvStr buffer of 0 bytes has no room for data\n");
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(closePort(handle), 0);
}

TEST_F(PortTest, ReceivesOnADescriptorAboveTheSelectLimit) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < FD_SETSIZE + 64) {
        GTEST_SKIP() << "the descriptor limit is below FD_SETSIZE";
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

TEST_F(PortTest, TranscriptRecordsEverySendAndAppends) {
    TempDir dir;
    int handle = openLinePort();
    time_t start = time(nullptr);
    for (time_t t = start; t < start + 5; ++t) {  // the name's second exists already
        UniqueFd f(::open((dir.path() + "/supply_" + std::to_string(t) + ".log").c_str(),
                          O_WRONLY | O_CREAT, 0644));
        ASSERT_TRUE(writeAll(f.get(), "kept|"));
    }
    // Each transcript that a later open replaces, or that a failed open takes
    // away, is closed then: TearDown counts the descriptors.
    StdCapture cap;
    EXPECT_GT(openLogFile(handle, (dir.path() + "/supply").c_str()), 0);
    EXPECT_EQ(sendStr(handle, "OUT 1\r") + sendStr(handle, ""), 0);
    EXPECT_GT(openLogFile(handle, (dir.path() + "/again").c_str()), 0);
    EXPECT_EQ(sendStr(handle, "OUT 0\r"), 0);
    EXPECT_EQ(closeLogFile(handle), 0);
    EXPECT_EQ(sendStr(handle, "OUT 0\r"), 0);  // no transcript: no record
    EXPECT_EQ(closeLogFile(handle), -1);
    EXPECT_GT(openLogFile(handle, (dir.path() + "/dropped").c_str()), 0);
    for (const std::string &prefix : {std::string("/nonexistent/supply"), std::string(300, 'p')}) {
        EXPECT_EQ(openLogFile(handle, prefix.c_str()), -1);
        EXPECT_EQ(sendStr(handle, "CLR\r"), 0);
    }
    EXPECT_GT(openLogFile(handle, (dir.path() + "/last").c_str()), 0);  // closePort closes it
    time_t end = time(nullptr);
    cap.stop();
    std::string out = cap.out(), want;
    std::vector<std::string> logs;
    for (size_t at = 0; (at = out.find('\'', at)) != std::string::npos;) {
        size_t quote = out.find('\'', ++at);
        logs.push_back(readFile(out.substr(at, quote - at)));
        at = quote + 1;
    }
    for (const char *prefix : {"supply", "again", "dropped", "last"}) {
        want += "Opened log file '" + dir.path() + "/" + prefix +
                "_<T>.log' for port fd=" + std::to_string(handle) + "\n";
    }
    EXPECT_TRUE(matchesTimes(out, want, start, end)) << out;
    ASSERT_EQ(logs.size(), 4u);
    EXPECT_TRUE(matchesTimes(logs[0], "kept|S<T>: OUT 1\rS<T>: ", start, end)) << logs[0];
    EXPECT_TRUE(matchesTimes(logs[1], "S<T>: OUT 0\r", start, end)) << logs[1];
    EXPECT_EQ(logs[2] + logs[3], "");
    std::string err = "transcript.cpp:N:err: closeLogFile: port " + std::to_string(handle) +
                      " has no log file\ntranscript.cpp:N:openLogFile: cannot create "
                      "'/nonexistent/supply_<T>.log' for writing:No such file or directory\n" +
                      "transcript.cpp:N:openLogFile: cannot create '" + std::string(300, 'p') +
                      "_<T>.log' for writing:File name too long\n";
    EXPECT_TRUE(matchesTimes(noLines(cap.err()), err, start, end)) << cap.err();
    EXPECT_EQ(access(std::string(255, 'p').c_str(), F_OK), -1);  // no cut-off name created
    EXPECT_EQ(closePort(handle), 0);
}

// With standard input closed the system hands out descriptor 0, which a
// record takes for "none": a transcript or socket that gets it is moved.
TEST_F(PortTest, DescriptorZeroIsMovedOffAndUsed) {
    TempDir dir;
    LoopbackListener server;
    ASSERT_TRUE(server.listen());
    int line = openLinePort(), network = -2;
    StdCapture quiet;
    UniqueFd input(dup(STDIN_FILENO));
    close(STDIN_FILENO);
    int transcript = openLogFile(line, (dir.path() + "/zero").c_str());
    EXPECT_EQ(sendStr(line, "OUT 1\r"), 0);
    int opened = openPort(server.endpoint().c_str(), &network, 0, 0, 0, "");
    if (input.valid()) {
        dup2(input.get(), STDIN_FILENO);
    }
    quiet.stop();
    EXPECT_GT(transcript, 0);
    EXPECT_GT(opened, 0);
    EXPECT_EQ(network, opened);
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        std::string log = readFile(entry.path());
        EXPECT_TRUE(log.starts_with("S") && log.ends_with(": OUT 1\r")) << log;
    }
    EXPECT_EQ(closePort(opened) + closePort(line), 0);
}

TEST_F(PortTest, DebugLevelAddsItsLines) {
    LoopbackListener server;
    UniqueFd peer;
    DEBUG_LEVEL = 5;
    StdCapture cap;
    int handle = openNetPort(server, peer);
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

}  // namespace
