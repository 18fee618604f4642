#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <random>

#include "sim/bench.h"
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
    return os << zorsim::escape(c.line);
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
    EXPECT_NE(err.find("ERR -223\r\n"), std::string::npos) << zorsim::escape(err.substr(0, 200));
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

// What a fault does to the bytes of a status reply, seen from a raw client.
struct FaultBytesCase {
    const char *name;
    void (*set)(zorsim::Faults &);
    // Checks the bytes of the bytes that came until 0.6 s passed without one and when.
    void (*check)(const std::string &bytes, double seconds);
};

std::ostream &operator<<(std::ostream &os, const FaultBytesCase &c) {
    return os << c.name;
}

class FaultBytesTest : public ::testing::TestWithParam<FaultBytesCase> {};

TEST_P(FaultBytesTest, ChangesTheReplyAsPromised) {
    const FaultBytesCase &c = GetParam();
    zorsim::Options opt = anyPorts();
    c.set(opt.faults);
    BenchClient client(opt);
    client.start();
    auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(zortest::writeAll(client.battery.get(), "@RQ\n"));
    std::string first = zortest::readFor(client.battery.get(), 1000, 600);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    c.check(first, seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultBytesTest,
    ::testing::Values(FaultBytesCase{
                          "Dropped", [](zorsim::Faults &f) { f.drop = {1}; },
                          [](const std::string &bytes, double) { EXPECT_EQ(bytes, ""); }},
                      FaultBytesCase{"Resized",
                                     [](zorsim::Faults &f) {
                                         f.resize = {1};
                                         f.lengths = {154};
                                     },
                                     [](const std::string &bytes, double) {
                                         ASSERT_EQ(bytes.size(), 154u);
                                         EXPECT_EQ(bytes.substr(0, 77), bytes.substr(77));
                                     }},
                      FaultBytesCase{"Garbled", [](zorsim::Faults &f) { f.garble = {1}; },
                                     [](const std::string &bytes, double) {
                                         ASSERT_EQ(bytes.size(), 77u);
                                         size_t odd = 0;
                                         for (char ch : bytes.substr(0, 74)) {
                                             odd += !isxdigit(static_cast<unsigned char>(ch));
                                             EXPECT_TRUE(isxdigit(static_cast<unsigned char>(ch)) ||
                                                         (isgraph(static_cast<unsigned char>(ch)) &&
                                                          strchr("xX+-", ch) == nullptr))
                                                 << ch;
                                         }
                                         EXPECT_GE(odd, 1u);
                                         EXPECT_LE(odd, 3u);
                                         EXPECT_EQ(bytes.substr(74), "*\r\n");
                                     }},
                      FaultBytesCase{"Delayed",
                                     [](zorsim::Faults &f) {
                                         f.delay = {1};
                                         f.delaySeconds = 0.3;
                                     },
                                     [](const std::string &bytes, double seconds) {
                                         EXPECT_EQ(bytes.size(), 77u);
                                         EXPECT_GE(seconds, 0.3);
                                     }},
                      FaultBytesCase{"Split",
                                     [](zorsim::Faults &f) {
                                         f.split = {1};
                                         f.splitPause = 0.3;
                                     },
                                     [](const std::string &bytes, double seconds) {
                                         EXPECT_EQ(bytes.size(), 77u);
                                         EXPECT_GE(seconds, 0.3) << "the second piece comes later";
                                     }}),
    [](const auto &info) { return std::string(info.param.name); });

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

}  // namespace
