// The commissioning tools run as programs against stand-in instruments on
// loopback TCP and on pseudo-terminals: the bytes they put on the wire, what
// they print, and their exit statuses; zor_sim's refusals; and zor_plot on
// data logs written here, once and following one that grows.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/bench.h"
#include "tests/support/stand_in.h"
#include "tests/support/status_reply.h"
#include "tests/support/test_support.h"
#include "zor_charger/zor_charger.h"

using zortest::Link;
using zortest::StandIn;

namespace {

struct ToolRun {
    int status = -1;  // exit status; 128 + signal when killed
    std::string out, err;
};

// Runs a tool to its end (killed after `timeoutMs`) and collects its output.
ToolRun runTool(const char *path, const std::vector<std::string> &args, int timeoutMs = 10000) {
    zortest::TempDir dir;
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    {
        zortest::Child tool(argv, dir.path(), dir.path() + "/out", dir.path() + "/err");
        run.status = tool.wait(std::chrono::milliseconds(timeoutMs));
        EXPECT_GE(run.status, 0) << path << " did not end in time";
    }
    run.out = zortest::readFile(dir.path() + "/out");
    run.err = zortest::readFile(dir.path() + "/err");
    return run;
}

// A supply that keeps what it is set to and answers "KEYWORD VALUE\r\n";
// `special` replaces the answer to a given question.
StandIn::Answer supplyAnswer(std::map<std::string, std::string> special = {}) {
    auto values = std::make_shared<std::map<std::string, std::string>>();
    *values = {{"IOUT", "1.2500"}, {"VOUT", "28.8000"}, {"ISET", "0.0000"},
               {"VSET", "0.0000"}, {"OUT", "0"},        {"ERR", "0"},
               {"ASTS", "0"},      {"STS", "8"},        {"FAULT", "0"}};
    return [values, special](const std::string &line) -> std::string {
        if (auto it = special.find(line); it != special.end()) {
            return it->second;
        }
        if (line.ends_with('?')) {
            std::string key = line.substr(0, line.size() - 1);
            return key + " " + (*values)[key] + "\r\n";
        }
        size_t blank = line.find(' ');
        if (blank != std::string::npos) {
            std::string value = line.substr(blank + 1);
            if (value.ends_with('V') || value.ends_with('A')) {
                value.pop_back();
            }
            (*values)[line.substr(0, blank)] = value;
        }
        return "";
    };
}

const auto TCP_OR_PTY = [](const auto &info) { return info.param ? "Pty" : "Tcp"; };

std::vector<std::string> with(std::vector<std::string> args, const std::string &endpoint) {
    args.insert(args.begin(), endpoint);
    return args;
}

struct SupplyCase {
    std::vector<std::string> commands;
    std::string wire;
    std::string out;
};

// clang-format off
const SupplyCase SUPPLY_CASES[] = {
    {{"set-volts", "12"}, "VSET 12.0000V\rVSET?\r",
     "set-volts 12.0000 V: sent; voltage set point reads back 12.0000 V\n"},
    {{"set-current", "7.5"}, "ISET 7.5000A\rISET?\r",
     "set-current 7.5000 A: sent; current set point reads back 7.5000 A\n"},
    {{"ovp", "45"}, "OVSET 45.0000V\rERR?\r", "ovp 45.0000 V: sent; error code reads back 0\n"},
    {{"vmax", "0"}, "VMAX 0.0000V\rERR?\r", "vmax 0.0000 V: sent; error code reads back 0\n"},
    {{"imax", "60"}, "IMAX 60.0000A\rERR?\r", "imax 60.0000 A: sent; error code reads back 0\n"},
    {{"on"}, "OUT 1\rOUT?\r", "on: sent; output state reads back 1 (on)\n"},
    {{"off"}, "OUT 0\rOUT?\r", "off: sent; output state reads back 0 (off)\n"},
    {{"clear"}, "CLR\rERR?\r", "clear: sent; error code reads back 0\n"},
    {{"reset"}, "RST\rERR?\r", "reset: sent; error code reads back 0\n"},
    {{"trigger"}, "TRG\rERR?\r", "trigger: sent; error code reads back 0\n"},
    {{"status"}, "IOUT?\rVOUT?\rISET?\rVSET?\rOUT?\rERR?\rASTS?\rSTS?\rFAULT?\r",
     "output current       1.2500 A\n"
     "output voltage       28.8000 V\n"
     "current set point    0.0000 A\n"
     "voltage set point    0.0000 V\n"
     "output state         0 (off)\n"
     "error code           0\n"
     "ASTS register        0 (0x0000)\n"
     "STS register         8 (0x0008)\n"
     "FAULT register       0 (0x0000)\n"},
    {{"off", "set-volts", "35.9", "on"}, "OUT 0\rOUT?\rVSET 35.9000V\rVSET?\rOUT 1\rOUT?\r",
     "off: sent; output state reads back 0 (off)\n"
     "set-volts 35.9000 V: sent; voltage set point reads back 35.9000 V\n"
     "on: sent; output state reads back 1 (on)\n"},
};
// clang-format on

class SupplyCommands : public ::testing::TestWithParam<bool> {};

TEST_P(SupplyCommands, SendEachCommandAndReadItBack) {
    for (const SupplyCase &c : SUPPLY_CASES) {
        StandIn supply(GetParam() ? Link::Pty : Link::Tcp, '\r', supplyAnswer());
        if (!supply.ready()) {
            GTEST_SKIP() << "no stand-in endpoint on this machine";
        }
        ToolRun run = runTool(ZOR_SUPPLY_TOOL, with(c.commands, supply.endpoint()));
        SCOPED_TRACE(c.commands[0]);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(supply.wire(), c.wire);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(OverTcpAndPty, SupplyCommands, ::testing::Bool(), TCP_OR_PTY);

struct Refusal {
    std::vector<std::string> args;
    int status;
    std::string message;
};

// Every bad value and bad command line is refused before anything is opened.
TEST(SupplyRefusals, NothingIsSent) {
    const Refusal cases[] = {
        {{"set-volts", "45"}, 4, "err: xfrSetVolts(45.000000) >= 45.000000\n"},
        {{"on", "set-volts", "-0.1"}, 4, "xfrSetVolts(-0.100000) >= 45.000000"},
        {{"set-current", "60.01"}, 4, "Assertion failed on line"},
        {{"imax", "-1"}, 4, "zor_supply: imax -1: value out of range; nothing sent\n"},
        {{"ovp", "45.5"}, 4, "err: xfrOverVoltSet(45.500000) > 45.000000\n"},
        {{"set-volts", "12abc"}, 4, "set-volts: \"12abc\" is not a number; nothing sent"},
        {{"set-current", "nan"}, 4, "\"nan\" is not a number"},
        {{"bogus"}, 64, "unknown command \"bogus\""},
        {{"status", "set-current"}, 64, "set-current needs a value"},
        {{}, 64, "no command given"},
        {{"--data-bits", "9", "on"}, 64, "--data-bits needs 5, 6, 7 or 8"},
    };
    StandIn supply(Link::Tcp, '\r', supplyAnswer());
    ASSERT_TRUE(supply.ready());
    for (const Refusal &c : cases) {
        ToolRun run = runTool(ZOR_SUPPLY_TOOL, with(c.args, supply.endpoint()));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(supply.connections(), 0);
    EXPECT_EQ(supply.wire(), "");
}

struct Failure {
    std::vector<std::string> commands;
    std::map<std::string, std::string> special;  // question -> answer
    int status;
    std::string wire;
    std::string err, out;  // parts of the output
};

// A setting that does not read back ends the run; later commands are not sent.
TEST(SupplyFailures, EndTheRunWithTheirStatus) {
    // clang-format off
    const Failure cases[] = {
        {{"set-volts", "12", "on"}, {{"VSET?", "ERR -113\r\n"}}, 3, "VSET 12.0000V\rVSET?\r",
         "set-volts: unreadable reply to the voltage set point query\n", ""},
        {{"set-current", "45", "on"}, {{"ISET?", "ISET 22.5000\r\n"}}, 6, "ISET 45.0000A\rISET?\r",
         "set-current 45.0000 A: the supply reads back 22.5000 A\n", "reads back 22.5000 A\n"},
        {{"on", "set-volts", "12"}, {{"OUT?", "OUT 0\r\n"}}, 6, "OUT 1\rOUT?\r",
         "on: the output state reads back 0\n", "on: sent; output state reads back 0 (off)\n"},
        {{"vmax", "44"}, {{"ERR?", "ERR -222\r\n"}}, 6, "VMAX 44.0000V\rERR?\r",
         "vmax 44.0000 V: the supply reports error code -222\n", ""},
        {{"status", "on"}, {{"ASTS?", "STS 4\r\n"}, {"ERR?", "E\r\n"}}, 3,
         "IOUT?\rVOUT?\rISET?\rVSET?\rOUT?\rERR?\rASTS?\rSTS?\rFAULT?\r",
         "status: not every value could be read\n",
         "error code           unreadable reply\nASTS register        no usable reply\n"
         "STS register         8 (0x0008)\n"},
    };
    // clang-format on
    for (const Failure &c : cases) {
        StandIn supply(Link::Tcp, '\r', supplyAnswer(c.special));
        ASSERT_TRUE(supply.ready());
        ToolRun run = runTool(ZOR_SUPPLY_TOOL, with(c.commands, supply.endpoint()));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(supply.wire(), c.wire);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    }
}

// Ten unanswered questions of 2 seconds each: the one slow supply case.
TEST(SupplySilent, StatusGivesUpAfterTheFirstUnansweredQuestion) {
    StandIn supply(Link::Tcp, '\r', [](const std::string &) { return std::string(); });
    ASSERT_TRUE(supply.ready());
    ToolRun run = runTool(ZOR_SUPPLY_TOOL, {supply.endpoint(), "status"}, 40000);
    EXPECT_EQ(run.status, 3);
    std::string tenQuestions;
    for (int i = 0; i < 10; ++i) {
        tenQuestions += "IOUT?\r";
    }
    EXPECT_EQ(supply.wire(), tenQuestions);
    EXPECT_TRUE(
        run.out.starts_with("output current       no reply\n"
                            "output voltage       not asked\n"))
        << run.out;
    EXPECT_NE(run.err.find("not every value could be read"), std::string::npos);
}

TEST(CannotOpen, EitherTool) {
    const std::string unused = "tcp:127.0.0.1:" + std::to_string(zortest::unusedLoopbackPort());
    for (const char *tool : {ZOR_SUPPLY_TOOL, ZOR_BATTERY_TOOL}) {
        for (const std::string &endpoint : {unused, std::string("/nonexistent/tty")}) {
            bool supply = std::string(tool) == ZOR_SUPPLY_TOOL;
            ToolRun run = runTool(tool, supply ? std::vector<std::string>{endpoint, "status"}
                                               : std::vector<std::string>{endpoint});
            EXPECT_EQ(run.status, 2) << tool << " " << endpoint;
            EXPECT_NE(run.err.find("cannot open endpoint \"" + endpoint + "\""), std::string::npos);
        }
    }
}

const std::string STATUS_REPLY = zortest::TYPICAL_REPLY;

// The charger's report of STATUS_REPLY, from its second line on (the first
// holds the time).
std::string reportAfterTime() {
    const std::string report = zortest::consoleReportOf(STATUS_REPLY.c_str(), 0);
    return report.substr(report.find('\n') + 1);
}

StandIn::Answer batteryAnswer(std::string reply) {
    return [reply](const std::string &line) { return line == "@RQ" ? reply : std::string(); };
}

struct BatteryCase {
    std::vector<std::string> options;
    std::string wire;
    int reports;
    std::string firstLine;  // of the output
};

class BatteryRequests : public ::testing::TestWithParam<bool> {};

TEST_P(BatteryRequests, SendOnlyWhatIsAskedAndPrintTheReport) {
    const BatteryCase cases[] = {
        {{}, "@RQ\n", 1, "time: "},
        {{"--enable"}, "@AC\n@RQ\n", 1, "sent \"@AC\\n\"\n"},
        {{"--switch-off"}, "@AF\n@RQ\n", 1, "sent \"@AF\\n\"\n"},
        {{"--watch", "0.05", "--count", "3"}, "@RQ\n@RQ\n@RQ\n", 3, "time: "},
    };
    for (const BatteryCase &c : cases) {
        StandIn battery(GetParam() ? Link::Pty : Link::Tcp, '\n', batteryAnswer(STATUS_REPLY));
        if (!battery.ready()) {
            GTEST_SKIP() << "no stand-in endpoint on this machine";
        }
        long before = time(nullptr);
        ToolRun run = runTool(ZOR_BATTERY_TOOL, with(c.options, battery.endpoint()));
        EXPECT_EQ(run.status, 0) << run.err;
        std::string wire = battery.wire();
        // A pty's output processing turns "\n" into "\r\n" on its way out.
        for (size_t at; (at = wire.find("\r\n")) != std::string::npos;) {
            wire.erase(at, 1);
        }
        EXPECT_EQ(wire, c.wire);
        EXPECT_EQ(run.out.substr(0, c.firstLine.size()), c.firstLine);
        int reports = 0;
        for (size_t at = 0; (at = run.out.find("time: ", at)) != std::string::npos; ++reports) {
            long stamp = atol(run.out.c_str() + at + 6);
            EXPECT_GE(stamp, before);
            EXPECT_LE(stamp, time(nullptr));
            at = run.out.find('\n', at) + 1;
            EXPECT_EQ(run.out.compare(at, reportAfterTime().size(), reportAfterTime()), 0)
                << run.out;
        }
        EXPECT_EQ(reports, c.reports);
    }
}

INSTANTIATE_TEST_SUITE_P(OverTcpAndPty, BatteryRequests, ::testing::Bool(), TCP_OR_PTY);

TEST(BatteryReplies, OnlyAStatusReplyIsAccepted) {
    const struct {
        std::string reply;
        std::vector<std::string> options;
        int status;
        std::string message;
    } cases[] = {
        {"", {}, 3, "zor_battery: no reply within 2 seconds\n"},
        {"ERR 0\r\n", {}, 3, "reply of 7 bytes, a status reply has 77: \"ERR 0\\r\\n\"\n"},
        {STATUS_REPLY + "x", {}, 3, "reply of 78 bytes, a status reply has 77"},
        // The link fails on the send or on the receive after the hang-up.
        {StandIn::HANG_UP, {"--watch", "0.05", "--count", "3"}, 5, "zor_battery: "},
        {"", {"--enable", "--switch-off"}, 64, "exclude each other"},
        {"", {"--watch", "0"}, 64, "--watch needs a number of seconds above 0"},
    };
    for (const auto &c : cases) {
        StandIn battery(Link::Tcp, '\n', batteryAnswer(c.reply));
        ASSERT_TRUE(battery.ready());
        ToolRun run = runTool(ZOR_BATTERY_TOOL, with(c.options, battery.endpoint()));
        EXPECT_EQ(run.status, c.status) << run.err;  // a closed peer must not kill the tool
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// A bad command line ends zor_sim with EX_USAGE (ports 0 in case it listened).
TEST(SimRefusals, ExitWithTheUsageStatus) {
    for (const char *bad : {"--speed=0x10", "--drop=3:x", "--lengths=,", "--seed=-1", "-x", "x"}) {
        ToolRun run = runTool(ZOR_SIM_TOOL, {"--supply-port=0", "--battery-port=0", bad}, 3000);
        EXPECT_EQ(run.status, 64) << bad << ": " << run.err;
    }
}

// The commissioning sequence against the simulated bench: check the supply,
// set it up, wake the battery and read its report.
class SimulatedBench : public ::testing::TestWithParam<bool> {};

TEST_P(SimulatedBench, CommissionsBothInstruments) {
    zorsim::Options options;
    options.supplyPort = options.batteryPort = 0;
    options.supplyPty = options.batteryPty = GetParam();
    zorsim::Bench bench(options);
    std::string why;
    if (!bench.start(&why)) {
        GTEST_SKIP() << why;
    }
    ToolRun supply = runTool(ZOR_SUPPLY_TOOL, {bench.supplyEndpoint(), "clear", "set-volts", "35.9",
                                               "set-current", "45", "on", "status"});
    EXPECT_EQ(supply.status, 0) << supply.err;
    EXPECT_NE(supply.out.find("output state         1 (on)\n"), std::string::npos) << supply.out;
    std::string lines;
    for (const std::string &line : bench.received(zorsim::Instrument::Supply)) {
        lines += line;
    }
    EXPECT_TRUE(
        lines.starts_with("CLR\rERR?\rVSET 35.9000V\rVSET?\rISET 45.0000A\rISET?\r"
                          "OUT 1\rOUT?\rIOUT?\r"))
        << lines;
    ToolRun battery = runTool(ZOR_BATTERY_TOOL, {"--enable", bench.batteryEndpoint()});
    EXPECT_EQ(battery.status, 0) << battery.err;
    EXPECT_NE(battery.out.find("Battery Enable: On\n"), std::string::npos) << battery.out;
    EXPECT_EQ(bench.counters().enables, 1);
    EXPECT_EQ(bench.counters().statusRequests, 1);
}

INSTANTIATE_TEST_SUITE_P(OverTcpAndPty, SimulatedBench, ::testing::Bool(), TCP_OR_PTY);

// A data log with a line at each {seconds after the first, balance register}.
std::string dataLog(const std::vector<std::pair<int, std::string>> &lines) {
    std::string text;
    for (const auto &[at, balance] : lines) {
        text += std::to_string(1700000000 + at) + ",55.00,22.50,41," + balance + ", 0, 0,8408\n";
    }
    return text;
}

bool hasGnuplot() {
    return system("command -v gnuplot >/dev/null") == 0;
}

// 14 s between two lines is no hole yet, 15 s is; a hole is listed at its
// start, after a stage change at the same line; the longest is not the last.
TEST(Plot, ListsStageChangesAndHolesInTimeOrder) {
    if (!hasGnuplot()) {
        GTEST_SKIP() << "no gnuplot on this machine";
    }
    const struct {
        std::string log;
        int status;
        std::string out, err;
    } cases[] = {
        {dataLog({{0, " 0"}, {5, "1a"}, {66, " 0"}, {81, " 0"}, {95, "2b"}, {100, " 0"}}), 0,
         "00:05  balance 1a  stage 1: 22.5 A charge current\n"
         "00:05  no reply for 61 s\n"
         "01:06  no reply for 15 s\n"
         "01:35  balance 2b  stage 2: 12.5 A charge current\n"
         "6 lines over 1.7 min, 2 holes with no reply, the longest 61 s\n",
         ""},
        {"not,a,data,log\n", 1, "", "zor_plot: no data log lines\n"},
    };
    for (const auto &c : cases) {
        zortest::TempDir dir;
        std::ofstream(dir.path() + "/charge.log") << c.log;
        const std::string png = dir.path() + "/charge.png";
        ToolRun run = runTool(ZOR_PLOT_TOOL, {dir.path() + "/charge.log", png});
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, c.out.empty() ? "" : c.out + "plot: " + png + "\n");
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(zortest::readFile(png).starts_with("\x89PNG\r\n"), c.status == 0);
        if (c.status == 0) {  // as text, the holes filled with bars that the key names
            ToolRun text = runTool(ZOR_PLOT_TOOL, {"--terminal", dir.path() + "/charge.log"});
            EXPECT_TRUE(text.out.ends_with(c.out) &&
                        text.out.find("no reply (15 s or more)") != std::string::npos)
                << text.out;
        }
    }
}

// --follow waits for the data log, replaces the PNG when the log grows (a new
// file renamed over it, so a new inode) and ends on SIGTERM with status 0,
// leaving only the log and the PNG.
TEST(Plot, FollowsAGrowingDataLogUntilTerminated) {
    if (!hasGnuplot()) {
        GTEST_SKIP() << "no gnuplot on this machine";
    }
    zortest::TempDir dir, tmp, output;
    const std::string log = dir.path() + "/1700000000zor.log", png = dir.path() + "/watch.png";
    zortest::Child tool({"/usr/bin/env", "ZOR_PLOT_INTERVAL=0.2", "TMPDIR=" + tmp.path(),
                         ZOR_PLOT_TOOL, "--follow", log, png},
                        output.path(), output.path() + "/out");
    auto printed = [&] { return zortest::readFile(output.path() + "/out"); };
    auto inode = [&] {
        struct stat info {};
        return stat(png.c_str(), &info) == 0 ? info.st_ino : 0;
    };
    ASSERT_TRUE(zortest::waitFor(std::chrono::seconds(5), [&] {
        return printed() == "zor_plot: waiting for " + log + " to appear\n";
    })) << printed();
    std::ofstream(log) << dataLog({{0, " 0"}, {5, " 0"}});
    ASSERT_TRUE(zortest::waitFor(std::chrono::seconds(5), [&] { return inode() != 0; }));
    const auto first = inode();
    std::ofstream(log, std::ios::app) << dataLog({{65, " 0"}});
    EXPECT_TRUE(zortest::waitFor(std::chrono::seconds(5), [&] {
        return inode() != first &&
               printed().ends_with(
                   "00:05  no reply for 60 s\n"
                   "3 lines over 1.1 min, 1 hole with no reply, the longest 60 s\n");
    })) << printed();
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(std::chrono::seconds(3)), 0);
    // Ctrl-C ends it as well, here while it waits for a data log.
    zortest::Child waiting({ZOR_PLOT_TOOL, "--follow", dir.path() + "/later.log"}, output.path(),
                           output.path() + "/waiting");
    EXPECT_TRUE(zortest::waitFor(std::chrono::seconds(5), [&] {
        return !zortest::readFile(output.path() + "/waiting").empty();
    }));
    waiting.signal(SIGINT);
    EXPECT_EQ(waiting.wait(std::chrono::seconds(3)), 0);
    std::vector<std::string> left;
    for (const std::string &folder : {dir.path(), tmp.path()}) {
        for (const auto &entry : std::filesystem::directory_iterator(folder)) {
            left.push_back(entry.path().filename());
        }
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"1700000000zor.log", "watch.png"}));
}

}  // namespace
