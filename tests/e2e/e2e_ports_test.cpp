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
    // A notify socket of the test's own listens; with `notify` the charger
    // is told of it, and of a watchdog.
    void chargeToTheEnd(bool notify) {
        const std::string socket = dir.path() + "/notify";
        zortest::NotifyListener manager(socket);
        ASSERT_TRUE(manager.valid());
        if (notify) {
            setenv("NOTIFY_SOCKET", socket.c_str(), 1);
            setenv("WATCHDOG_USEC", std::to_string(WATCHDOG_USEC).c_str(), 1);
        }
        Child charger({ZOR_UNIT_FILTER_BIN, ZOR_INSTALLED_UNIT, ZOR_CHARGER_BIN}, dir.path(),
                      dir.path() + "/charger.out");
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        bool ended = waitFor(90s, [&] {
            std::string log = zortest::readFile(simLog);
            if (awakeAt == std::chrono::steady_clock::time_point() &&
                log.find("\"@AC\\n\"") != std::string::npos) {
                awakeAt = std::chrono::steady_clock::now();
            }
            size_t off = log.find("\"@AF\\n\"");
            return (off != std::string::npos && log.find("ISET", off) != std::string::npos) ||
                   !charger.running();
        });
        // That poll tells the service manager of the end only after its
        // current went out: give it the moment before stopping the charger.
        if (notify && ended) {
            waitFor(5s, [&] {
                std::vector<zortest::NotifyListener::Datagram> heard = manager.datagrams();
                return (!heard.empty() &&
                        heard.back().text.find("STATUS=end of charge") != std::string::npos) ||
                       !charger.running();
            });
        }
        charger.stop();
        sim->stop();
        notifications = manager.datagrams();
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

    static constexpr long WATCHDOG_USEC = 20000000;
    zortest::TempDir dir;
    std::string simLog;
    std::unique_ptr<Child> sim;
    std::vector<zortest::NotifyListener::Datagram> notifications;
    std::chrono::steady_clock::time_point awakeAt;  // when the bench had "@AC", as seen
};

TEST_F(ChargeRunTest, ReachesTheEndOfChargeOverLoopbackTcp) {
    startSim({});
    chargeToTheEnd(true);

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

    // The service manager hears READY=1 once the battery is awake, a status
    // after every poll, and the watchdog at least twice per its interval.
    ASSERT_FALSE(notifications.empty());
    EXPECT_TRUE(notifications[0].text.starts_with("READY=1\n")) << notifications[0].text;
    EXPECT_GE(notifications[0].at, awakeAt - 300ms) << "ready only after \"@AC\" went out";
    auto last = notifications[0].at;
    long statuses = 0;
    for (const auto &[at, text] : notifications) {
        SCOPED_TRACE(text);
        EXPECT_EQ(&text == &notifications[0].text, text.find("READY=1") != std::string::npos);
        statuses += text.find("\nSTATUS=stage ") != std::string::npos ||
                    text.find("\nSTATUS=end of charge, 7.5 A, gas gauge ") != std::string::npos;
        if (&text != &notifications[0].text) {
            EXPECT_TRUE(text.starts_with("WATCHDOG=1\nSTATUS="));
            EXPECT_LE(at - last, std::chrono::microseconds(WATCHDOG_USEC / 2));
            last = at;
        }
        EXPECT_LT(text.size() - text.find("STATUS="), 107u) << "a line read at a glance";
    }
    const long polls = std::count(battery.begin(), battery.end(), "@RQ\\n");
    EXPECT_GE(statuses, polls) << "a status after every poll, and READY's";
    EXPECT_LE(statuses, polls + 1);
    EXPECT_NE(notifications.back().text.find("STATUS=end of charge, 7.5 A, gas gauge "),
              std::string::npos);
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

    chargeToTheEnd(false);
    EXPECT_TRUE(notifications.empty()) << "without NOTIFY_SOCKET, nothing is sent";
    std::vector<std::string> battery = received(simLog, "battery");
    ASSERT_FALSE(battery.empty());
    EXPECT_EQ(battery.front(), "@AC\\n");
    EXPECT_GE(std::count(battery.begin(), battery.end(), "@RQ\\n"), 4);
    EXPECT_GE(dataLog().size(), 4u);
}

}  // namespace
