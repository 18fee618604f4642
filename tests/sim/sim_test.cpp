#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <random>

#include "sim/bench.h"
#include "sim/shaping.h"
#include "tests/support/test_support.h"
#include "zor_charger/zor_charger.h"

namespace {

using zorsim::Model;

// A model charging as the charger sets it up.
Model chargingModel() {
    Model m(7);
    for (const char *line : {"CLR", "OUT 0", "VSET 35.9000V", "ISET 45.0000A", "OUT 1"}) {
        m.supplyCommand(line);
    }
    m.batteryCommand("@AC");
    return m;
}

TEST(StatusReplyTest, IsSeventySevenBytesThatDecodeToTheModel) {
    Model m = chargingModel();
    for (int i = 0; i < 40; ++i) {
        m.advance(300);
        std::string reply = m.statusReply();
        ASSERT_EQ(reply.size(), zorsim::STATUS_REPLY_SIZE);
        EXPECT_EQ(reply.substr(74), "*\r\n");
        EXPECT_EQ(reply.find_first_not_of("0123456789ABCDEF"), 74u) << reply;
        BatteryStatus s{};
        decodeStatusReply(reply.c_str(), &s);
        EXPECT_NEAR(gasGaugeOf(&s), m.gasGaugePercent(), 0.006);
        EXPECT_NEAR(batteryCurrentOf(&s), m.outputAmps(), 0.006);
        EXPECT_NEAR(stackVoltageOf(&s), m.stackVolts(), 0.005);
        EXPECT_EQ(s.balanceRegister, m.balanceRegister());
        EXPECT_EQ(s.statusRegister, m.statusRegister());
        EXPECT_GE(stackVoltageOf(&s), 28.0);
        EXPECT_LE(stackVoltageOf(&s), 35.9);
    }
}

TEST(BalanceRegisterTest, GrowsFromZeroThroughPartialValuesToAllCells) {
    Model m = chargingModel();
    int previous = 0, partial = 0;
    for (int step = 0; step < 400 && previous != 0xFF; ++step) {
        m.supplyCommand(previous == 0 ? "ISET 45.0000A" : "ISET 12.5000A");
        m.advance(300);
        int reg = m.balanceRegister();
        EXPECT_EQ(reg & previous, previous) << "a balanced cell lost its bit";
        partial += reg != 0 && reg != 0xFF;
        previous = reg;
    }
    EXPECT_EQ(previous, 0xFF);
    EXPECT_GE(partial, 2);
    Model stuck = chargingModel();
    stuck.holdBalance();  // at 0, as --balance-stuck-at leaves it: no end of charge comes
    stuck.advance(36000);
    EXPECT_EQ(stuck.balanceRegister(), 0);
    EXPECT_TRUE(m.statusRegister() & zorsim::STATUS_ENABLE);
    m.batteryCommand("@AF");
    EXPECT_EQ(m.outputAmps(), 0.0);
    EXPECT_EQ(m.statusRegister() & (zorsim::STATUS_ENABLE | zorsim::STATUS_CHARGE_MODE), 0);
}

struct OutputCase {
    const char *name;
    bool output, enabled;
    double vsetAboveOpenCircuit;  // volts
    double iset, low, high;       // amperes expected
    int sts;
};

std::ostream &operator<<(std::ostream &os, const OutputCase &c) {
    return os << c.name;
}

class SupplyOutputTest : public ::testing::TestWithParam<OutputCase> {};

TEST_P(SupplyOutputTest, RegulatesConstantCurrentThenConstantVoltage) {
    const OutputCase &c = GetParam();
    Model m(3);
    if (c.enabled) {
        m.batteryCommand("@AC");
    }
    char line[40];
    snprintf(line, sizeof line, "VSET %0.4fV", m.openCircuitVolts() + c.vsetAboveOpenCircuit);
    m.supplyCommand(line);
    snprintf(line, sizeof line, "ISET %0.4fA", c.iset);
    m.supplyCommand(line);
    m.supplyCommand(c.output ? "OUT 1" : "OUT 0");
    EXPECT_GE(m.outputAmps(), c.low);
    EXPECT_LE(m.outputAmps(), c.high);
    EXPECT_EQ(m.supplyCommand("STS?"), "STS " + std::to_string(c.sts) + "\r\n");
    if (c.sts & zorsim::STS_CONSTANT_VOLTAGE && c.enabled && c.vsetAboveOpenCircuit > 0) {
        EXPECT_NEAR(m.outputVolts(), m.openCircuitVolts() + c.vsetAboveOpenCircuit, 1e-3);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SupplyOutputTest,
    ::testing::Values(OutputCase{"OutputOff", false, true, 5, 45, 0, 0, 0},
                      OutputCase{"BatteryOff", true, false, 5, 45, 0, 0, 9},
                      OutputCase{"ConstantCurrent", true, true, 5, 45, 45, 45, 10},
                      OutputCase{"ConstantVoltage", true, true, 0.1, 45, 4.9, 5.1, 9},
                      OutputCase{"BelowBattery", true, true, -1, 45, 0, 0, 9}),
    [](const auto &info) { return std::string(info.param.name); });

struct CommandCase {
    const char *line;
    int err;            // error code afterwards
    const char *query;  // then asked
    const char *reply;
};

std::ostream &operator<<(std::ostream &os, const CommandCase &c) {
    return os << zortext::escape(c.line);
}

class SupplyCommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(SupplyCommandTest, SetsErrorOrValue) {
    const CommandCase &c = GetParam();
    Model m(1);
    m.supplyCommand("VSET 12.0000V");
    EXPECT_EQ(m.supplyCommand(c.line), "");
    EXPECT_EQ(m.supplyCommand("ERR?"), "ERR " + std::to_string(c.err) + "\r\n");
    EXPECT_EQ(m.supplyCommand(c.query), c.reply);
    m.supplyCommand("CLR");
    EXPECT_EQ(m.supplyCommand("ERR?"), "ERR 0\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SupplyCommandTest,
    ::testing::Values(CommandCase{"VSET 35.9000V", 0, "VSET?", "VSET 35.9000\r\n"},
                      CommandCase{"vset 20v", 0, "VSET?", "VSET 20.0000\r\n"},
                      CommandCase{"VSET abc", -104, "VSET?", "VSET 12.0000\r\n"},
                      CommandCase{"VSET", -109, "VSET?", "VSET 12.0000\r\n"},
                      CommandCase{"VSET 99V", -222, "VSET?", "VSET 12.0000\r\n"},
                      CommandCase{"VSET 1e999V", -104, "VSET?", "VSET 12.0000\r\n"},
                      CommandCase{"VSET nanV", -104, "VSET?", "VSET 12.0000\r\n"},
                      CommandCase{"VSET 0x10V", -104, "VSET?", "VSET 12.0000\r\n"},
                      CommandCase{"VSET 1.5A", -104, "VSET?", "VSET 12.0000\r\n"},
                      CommandCase{"ISET 45.0000A", 0, "ISET?", "ISET 45.0000\r\n"},
                      CommandCase{"IMAX 10A", 0, "ISET?", "ISET 0.0000\r\n"},
                      CommandCase{"OUT 1", 0, "OUT?", "OUT 1\r\n"},
                      CommandCase{"OUT 2", -104, "OUT?", "OUT 0\r\n"},
                      CommandCase{"RST", 0, "VSET?", "VSET 0.0000\r\n"},
                      CommandCase{"CLR 1", -108, "VSET?", "VSET 12.0000\r\n"},
                      CommandCase{"IOUT? 1", -108, "IOUT?", "IOUT 0.0000\r\n"},
                      CommandCase{"FOO", -113, "VOUT?", "VOUT 0.0000\r\n"},
                      CommandCase{"TRG", 0, "FAULT?", "FAULT 0\r\n"}));

TEST(SupplyProtectionTest, OverVoltageSetPointTripsTheOutput) {
    Model m(1);
    m.supplyCommand("VSET 30V");
    m.supplyCommand("OUT 1");
    m.supplyCommand("OVSET 25V");
    EXPECT_EQ(m.supplyCommand("OUT?"), "OUT 0\r\n");
    EXPECT_EQ(m.supplyCommand("FAULT?"), "FAULT 4\r\n");
}

// A client of a bench that runs on loopback ports the system chooses.
struct BenchClient {
    zorsim::Bench bench;
    zortest::UniqueFd supply, battery;
    explicit BenchClient(zorsim::Options opt) : bench(opt) {}
    static zortest::UniqueFd connectTo(const std::string &endpoint) {
        int port = std::stoi(endpoint.substr(endpoint.rfind(':') + 1));
        zortest::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        return fd;
    }
    void start() {
        std::string why;
        ASSERT_TRUE(bench.start(&why)) << why;
        supply = connectTo(bench.supplyEndpoint());
        battery = connectTo(bench.batteryEndpoint());
    }
};

zorsim::Options anyPorts() {
    zorsim::Options opt;
    opt.supplyPort = opt.batteryPort = 0;
    opt.secondsPerPoll = 60;
    opt.historyLines = 16;
    return opt;
}

TEST(BenchTest, AnswersOverTcpLineByLineInAnyPieces) {
    BenchClient c(anyPorts());
    c.start();
    for (char ch : std::string("CLR\rOUT 0\rVSET 35.9000V\r\nISET 45.0000A\rOUT 1\r")) {
        ASSERT_TRUE(zortest::writeAll(c.supply.get(), std::string(1, ch)));
    }
    ASSERT_TRUE(zortest::writeAll(c.battery.get(), "@AC\n@RQ\r\n"));
    std::string reply = zortest::readFor(c.battery.get(), 77, 2000);
    EXPECT_EQ(reply.size(), 77u);
    ASSERT_TRUE(zortest::writeAll(c.supply.get(), "IOUT?\r"));
    EXPECT_EQ(zortest::readFor(c.supply.get(), 14, 2000), "IOUT 45.0000\r\n");
    EXPECT_EQ(c.bench.received(zorsim::Instrument::Supply),
              (std::vector<std::string>{"CLR\r", "OUT 0\r", "VSET 35.9000V\r", "\n",
                                        "ISET 45.0000A\r", "OUT 1\r", "IOUT?\r"}));
    EXPECT_EQ(c.bench.counters().statusRequests, 1);
    EXPECT_DOUBLE_EQ(c.bench.model().simSeconds(), 60.0);
}

TEST(BenchTest, SurvivesGarbageAndStaysBounded) {
    BenchClient c(anyPorts());
    c.start();
    std::mt19937 rng(42);
    std::string junk;
    for (int i = 0; i < 200000; ++i) {
        junk += static_cast<char>(rng() % 256);
    }
    junk += std::string(1000, 'x');  // an overlong line, whatever came before
    ASSERT_TRUE(zortest::writeAll(c.supply.get(), junk + "\rERR?\r"));
    ASSERT_TRUE(zortest::writeAll(c.battery.get(), junk + "\n@RQ\n"));
    std::string err = zortest::drain(c.supply.get(), 500);
    EXPECT_NE(err.find("ERR -223\r\n"), std::string::npos) << zortext::escape(err.substr(0, 200));
    std::string battery = zortest::drain(c.battery.get(), 500);
    ASSERT_GE(battery.size(), 77u);
    EXPECT_EQ(battery.substr(battery.size() - 3), "*\r\n");
    EXPECT_LE(c.bench.received(zorsim::Instrument::Battery).size(), 16u);
    EXPECT_GT(c.bench.counters().overlongLines, 0);
}

TEST(BenchTest, ServesTheBatteryOnAPseudoTerminal) {
    zorsim::Options opt = anyPorts();
    opt.batteryPty = true;
    zorsim::Bench bench(opt);
    std::string why;
    ASSERT_TRUE(bench.start(&why)) << why;
    zortest::UniqueFd tty(open(bench.batteryEndpoint().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_TRUE(tty.valid()) << bench.batteryEndpoint();
    ASSERT_TRUE(zortest::writeAll(tty.get(), "@AC\n@RQ\n"));
    std::string reply = zortest::readFor(tty.get(), 77, 2000);
    EXPECT_EQ(reply.size(), 77u);
    EXPECT_TRUE(bench.model().statusRegister() & zorsim::STATUS_ENABLE);
}

TEST(BenchTest, RefusesAPortInUse) {
    zortest::LoopbackListener taken;
    ASSERT_TRUE(taken.listen());
    zorsim::Options opt = anyPorts();
    opt.batteryPort = taken.port;
    int before = zortest::openDescriptorCount();
    {
        zorsim::Bench bench(opt);
        std::string why;
        EXPECT_FALSE(bench.start(&why));
        EXPECT_NE(why.find("in use"), std::string::npos) << why;
    }
    EXPECT_EQ(zortest::openDescriptorCount(), before);
}

// Replies of both instruments leave at the line rate, ten bits a byte, handed
// over byte by byte or in a serial server's chunks once their last byte is in.
class LineRateTest : public ::testing::TestWithParam<size_t> {};

TEST_P(LineRateTest, RepliesLeaveAtTheLinePace) {
    const size_t chunk = GetParam();
    zorsim::Options opt = anyPorts();
    opt.lineRate = 9600;
    opt.chunkBytes = chunk;
    BenchClient c(opt);
    c.start();
    const double byteSeconds = 10.0 / 9600;
    struct Exchange {
        int fd;
        const char *request;
        size_t size;
    };
    for (Exchange x :
         {Exchange{c.battery.get(), "@RQ\n", 77}, Exchange{c.supply.get(), "OUT?\r", 7}}) {
        SCOPED_TRACE(x.request);
        auto begin = std::chrono::steady_clock::now();
        auto since = [&] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        };
        ASSERT_TRUE(zortest::writeAll(x.fd, x.request));
        pollfd first{x.fd, POLLIN, 0};
        ASSERT_EQ(poll(&first, 1, 1000), 1);
        EXPECT_GE(since(), static_cast<double>(std::min(chunk, x.size)) * byteSeconds);
        EXPECT_EQ(zortest::readFor(x.fd, x.size, 1000).size(), x.size);
        EXPECT_GE(since(), static_cast<double>(x.size) * byteSeconds);
    }
}

INSTANTIATE_TEST_SUITE_P(Chunks, LineRateTest, ::testing::Values(1, 64));

// What the shaper makes of a status reply on a free line: the bytes that
// leave, in how many pieces and when, in seconds from the reply.
struct FaultBytesCase {
    const char *name;
    zorsim::Options opt;
    size_t size, pieces;
    double first, last;    // when the first and the last piece leave
    bool garbled = false;  // else the reply leaves as made, cut or padded to `size`
};

std::ostream &operator<<(std::ostream &os, const FaultBytesCase &c) {
    return os << c.name;
}

// Sends `reply` through the shaper on a line free at `lineFree`, and moves
// that on. Returns its pieces' times in seconds from then; adds their bytes to *bytes.
std::vector<double> sendThrough(zorsim::ReplyShaper &shaper, zorsim::Instrument which,
                                const std::string &reply, zorsim::Clock::time_point &lineFree,
                                std::string *bytes) {
    zorsim::PacedReply paced = shaper.pace(shaper.shape(which, reply, {}), lineFree);
    std::vector<double> dues;
    for (const zorsim::TimedPiece &piece : paced.pieces) {
        dues.push_back(std::chrono::duration<double>(piece.due - lineFree).count());
        *bytes += piece.bytes;
    }
    EXPECT_TRUE(paced.pieces.empty() || paced.lineFree == paced.pieces.back().due)
        << "the line is free once the last piece has left";
    lineFree = paced.lineFree;
    return dues;
}

class FaultBytesTest : public ::testing::TestWithParam<FaultBytesCase> {};

TEST_P(FaultBytesTest, ChangesTheReplyAsPromised) {
    const FaultBytesCase &c = GetParam();
    zorsim::ReplyShaper shaper(c.opt);
    const std::string reply = chargingModel().statusReply();
    zorsim::Clock::time_point lineFree{};
    std::string bytes;
    std::vector<double> dues =
        sendThrough(shaper, zorsim::Instrument::Battery, reply, lineFree, &bytes);
    ASSERT_EQ(bytes.size(), c.size);
    ASSERT_EQ(dues.size(), c.pieces);
    if (c.pieces > 0) {
        EXPECT_TRUE(std::is_sorted(dues.begin(), dues.end()));
        EXPECT_NEAR(dues.front(), c.first, 1e-6);
        EXPECT_NEAR(dues.back(), c.last, 1e-6);
    }
    if (!c.garbled) {
        EXPECT_EQ(bytes, (reply + reply).substr(0, c.size)) << "padding repeats the reply";
        return;
    }
    size_t odd = 0;
    for (unsigned char ch : bytes.substr(0, 74)) {
        odd += !isxdigit(ch);
        EXPECT_TRUE(isxdigit(ch) || (isgraph(ch) && strchr("xX+-", ch) == nullptr)) << ch;
    }
    EXPECT_GE(odd, 1u);
    EXPECT_LE(odd, 3u);
    EXPECT_EQ(bytes.substr(74), "*\r\n");
}

constexpr double BYTE_TIME = 10.0 / 9600;      // seconds a byte takes on a 9600-baud line
constexpr double REPLY_TIME = 77 * BYTE_TIME;  // and a status reply

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultBytesTest,
    ::testing::ValuesIn(std::vector<FaultBytesCase>{
        {"Dropped", {.faults = {.drop = {1}}}, 0, 0, 0, 0},
        {"Resized", {.faults = {.resize = {1}, .lengths = {154}}}, 154, 1, 0, 0},
        {"Garbled", {.faults = {.garble = {1}}}, 77, 1, 0, 0, true},
        {"Delayed", {.faults = {.delay = {1}, .delaySeconds = 0.3}}, 77, 1, 0.3, 0.3},
        {"Split", {.faults = {.split = {1}, .splitPause = 0.3}}, 77, 2, 0, 0.3},
        // On a line each byte takes its time; pieces go once their last byte is in.
        {"PacedByteByByte", {.lineRate = 9600}, 77, 77, BYTE_TIME, REPLY_TIME},
        {"PacedInChunks", {.lineRate = 9600, .chunkBytes = 64}, 77, 2, 64 * BYTE_TIME, REPLY_TIME},
        // The pause counts from the end of the first piece on the line.
        {"PacedSplit",
         {.lineRate = 9600, .faults = {.split = {1}}},
         77,
         77,
         BYTE_TIME,
         REPLY_TIME + 0.05},
    }),
    [](const auto &info) { return std::string(info.param.name); });

// Faults strike by count up to their limit, on battery replies only, and
// every reply waits until the line is free of the one before.
TEST(ReplyShaperTest, CountsBatteryRepliesAndKeepsTheLineInOrder) {
    zorsim::ReplyShaper shaper({.lineRate = 9600, .chunkBytes = 2, .faults = {.drop = {2, 0, 2}}});
    zorsim::Clock::time_point lineFree{};
    std::string sent;
    for (char i = '1'; i <= '6'; ++i) {
        for (auto [which, reply] : {std::pair{zorsim::Instrument::Supply, std::string{i, 'S'}},
                                    std::pair{zorsim::Instrument::Battery, std::string{i, 'B'}}}) {
            for (double due : sendThrough(shaper, which, reply, lineFree, &sent)) {
                EXPECT_NEAR(due, 2 * BYTE_TIME, 1e-6) << reply << " starts once the line is free";
            }
        }
    }
    EXPECT_EQ(sent, "1S1B2S3S3B4S5S5B6S6B") << "the 2nd and 4th battery replies dropped, no more";
    EXPECT_NEAR(std::chrono::duration<double>(lineFree.time_since_epoch()).count(), 20 * BYTE_TIME,
                1e-6);
}

// Every choice follows the seed: the same seed shapes the same, another otherwise.
TEST(ReplyShaperTest, FollowsTheSeed) {
    auto shapes = [](uint32_t seed) {
        zorsim::Faults faults{.resize = {0, .3}, .garble = {0, .3}, .split = {0, .3}};
        zorsim::ReplyShaper shaper({.seed = seed, .faults = faults});
        std::string all;
        for (int i = 0; i < 40; ++i) {
            zorsim::ShapedReply s =
                shaper.shape(zorsim::Instrument::Battery, std::string(77, '0'), {});
            all += s.bytes + s.note;
        }
        return all;
    };
    EXPECT_EQ(shapes(5), shapes(5));
    EXPECT_NE(shapes(5), shapes(6));
}

TEST(BenchFaultTest, ClosedLinkLetsTheNextClientIn) {
    zorsim::Options opt = anyPorts();
    opt.faults.closeBatteryAfter = 2;
    opt.faults.supplyQueriesAnswered = 1;
    BenchClient c(opt);
    c.start();
    ASSERT_TRUE(zortest::writeAll(c.battery.get(), "@AC\n@RQ\n@RQ\n"));
    EXPECT_EQ(zortest::readFor(c.battery.get(), 1000, 1000).size(), 77u) << "one answer, then EOF";
    char byte;
    EXPECT_EQ(read(c.battery.get(), &byte, 1), 0);
    zortest::UniqueFd again = BenchClient::connectTo(c.bench.batteryEndpoint());
    ASSERT_TRUE(zortest::writeAll(again.get(), "@RQ\n"));
    EXPECT_EQ(zortest::readFor(again.get(), 77, 1000).size(), 77u);

    ASSERT_TRUE(zortest::writeAll(c.supply.get(), "VSET?\r"));
    EXPECT_EQ(zortest::readFor(c.supply.get(), 100, 500), "VSET 0.0000\r\n");
    ASSERT_TRUE(zortest::writeAll(c.supply.get(), "VSET?\r"));
    EXPECT_EQ(zortest::readFor(c.supply.get(), 100, 500), "") << "the supply has gone quiet";
    zorsim::Counters counters = c.bench.counters();
    EXPECT_EQ(counters.faultCloses, 1);
    EXPECT_EQ(counters.silentQueries, 1);
    EXPECT_EQ(counters.connections, 3);
}

// A muted battery takes its status requests on a link that stays up, and
// answers again once the event is over.
TEST(BenchEventTest, MutedBatteryAnswersNoStatusRequestUntilItsTimeIsUp) {
    zorsim::Options opt = anyPorts();
    opt.events.batteryMuteAt = 0;
    opt.events.batteryMuteSeconds = 0.5;
    BenchClient c(opt);
    c.start();
    ASSERT_TRUE(zortest::writeAll(c.battery.get(), "@RQ\n"));
    EXPECT_EQ(zortest::readFor(c.battery.get(), 77, 300), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(zortest::writeAll(c.battery.get(), "@RQ\n"));
    EXPECT_EQ(zortest::readFor(c.battery.get(), 77, 1000).size(), 77u);
    EXPECT_EQ(c.bench.counters().statusRequests, 2);
    EXPECT_EQ(c.bench.counters().connections, 2) << "the link stayed up";
}

}  // namespace
