// The real zor_charger against the real zor_sim on the charger's built-in
// loopback endpoints, directly and through ser2net.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using namespace std::chrono_literals;
using zortest::Child;
using zortest::loopbackPortOf;
using zortest::waitFor;

// What an instrument received, as the bench recorded it (escaped text).
std::vector<std::string> received(const std::string &simLog, const std::string &instrument) {
    std::vector<std::string> lines;
    std::istringstream in(zortest::readFile(simLog));
    std::regex record("^ *[0-9.]+ " + instrument + " +<- \"(.*)\".*$");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_match(line, m, record)) {
            lines.push_back(m[1]);
        }
    }
    return lines;
}

class ChargeRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (loopbackPortOf(ZOR_SUPPLY_ENDPOINT) == 0 || loopbackPortOf(ZOR_BATTERY_ENDPOINT) == 0) {
            GTEST_SKIP() << "the charger was built for other endpoints";
        }
        simLog = dir.path() + "/sim.log";
    }

    // Starts zor_sim with `extra` options and waits for its ready marker.
    void startSim(std::vector<std::string> extra) {
        std::vector<std::string> argv = {ZOR_SIM_BIN,
                                         "--speed",
                                         "400",
                                         "--line-rate",
                                         "9600",
                                         "--log",
                                         simLog,
                                         "--supply-port",
                                         std::to_string(loopbackPortOf(ZOR_SUPPLY_ENDPOINT)),
                                         "--battery-port",
                                         std::to_string(loopbackPortOf(ZOR_BATTERY_ENDPOINT))};
        argv.insert(argv.end(), extra.begin(), extra.end());
        sim = std::make_unique<Child>(argv, dir.path(), dir.path() + "/sim.out");
        ASSERT_TRUE(waitFor(10s, [&] {
            return zortest::readFile(dir.path() + "/sim.out").find("zor_sim ready:") !=
                       std::string::npos ||
                   !sim->running();
        }));
        ASSERT_TRUE(sim->running()) << zortest::readFile(dir.path() + "/sim.out");
    }

    // Runs the charger until the battery was told off and the current that
    // follows arrived, then stops it. It runs under the installed unit's
    // system-call filter: a call the unit refuses kills it and fails the run.
    void chargeToTheEnd() {
        Child charger({ZOR_UNIT_FILTER_BIN, ZOR_INSTALLED_UNIT, ZOR_CHARGER_BIN}, dir.path(),
                      dir.path() + "/charger.out");
        bool ended = waitFor(90s, [&] {
            std::string log = zortest::readFile(simLog);
            size_t off = log.find("\"@AF\\n\"");
            return (off != std::string::npos && log.find("ISET", off) != std::string::npos) ||
                   !charger.running();
        });
        charger.stop();
        sim->stop();
        ASSERT_TRUE(ended);
        ASSERT_NE(zortest::readFile(simLog).find("\"@AF\\n\""), std::string::npos)
            << "exit status " << charger.wait(0ms) << " (159: killed by the filter)\n"
            << zortest::readFile(dir.path() + "/charger.out").substr(0, 2000);
    }

    std::vector<std::string> dataLog() {
        std::vector<std::string> lines;
        std::istringstream in(zortest::dataLogIn(dir.path()));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    zortest::TempDir dir;
    std::string simLog;
    std::unique_ptr<Child> sim;
};

TEST_F(ChargeRunTest, ReachesTheEndOfChargeOverLoopbackTcp) {
    startSim({});
    chargeToTheEnd();

    std::vector<std::string> supply = received(simLog, "supply");
    const std::vector<std::string> startUp = {"CLR\\r", "OUT 0\\r", "VSET 35.9000V\\r",
                                              "ISET 45.0000A\\r", "OUT 1\\r"};
    ASSERT_GT(supply.size(), startUp.size());
    EXPECT_EQ(std::vector<std::string>(supply.begin(), supply.begin() + 5), startUp);
    std::vector<std::string> steps;
    for (size_t i = 5; i < supply.size(); ++i) {
        if (steps.empty() || steps.back() != supply[i]) {
            steps.push_back(supply[i]);
        }
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"ISET 45.0000A\\r", "ISET 22.5000A\\r",
                                               "ISET 12.5000A\\r", "ISET 7.5000A\\r"}));

    std::vector<std::string> battery = received(simLog, "battery");
    ASSERT_GE(battery.size(), 6u);
    EXPECT_EQ(battery.front(), "@AC\\n");
    EXPECT_EQ(battery.back(), "@AF\\n");
    EXPECT_EQ(std::count(battery.begin(), battery.end(), "@AF\\n"), 1);
    EXPECT_EQ(std::count(battery.begin(), battery.end(), "@RQ\\n"),
              static_cast<long>(battery.size()) - 2);

    // One line per accepted poll: each accepted poll sends the current once.
    std::vector<std::string> lines = dataLog();
    EXPECT_EQ(lines.size(), supply.size() - startUp.size());
    std::regex wellFormed(
        "^[0-9]+,[0-9]+\\.[0-9]{2},-?[0-9]+\\.[0-9]{2},[0-9]+,( [0-9a-f]|[0-9a-f]{2,}),"
        "( [0-9a-f]|[0-9a-f]{2,}),( [0-9a-f]|[0-9a-f]{2,}),( [0-9a-f]|[0-9a-f]{2,})$");
    for (const std::string &line : lines) {
        EXPECT_TRUE(std::regex_match(line, wellFormed)) << line;
    }
}

TEST_F(ChargeRunTest, ReachesTheEndOfChargeThroughSer2net) {
    if (!zortest::Ser2net::installed()) {
        GTEST_SKIP() << "ser2net is not installed (bash scripts/setup.sh installs it)";
    }
    // Both instruments on pseudo-terminals behind ser2net, on the charger's
    // own ports, as on a real bench.
    startSim({"--supply-pty", "--battery-pty"});
    std::string out = zortest::readFile(dir.path() + "/sim.out");
    std::smatch supplyPty, batteryPty;
    ASSERT_TRUE(std::regex_search(out, supplyPty, std::regex("supply pty: (\\S+)")) &&
                std::regex_search(out, batteryPty, std::regex("battery pty: (\\S+)")))
        << out;
    zortest::Ser2net server;
    std::string why;
    ASSERT_TRUE(server.start(supplyPty[1], batteryPty[1], loopbackPortOf(ZOR_SUPPLY_ENDPOINT),
                             loopbackPortOf(ZOR_BATTERY_ENDPOINT), &why))
        << why;

    chargeToTheEnd();
    std::vector<std::string> battery = received(simLog, "battery");
    ASSERT_FALSE(battery.empty());
    EXPECT_EQ(battery.front(), "@AC\\n");
    EXPECT_GE(std::count(battery.begin(), battery.end(), "@RQ\\n"), 4);
    EXPECT_GE(dataLog().size(), 4u);
}

}  // namespace
