// The real zor_charger against the real zor_sim on the charger's built-in
// loopback endpoints, directly and through ser2net.
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>
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

// The samples of a metrics file, each as "NAME{LABELS}" to its value as
// Prometheus's Python client parses them, and "on the page" (those that the
// node exporter's page at `url` serves as they are in the file) and
// "node_textfile_scrape_error" from the page. Empty when either cannot be read.
constexpr char NODE_EXPORTER[] = "/usr/bin/prometheus-node-exporter";
constexpr char PARSE_SAMPLES[] = R"(import sys, urllib.request
from prometheus_client.parser import text_string_to_metric_families as families
def samples(text):
    return {s.name + ("{" + ",".join('%s="%s"' % kv for kv in sorted(s.labels.items())) + "}"
                      if s.labels else ""): s.value for f in families(text) for s in f.samples}
exporter = urllib.request.build_opener(urllib.request.ProxyHandler({}))
page = samples(exporter.open(sys.argv[2]).read().decode())
file = samples(open(sys.argv[1]).read())
file["node_textfile_scrape_error"] = page["node_textfile_scrape_error"]
file["on_the_page"] = sum(page.get(name) == value for name, value in file.items()) - 1
for name, value in file.items():
    print(name, repr(value))
)";

std::map<std::string, double> samples(const std::string &file, const std::string &url) {
    std::string command =
        "/usr/bin/python3 - " + file + " " + url + " <<'EOF'\n" + PARSE_SAMPLES + "EOF\n";
    std::map<std::string, double> values;
    FILE *out = popen(command.c_str(), "r");
    char name[256];
    double value;
    while (fscanf(out, "%255s %lf", name, &value) == 2) {
        values[name] = value;
    }
    return pclose(out) == 0 ? values : std::map<std::string, double>{};
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
        setenv("STATE_DIRECTORY", dir.path().c_str(), 1);  // its writes pass the filter too
        if (notify) {
            setenv("NOTIFY_SOCKET", socket.c_str(), 1);
            setenv("WATCHDOG_USEC", std::to_string(WATCHDOG_USEC).c_str(), 1);
        }
        Child charger({ZOR_UNIT_FILTER_BIN, ZOR_INSTALLED_UNIT, ZOR_CHARGER_BIN}, dir.path(),
                      dir.path() + "/charger.out");
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("STATE_DIRECTORY");
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
        EXPECT_NE(zortest::readFile(dir.path() + "/charge.state").find("stage 3\nended 1\n"),
                  std::string::npos);
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
    // The metrics file, read in a tight loop for 20 ms from each change in its
    // folder (so the loop spins only while the charger writes): each read a
    // whole file.
    const std::string runtime = dir.path() + "/run", prom = runtime + "/zor_charger.prom";
    std::filesystem::create_directory(runtime);
    setenv("RUNTIME_DIRECTORY", runtime.c_str(), 1);
    std::atomic<bool> charging{true};
    long reads = 0, partial = 0;
    zortest::UniqueFd changes(inotify_init1(IN_CLOEXEC));
    ASSERT_GE(inotify_add_watch(changes.get(), runtime.c_str(),
                                IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_CLOSE_WRITE),
              0);
    std::thread reader([&] {
        for (char events[4096]; read(changes.get(), events, sizeof events) > 0 && charging;) {
            for (auto end = std::chrono::steady_clock::now() + 20ms;
                 std::chrono::steady_clock::now() < end;) {
                std::string text = zortest::readFile(prom);
                reads += !text.empty();
                partial += !text.empty() &&
                           (!text.starts_with("# HELP ") || !text.ends_with("\n") ||
                            text.find("\nzor_process_start_time_seconds ") == std::string::npos);
            }
        }
    });
    chargeToTheEnd(true);
    charging = false;
    std::filesystem::create_directory(runtime + "/stop");  // a change that wakes the reader
    reader.join();
    unsetenv("RUNTIME_DIRECTORY");
    EXPECT_GT(reads, 0);
    EXPECT_EQ(partial, 0) << "of " << reads << " reads";

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

    // The metrics file after the last poll: what the data log's last line says,
    // the schedule's end, every poll counted; clean for promtool's lint and
    // served as it is by the real node exporter.
    if (access(NODE_EXPORTER, X_OK) != 0 || access("/usr/bin/promtool", X_OK) != 0 ||
        system("/usr/bin/python3 -c 'import prometheus_client'") != 0) {
        GTEST_SKIP()
            << "no node exporter, promtool or Python client (scripts/setup.sh installs them)";
    }
    EXPECT_EQ(system(("promtool check metrics <" + prom + " >&2").c_str()), 0);
    const int port = zortest::unusedLoopbackPort();
    Child exporter({NODE_EXPORTER, "--collector.disable-defaults", "--collector.textfile",
                    "--collector.textfile.directory=" + runtime,
                    "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                   dir.path(), dir.path() + "/exporter.out");
    ASSERT_TRUE(waitFor(10s, [&] { return zortest::loopbackAccepts(port); }));
    std::map<std::string, double> m =
        samples(prom, "http://127.0.0.1:" + std::to_string(port) + "/metrics");
    double t, gas, amps, rh;
    unsigned balance, tempAlert, voltAlert, status;
    ASSERT_EQ(sscanf(lines.back().c_str(), "%lf,%lf,%lf,%lf,%x,%x,%x,%x", &t, &gas, &amps, &rh,
                     &balance, &tempAlert, &voltAlert, &status),
              8);
    const std::string polled = "zor_polls_total{outcome=";
    // Another test's stand-in for /dev/log may stall meanwhile: then ours are dropped too.
    const bool loggerStalled =
        zortest::readFile(dir.path() + "/charger.out").find("system log not taking messages") !=
        std::string::npos;
    for (auto [name, want, within] : std::vector<std::tuple<std::string, double, double>>{
             {"zor_battery_last_reply_timestamp_seconds", t, 1},
             {"zor_battery_charge_ratio", gas / 100, 1e-9},
             {"zor_battery_current_amperes", amps, 1e-9},
             {"zor_battery_relative_humidity_ratio", rh / 100, 1e-9},
             {"zor_battery_balance_register", balance, 0},
             {"zor_battery_temperature_alert_register", tempAlert, 0},
             {"zor_battery_voltage_alert_register", voltAlert, 0},
             {"zor_battery_status_register", status, 0},
             {"zor_charge_stage", 4, 0},
             {"zor_charge_current_setpoint_amperes", 7.5, 0},
             {"zor_charge_ended", 1, 0},
             {"zor_charge_current_flowing", 1, 0},  // the battery is off by design
             {"zor_charge_current_stop_cause{cause=\"unknown\"}", 0, 0},
             {"zor_link_up{instrument=\"battery\"}", 1, 0},
             {"zor_link_up{instrument=\"supply\"}", 1, 0},
             {polled + "\"accepted\"}", lines.size(), 0},
             {polled + "\"other_length\"}", 0, 0},
             {polled + "\"no_reply\"}", polls - lines.size(), 0},
             {"zor_system_log_messages_dropped_total", 0, loggerStalled ? 1e9 : 0},
             {"zor_console_lines_dropped_total", 0, 0},
             {"zor_data_log_lines_kept", 0, 0},
             {"zor_data_log_lines_lost_total", 0, 0},
             {"zor_process_start_time_seconds", atof(lines.front().c_str()) - 10, 10},
             {"node_textfile_scrape_error", 0, 0},
             {"on_the_page", m.size() - 2, 0}}) {  // every sample of the file
        EXPECT_NEAR(m.count(name) ? m[name] : NAN, want, within) << name;
    }
    EXPECT_GE(m.size(), 40u);
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
