#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/stand_in.h"
#include "tests/support/status_reply.h"
#include "tests/support/test_support.h"
#include "zor_charger/zor_charger.h"

// The charger's writes to a stall row's console: counted when they could block;
// while `slow`, eight in nine would block and the ninth takes 32 bytes at most,
// as for a reader far behind; once `gone`, each fails as on a closed pipe.
static struct {
    dev_t dev;
    ino_t ino;
    bool slow, gone;
    long calls, blocking;
} console;
extern "C" ssize_t write(int fd, const void *text, size_t size) {
    static auto real =
        reinterpret_cast<ssize_t (*)(int, const void *, size_t)>(dlsym(RTLD_NEXT, "write"));
    struct stat st;
    if (console.ino == 0 || fstat(fd, &st) != 0 || st.st_dev != console.dev ||
        st.st_ino != console.ino) {
        return real(fd, text, size);
    }
    console.blocking += (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0;
    if (console.gone || (console.slow && ++console.calls % 9 != 0)) {
        errno = console.gone ? EPIPE : EAGAIN;
        return -1;
    }
    return real(fd, text, console.slow ? std::min<size_t>(size, 32) : size);
}

// The state's writes in place fail while set, as on a disk giving I/O errors.
static bool stateWritesFail;
extern "C" ssize_t pwrite(int fd, const void *text, size_t size, off_t at) {
    static auto real = reinterpret_cast<decltype(&pwrite)>(dlsym(RTLD_NEXT, "pwrite"));
    errno = EIO;
    return stateWritesFail ? -1 : real(fd, text, size, at);
}

namespace {

using zortest::Link;
using zortest::noSleep;
using zortest::occurrences;
using zortest::StandIn;

const std::string CLOSE_LINK = zortest::StandIn::HANG_UP;  // scripted: the battery hangs up
const std::string NO_REPLY = "";                           // scripted: the receive times out

// The sample reply with the balance register given, and by default the
// current and the status of a charge that flows (45.00 A, Battery Enable on).
std::string replyWith(int balance, int centiamps = 4500, int status = 0x8408) {
    char hex[16];
    snprintf(hex, sizeof hex, "%02X%04X%04X", balance, centiamps & 0xFFFF, status);
    std::string reply = zortest::KNOWN_REPLY;
    reply.replace(zortest::fieldOffset(20), 2, hex, 2);
    reply.replace(zortest::fieldOffset(9), 4, hex + 2, 4);
    return reply.replace(zortest::fieldOffset(23), 4, hex + 6, 4);
}

// Both instruments on loopback. The battery answers each "@RQ" with the next
// scripted reply. merged has "B:" or "S:" and each command in the order the
// kernel stamped their arrival, whichever stand-in's thread read first; only
// the commands that carry a stamp.
class Bench {
  public:
    explicit Bench(std::vector<std::string> script, StandIn::Answer supply = {})
        : battery_(Link::Tcp, '\n',
                   [script = std::move(script),
                    next = size_t{0}](const std::string &line) mutable -> std::string {
                       return line == "@RQ" && next < script.size() ? script[next++] : "";
                   }),
          supply_(Link::Tcp, '\r', std::move(supply)) {}
    void finish() {
        battery_.finish();
        supply_.finish();
        commands[BATTERY] = battery_.lines();
        commands[SUPPLY] = supply_.lines();
        std::vector<std::pair<long long, std::string>> arrivals;
        for (auto [link, prefix] : {std::pair{&battery_, "B:"}, std::pair{&supply_, "S:"}}) {
            for (const auto &[when, command] : link->stampedLines()) {
                arrivals.emplace_back(when, prefix + command);
            }
        }
        std::stable_sort(arrivals.begin(), arrivals.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        merged.clear();
        for (const auto &[when, command] : arrivals) {
            merged.push_back(command);
        }
    }
    std::string endpoint(int link) const {
        return (link == BATTERY ? battery_ : supply_).endpoint();
    }
    bool connected(int link) const {
        return (link == BATTERY ? battery_ : supply_).connections() > 0;
    }

    static constexpr int BATTERY = 0, SUPPLY = 1;
    std::vector<std::string> commands[2];
    std::vector<std::string> merged;

  private:
    StandIn battery_, supply_;
};

const std::vector<std::string> SET_UP = {"CLR\r", "OUT 0\r", "VSET 35.9000V\r", "ISET 45.0000A\r",
                                         "OUT 1\r"};

class ChargeRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(getcwd(home_, sizeof home_), nullptr);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);  // the data log lands here
    }
    void TearDown() override {
        unsetenv("ZOR_SILENCE_HOLD_SECONDS");
        unsetenv("ZOR_CHARGE_LIMIT_MINUTES");
        unsetenv("STATE_DIRECTORY");
        ASSERT_EQ(chdir(home_), 0);
    }

    // Runs the charge for `polls` polls; the console texts land in out/err.
    int run(Bench &bench, long polls, std::string supply = "", std::string battery = "") {
        supply = supply.empty() ? bench.endpoint(Bench::SUPPLY) : supply;
        battery = battery.empty() ? bench.endpoint(Bench::BATTERY) : battery;
        ChargeRunOptions options{supply.c_str(), battery.c_str(), noSleep, polls,
                                 nullptr,        recordStage,     this,    &stop};
        zortest::StdCapture capture;
        int result = runCharge(&options);
        capture.stop();
        bench.finish();
        out = capture.out();
        err = capture.err();
        return result;
    }
    std::string dataLog() const { return zortest::dataLogIn(dir_.path()); }
    static void recordStage(const ChargeState *state, void *test) {
        auto *t = static_cast<ChargeRunTest *>(test);
        t->stages.push_back(state->ChargeStage);
        t->statuses.push_back(chargeStatusLine(state, state->lastReplyAtMs));
        if (t->afterPoll) {
            t->afterPoll(state->polls);
        }
    }

    zortest::TempDir dir_;
    char home_[4096];
    std::vector<int> stages;
    std::vector<std::string> statuses;
    volatile sig_atomic_t stop = 0;
    std::function<void(long poll)> afterPoll;
    std::string out, err;
};

TEST_F(ChargeRunTest, StartUpAndScheduleEdges) {
    Bench bench({replyWith(0), replyWith(0xFF), replyWith(0), replyWith(0x01), replyWith(0xFE),
                 replyWith(0xFF), replyWith(0xFF), replyWith(0xFF)});
    closelog();  // the logger's socket comes and goes with other tests' stand-in loggers
    int descriptors = zortest::openDescriptorCount();
    ASSERT_EQ(run(bench, 8), 0);
    closelog();
    EXPECT_EQ(zortest::openDescriptorCount(), descriptors) << "the run closes what it opened";

    EXPECT_EQ(stages, (std::vector<int>{0, 1, 1, 2, 2, 3, 3, 3}));
    std::vector<std::string> supply = SET_UP;
    for (const char *amps : {"45.0", "22.5", "22.5", "12.5", "12.5", "7.5", "7.5", "7.5"}) {
        supply.push_back(std::string("ISET ") + amps + "000A\r");
    }
    EXPECT_EQ(bench.commands[Bench::SUPPLY], supply);
    std::vector<std::string> battery = {"@AC\n"};
    for (int poll = 1; poll <= 8; ++poll) {
        battery.push_back("@RQ\n");
        if (poll >= 7) {
            battery.push_back("@AF\n");
        }
    }
    EXPECT_EQ(bench.commands[Bench::BATTERY], battery);
    std::vector<std::string> endOfCharge;
    std::copy_if(bench.merged.begin(), bench.merged.end(), std::back_inserter(endOfCharge),
                 [](const std::string &c) { return c == "B:@AF\n" || c == "S:ISET 7.5000A\r"; });
    EXPECT_EQ(endOfCharge,
              (std::vector<std::string>{"S:ISET 7.5000A\r", "B:@AF\n", "S:ISET 7.5000A\r",
                                        "B:@AF\n", "S:ISET 7.5000A\r"}));

    EXPECT_EQ(occurrences(out, "\n****reducing charge current to "), 3u);
    EXPECT_EQ(occurrences(out,
                          "turning battery off at end of charge\n\n****setting charge current "
                          "to 7.500000\n\n"),
              2u);
    EXPECT_EQ(occurrences(dataLog(), "\n"), 8u);
}

TEST_F(ChargeRunTest, RejectedRepliesNeverSendACurrent) {
    std::string reply = replyWith(0x01);
    Bench bench({reply.substr(1), reply + "x", reply + "xy", NO_REPLY, reply});
    ASSERT_EQ(run(bench, 5), 0);
    std::vector<std::string> supply = SET_UP;
    supply.push_back("ISET 22.5000A\r");
    EXPECT_EQ(bench.commands[Bench::SUPPLY], supply);
    EXPECT_EQ(stages, (std::vector<int>{0, 0, 0, 0, 1}));
    for (const char *status : {"76", "78", "79", "0", "77"}) {
        EXPECT_EQ(occurrences(out, std::string("status is ") + status + "\n"), 1u) << status;
    }
    EXPECT_EQ(occurrences(dataLog(), "\n"), 1u);
}

TEST_F(ChargeRunTest, PollLinesOfAnAcceptedAndARejectedReply) {
    std::string reply = replyWith(0);
    Bench bench({reply, reply.substr(1)});
    ASSERT_EQ(run(bench, 2), 0);
    // At the data log line's report time.
    const std::string report = zortest::consoleReportOf(reply.c_str(), atoll(dataLog().c_str()));
    const std::string ask = "sending status request\nwaiting for reply\ncalling select\n";
    EXPECT_EQ(out, ask + "select returned 1\nstatus is 77\nresponse is " + reply + "\n" + report +
                       "\n****setting charge current to 45.000000\n\ngoing to sleep\nwaking up\n" +
                       ask + "select returned 1\nstatus is 76\ngoing to sleep\nwaking up\n");
}

TEST_F(ChargeRunTest, BatteryHangingUpDoesNotStopTheLoop) {
    Bench bench({replyWith(0), CLOSE_LINK});
    ASSERT_EQ(run(bench, 4), 0);
    std::vector<std::string> supply = SET_UP;
    supply.push_back("ISET 45.0000A\r");
    EXPECT_EQ(bench.commands[Bench::SUPPLY], supply);
    EXPECT_EQ(stages.size(), 4u);
}

// A notify socket by an abstract name hears the run and a lost link, not a
// watchdog of another process's; one that is not there costs one line on the
// standard error stream for the run, and no poll. So does a metrics file
// whose name a folder takes, until it goes after the first poll; a metrics
// file named on its own goes before the runtime folders, and is replaced
// whole, for all to read.
TEST_F(ChargeRunTest, ServiceManagerByAbstractNameOrNone) {
    const std::string abstract = "@zor-notify-" + std::to_string(getpid());
    const std::string runtime = dir_.path() + "/run", named = dir_.path() + "/named.prom";
    setenv("RUNTIME_DIRECTORY", (runtime + ":" + dir_.path()).c_str(), 1);
    std::filesystem::create_directories(runtime + "/zor_charger.prom");
    const mode_t umaskWas = umask(077);
    struct stat first {};
    for (const std::string &name : {abstract, dir_.path() + "/absent"}) {
        SCOPED_TRACE(name);
        zortest::NotifyListener manager(name == abstract ? name : "");
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        setenv("WATCHDOG_USEC", "20000000", 1);
        setenv("WATCHDOG_PID", std::to_string(getppid()).c_str(), 1);
        setenv("ZOR_METRICS_FILE", name == abstract ? named.c_str() : "", 1);
        afterPoll = [&](long poll) {
            if (poll == 1 && name != abstract) {
                EXPECT_FALSE(std::filesystem::exists(runtime + "/zor_charger.prom." +
                                                     std::to_string(getpid()) + ".tmp"));
                std::filesystem::remove(runtime + "/zor_charger.prom");
            } else if (poll == 1) {
                stat(named.c_str(), &first);
                EXPECT_EQ(zortest::readFile(named).find("zor_battery"), std::string::npos);
            }
        };
        Bench bench({CLOSE_LINK, replyWith(0)});
        stages.clear();
        int descriptors = zortest::openDescriptorCount();
        EXPECT_EQ(run(bench, 2), 0);
        EXPECT_EQ(zortest::openDescriptorCount(), descriptors) << "the run closes what it opened";
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
        EXPECT_EQ(stages.size(), 2u);
        const std::string metrics =
            zortest::readFile(name == abstract ? named : runtime + "/zor_charger.prom");
        EXPECT_NE(metrics.find("\nzor_polls_total{outcome=\"accepted\"} 1\n"), std::string::npos);
        EXPECT_NE(metrics.find("\nzor_link_losses_total{instrument=\"battery\"} 1\n"),
                  std::string::npos);
        EXPECT_THAT(metrics,
                    ::testing::ContainsRegex("\nzor_charge_start_time_seconds 1[0-9]{9}\n"));
        EXPECT_EQ(metrics.find("zor_charge_held"), std::string::npos) << "no hold, no family";
        if (name != abstract) {
            EXPECT_EQ(occurrences(err, "service manager not told: " + name + ": "), 1u) << err;
            for (std::string line :
                 {"metrics file not written: " + runtime + "/zor_charger.prom: Is a directory\n",
                  std::string("metrics file written again\n")}) {
                EXPECT_EQ(occurrences(err, line), 1u) << err;
            }
            continue;
        }
        EXPECT_TRUE(zortest::waitFor(std::chrono::seconds(2),
                                     [&] { return manager.datagrams().size() >= 3; }));
        std::vector<std::string> texts;
        for (const auto &datagram : manager.datagrams()) {
            texts.push_back(datagram.text.substr(0, datagram.text.find(", last reply")));
        }
        EXPECT_EQ(texts, (std::vector<std::string>{
                             "READY=1\nSTATUS=stage 1/4, 45.0 A, no reply yet",
                             "STATUS=stage 1/4, 45.0 A, no reply yet, battery link lost 0 s ago",
                             "STATUS=stage 1/4, 45.0 A, gas gauge 5.00"}));
        EXPECT_EQ(err.find("service manager"), std::string::npos) << err;
        EXPECT_EQ(err.find("metrics file"), std::string::npos) << err;
        struct stat last {};
        stat(named.c_str(), &last);
        EXPECT_NE(last.st_ino, first.st_ino);
        EXPECT_EQ(last.st_mode & 0777, 0644u);
        EXPECT_THAT(
            metrics,
            ::testing::AllOf(::testing::HasSubstr("\nzor_polls_total{outcome=\"no_reply\"} 1\n"),
                             ::testing::HasSubstr("{sensor=\"layer8\"} 5\n")));
    }
    umask(umaskWas);
    unsetenv("RUNTIME_DIRECTORY");
    unsetenv("ZOR_METRICS_FILE");
}

// A charge that stops flowing: what the instruments say, what the charger
// says of it and what each instrument receives after the set-up.
struct FlowCase {
    const char *name;
    std::vector<std::string> script;  // the battery's replies
    const char *supply;  // what the supply answers to OUT?, VSET?, ISET? and FAULT?; "": nothing
    std::string said;    // the standard error stream's lines on the charge current, a regex
    int questions, setUps, switchOns;  // the supply's questions and set-ups, the battery's "@AC"
    const char *stopCause = nullptr;   // a cause in the metrics file at the end; null: flowing
    bool supplyHangsUp = false;        // at the first question
    const char *hold = nullptr;   // ZOR_SILENCE_HOLD_SECONDS, with 5 s a poll; null: no time passes
    int holds = 0;                // "ISET 0.0000A" sent; with a limit, those not after a reply
    const char *limit = nullptr;  // ZOR_CHARGE_LIMIT_MINUTES, with 5 s a poll
    long offs = 0;                // with a limit, "@AF" sent
};

struct FakeTime {  // a clock that only the 5-second waits move
    static inline long ms = 0;
    static long now() { return ms; }
    static unsigned sleep(unsigned seconds) {
        ms += seconds * 1000L;
        return 0;
    }
};

std::ostream &operator<<(std::ostream &os, const FlowCase &c) {
    return os << c.name;
}

class FlowTest : public ChargeRunTest, public ::testing::WithParamInterface<FlowCase> {};

// The supply's answer to `line` when it answers OUT?, VSET?, ISET? and FAULT?
// with the words of `answers` in turn ("1 35.9000 45.0000 0"); "": none.
std::string supplyAnswer(const char *answers, const std::string &line) {
    static const std::vector<std::string> asked = {"OUT?", "VSET?", "ISET?", "FAULT?"};
    std::istringstream words(answers);
    const std::vector<std::string> values{std::istream_iterator<std::string>(words), {}};
    const size_t at =
        static_cast<size_t>(std::find(asked.begin(), asked.end(), line) - asked.begin());
    return at < values.size() ? line.substr(0, line.size() - 1) + " " + values[at] + "\r\n" : "";
}

TEST_P(FlowTest, TheCauseIsSaidAndOnlyARestartUndone) {
    const FlowCase &c = GetParam();
    std::string savedAtHold;  // as the supply hears the hold's 0 A
    bool hangUp = c.supplyHangsUp;
    Bench bench(c.script, [&](const std::string &line) -> std::string {
        if (line == "ISET 0.0000A") {
            savedAtHold += savedChargeText(".");
        }
        if (line == "OUT?" && std::exchange(hangUp, false)) {
            return StandIn::HANG_UP;
        }
        return supplyAnswer(c.supply, line);
    });
    std::vector<std::string> statuses;
    auto status = [](const ChargeState *state, void *lines) {
        auto *seen = static_cast<std::vector<std::string> *>(lines);
        seen->push_back(chargeStatusLine(state, state->lastReplyAtMs));
        if (state->hold.held) {  // after the poll's wait
            seen->push_back(chargeStatusLine(state, FakeTime::ms) + zortest::readFile("flow.prom"));
        }
    };
    const std::string supply = bench.endpoint(Bench::SUPPLY);
    const std::string battery = bench.endpoint(Bench::BATTERY);
    ChargeRunOptions options{
        supply.c_str(), battery.c_str(), noSleep,  static_cast<long>(c.script.size()),
        nullptr,        status,          &statuses};
    FakeTime::ms = 0;
    setenv("ZOR_METRICS_FILE", "flow.prom", 1);
    setenv("STATE_DIRECTORY", dir_.path().c_str(), 1);
    if (c.hold != nullptr || c.limit != nullptr) {
        setenv("ZOR_SILENCE_HOLD_SECONDS", c.hold ? c.hold : "", 1);
        setenv("ZOR_CHARGE_LIMIT_MINUTES", c.limit ? c.limit : "", 1);
        options.sleepSeconds = FakeTime::sleep;
        options.clockMs = FakeTime::now;
    }
    zortest::StdCapture capture;
    ASSERT_EQ(runCharge(&options), 0);
    unsetenv("ZOR_METRICS_FILE");
    bench.finish();
    std::string said;  // without the links' own lines
    std::istringstream err(capture.err());
    for (std::string line; std::getline(err, line);) {
        said += line.find("charge current") != std::string::npos ? line + "\n" : "";
    }
    EXPECT_THAT(said, ::testing::MatchesRegex(c.said));
    const std::string metrics = zortest::readFile("flow.prom");
    const std::string causes = metrics.substr(metrics.find("zor_charge_current_stop_cause{"));
    EXPECT_THAT(metrics, ::testing::HasSubstr(c.stopCause ? "flowing 0\n" : "flowing 1\n"));
    const auto others = std::count_if(c.script.begin(), c.script.end(),
                                      [](const std::string &r) { return r.size() == 76; });
    EXPECT_THAT(metrics, ::testing::HasSubstr("other_length\"} " + std::to_string(others) + "\n"));
    auto found = [&](const std::string &cause) {
        return causes.find(cause + "\"} 1") < causes.find("# HELP");
    };
    const std::string saved = savedChargeText(".");  // what a restart leaves off
    EXPECT_EQ(occurrences(saved, "supply_off 1"), found("output_off") || found("over_voltage"));
    EXPECT_EQ(occurrences(saved, "battery_off 1"), found("switched_off") || found("protection"));
    EXPECT_EQ(causes.find(c.stopCause ? "=\"" + std::string(c.stopCause) + "\"} 1\n" : "} 1\n") <
                  causes.find("# HELP"),
              c.stopCause != nullptr);
    const std::vector<std::string> &heard = bench.commands[Bench::SUPPLY];
    EXPECT_EQ(std::count_if(heard.begin(), heard.end(),
                            [](const std::string &l) { return l.ends_with("?\r"); }),
              c.questions);
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "CLR\r") - 1, c.setUps);
    EXPECT_EQ(std::count_if(heard.begin() + SET_UP.size(), heard.end(),
                            [](const std::string &l) { return l.starts_with("ISET "); }),
              c.setUps + c.holds +
                  std::count_if(c.script.begin(), c.script.end(),
                                [](const std::string &r) { return r.size() == 77; }));
    auto held = std::find(heard.begin(), heard.end(), "ISET 0.0000A\r");
    EXPECT_EQ(std::count(held, heard.end(), "ISET 0.0000A\r"),
              c.limit ? std::distance(held, heard.end()) : c.holds);  // after a limit, only 0 A
    const bool limited = c.said.find("time limit") != std::string::npos;
    EXPECT_EQ(occurrences(metrics, limited ? "\nzor_charge_time_limit_reached 1\n"
                                           : "\nzor_charge_time_limit_reached 0\n"),
              c.limit ? 1u : 0u);  // without the setting, no such family
    if (c.holds > 0) {  // the stage's current at the first reply after, or the limit's 0 A
        EXPECT_EQ(*std::next(held), c.limit ? "ISET 0.0000A\r" : "ISET 45.0000A\r");
        EXPECT_THAT(savedAtHold, ::testing::HasSubstr(c.hold ? "held 1\n" : "limit_ended 1\n"))
            << "saved before it goes out";
    }
    if (c.holds > 0 && c.hold != nullptr) {
        EXPECT_THAT(statuses, ::testing::Contains(::testing::AllOf(
                                  ::testing::StartsWith("stage 1/4, charge held: no accepted "
                                                        "reply for 20 s, gas gauge 5.00, last"),
                                  ::testing::HasSubstr("\nzor_charge_held 1\n"))));
    }
    const std::vector<std::string> &told = bench.commands[Bench::BATTERY];
    EXPECT_EQ(std::count(told.begin(), told.end(), "@AC\n"), 1 + c.switchOns);
    if (c.limit != nullptr) {
        EXPECT_EQ(std::count(told.begin(), told.end(), "@AF\n"), c.offs);
        EXPECT_EQ(limited, std::find(statuses.begin(), statuses.end(),
                                     "ended by the time limit after 0 h 1 min, gas gauge 5.00, "
                                     "last reply 0 s ago") != statuses.end());
    }
    const size_t at = c.said.find("no charge current: ");
    if (at != std::string::npos) {
        std::string cause = c.said.substr(at, c.said.find('\n', at) - at);
        std::erase(cause, '\\');  // the regex's escapes
        const std::string stage = cause.find(" 22.5 A set") != std::string::npos ? "2" : "1";
        EXPECT_THAT(statuses,
                    ::testing::Contains(::testing::AllOf(
                        ::testing::StartsWith("stage " + stage + "/4, no charge current for "),
                        ::testing::HasSubstr(" s: " + cause.substr(cause.find("set; ") + 5)))));
    }
}

const std::string FLOWS = replyWith(0), NONE = replyWith(0, 0), OFF = replyWith(0, 0, 0x0408),
                  HOT = replyWith(0, 0, 0x2408), AT_1A = replyWith(0, 100);
const char *const SUPPLY_ON = "1 35.9000 45.0000 0", *const SUPPLY_AT_POWER_UP =
                                                         "0 0.0000 0.0000 0";
const std::string NO_CURRENT = "no charge current: battery 0.00 A with 45.0 A set; ";
const std::string AGAIN = "charge current again after 0 s\n";
const std::string SHORT = FLOWS.substr(1);  // not accepted, without a receive's wait
const std::string HELD = "no accepted battery reply for 15 s: charge current held at 0 A\n";
const std::string BACK = "battery answers again: charge current back to 45.0 A after 5 s held\n";

const std::string OFF_AT_END = replyWith(0xFF, 0, 0x0408);
const std::string LIMIT =
    "charge time limit of 1 min reached before the end of charge: battery "
    "told to switch off, charge current 0 A\n";

// `n` of `reply`, then `then`.
std::vector<std::string> repeat(size_t n, const std::string &reply,
                                std::vector<std::string> then = {}) {
    then.insert(then.begin(), n, reply);
    return then;
}

// One row a case.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Causes, FlowTest,
    ::testing::Values(
        // Dips of one and two replies, and exactly 1 A.
        FlowCase{"Flows", {AT_1A, NONE, AT_1A, NONE, NONE}, SUPPLY_ON, "", 0, 0, 0},
        // Balanced twice, then at 0xFF twice: "@AF", and the battery is off by design.
        FlowCase{"EndOfCharge",
                 {replyWith(1), replyWith(1), replyWith(0xFF), replyWith(0xFF), OFF_AT_END,
                  OFF_AT_END, OFF_AT_END}, SUPPLY_ON, "", 0, 0, 0},
        // One set point gone; a poll without a reply among the low ones.
        FlowCase{"SupplyRestarted", {NONE, NO_REPLY, NONE, NONE, FLOWS}, "0 35.9000 0.0000 0",
                 NO_CURRENT + "supply restarted; set up again\ncharge current again after [23] s\n",
                 4, 1, 0},
        FlowCase{"SupplyOutputOff", {replyWith(1), NONE, NONE, NONE}, "0 35.9000 22.5000 0",
                 "no charge current: battery 0.00 A with 22.5 A set; supply output off\n", 4, 0, 0,
                 "supply_output_off"},
        FlowCase{"SupplyOverVoltage", {NONE, NONE, NONE, NONE}, "0 35.9000 45.0000 6",
                 NO_CURRENT + "supply over-voltage protection tripped\n", 4, 0, 0,
                 "supply_over_voltage"},
        // The schedule steps at the judging reply: the supply still holds 45 A.
        FlowCase{"StepAtTheJudgingReply", {NONE, NONE, replyWith(1, 0)}, "0 35.9000 45.0000 0",
                 "no charge current: battery 0.00 A with 22.5 A set; supply output off\n", 4, 0, 0,
                 "supply_output_off"},
        // One question, one receive wait: asked again six polls on.
        FlowCase{"SupplyNotAnswering", {NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE}, "",
                 NO_CURRENT + "supply not answering\n", 2, 0, 0, "supply_not_answering"},
        FlowCase{"BatteryRestarted", {FLOWS, NO_REPLY, OFF, OFF, OFF, FLOWS}, SUPPLY_ON,
                 NO_CURRENT + "battery restarted; switched on again\n" + AGAIN, 4, 0, 1},
        // A garbled reply is no silence.
        FlowCase{"BatterySwitchedOff", {FLOWS, FLOWS.substr(1), OFF, OFF, OFF}, SUPPLY_ON,
                 NO_CURRENT + "battery switched off\n", 4, 0, 0, "battery_switched_off"},
        FlowCase{"BatteryProtection", {HOT, HOT, replyWith(0, 0, 0x6408)}, SUPPLY_ON,
                 NO_CURRENT + "battery switched off by its own protection \\(heatsink hot "
                              "limit\\)\n", 4, 0, 0, "battery_protection"},
        FlowCase{"CauseUnknown", {NONE, NONE, NONE}, SUPPLY_ON, NO_CURRENT + "cause unknown\n", 4,
                 0, 0, "unknown"},
        // A blip on the whole bench.
        FlowCase{"BothRestarted", {FLOWS, NO_REPLY, OFF, OFF, OFF, FLOWS}, SUPPLY_AT_POWER_UP,
                 NO_CURRENT + "supply restarted; set up again; battery restarted; switched on "
                              "again\n" + AGAIN, 4, 1, 1},
        // Found again, the same restart is not undone again.
        FlowCase{"SupplyLinkLostInTheQuestions", {FLOWS, CLOSE_LINK, OFF, OFF, OFF, OFF}, SUPPLY_ON,
                 NO_CURRENT + "battery restarted; switched on again\n", 5, 0, 1,
                 "battery_restarted", true},
        // The battery restarts while a supply with another fault latched is off, a
        // limit comes, then goes, it is switched on, and restarts again: each
        // change judged again, after the polls just before it.
        FlowCase{"BatteryChangesWhileStopped",
                 {NONE, NONE, NONE, CLOSE_LINK, OFF, HOT, OFF, NONE, CLOSE_LINK, OFF},
                 "0 0.0000 0.0000 1",
                 NO_CURRENT + "supply output off\n" +
                 NO_CURRENT + "supply output off; battery restarted; switched on again\n" +
                 NO_CURRENT + "supply output off; battery switched off by its own protection "
                              "\\(heatsink hot limit\\)\n" +
                 NO_CURRENT + "supply output off; battery switched off\n" +
                 NO_CURRENT + "supply output off\n" +
                 NO_CURRENT + "supply output off; battery restarted; switched on again\n",
                 24, 0, 2, "battery_restarted"},
        // The reply that ends the hold shows its 0 A: no episode for it.
        FlowCase{"HeldWhileSilent", {FLOWS, SHORT, SHORT, SHORT, NONE, NONE, NONE, FLOWS},
                 SUPPLY_ON, HELD + BACK, 0, 0, 0, nullptr, false, "15", 1},
        // The silence before the hold's end still counts: judged restarted.
        FlowCase{"HeldThenRestarted", {FLOWS, CLOSE_LINK, SHORT, SHORT, OFF, OFF, OFF, OFF, FLOWS},
                 SUPPLY_ON, HELD + BACK + NO_CURRENT + "battery restarted; switched on again\n" +
                                "charge current again after 15 s\n",
                 4, 0, 1, nullptr, false, "15", 1},
        FlowCase{"SilentForLess", {FLOWS, SHORT, SHORT, SHORT, FLOWS}, SUPPLY_ON, "", 0, 0, 0,
                 nullptr, false, "3600"},
        FlowCase{"HoldEmpty", {FLOWS, SHORT, SHORT, SHORT, FLOWS}, SUPPLY_ON, "", 0, 0, 0, nullptr,
                 false, ""},
        // At 60 s, the 12th poll: 0 A, "@AF" again while the battery shows itself on; no episode.
        FlowCase{"TimeLimit", repeat(12, FLOWS, {NONE, OFF_AT_END, OFF, OFF}), SUPPLY_ON, LIMIT, 0,
                 0, 0, nullptr, false, nullptr, 1, "1", 2},
        // The reply that ends the hold at the limit gets 0 A, no word of the hold; no hold after.
        FlowCase{"TimeLimitWhileHeld", repeat(8, FLOWS, {SHORT, SHORT, SHORT, FLOWS, SHORT, SHORT,
                 SHORT}), SUPPLY_ON, HELD + LIMIT, 0, 0, 0, nullptr, false, "15", 2, "1", 1},
        FlowCase{"EndBeforeTheTimeLimit", repeat(14, replyWith(0xFF)), SUPPLY_ON, "", 0, 0, 0,
                 nullptr, false, nullptr, 0, "1", 11}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

// A restart of the charger under a service manager, with what the state
// folder holds: the saved charge ("stage ended held supply_off battery_off
// [amps_taken [setting_up]]",
// or a file's own text; empty: none) and whether the operator asked for a
// new charge. The data log's last line was cut by a power failure.
enum class Twist {
    None,
    DataLogGone,
    Unwritable,
    Torn,
    Folder,
    DiskFull,
    Asked,
    SupplyHangsUp,
    PastTheLimit
};

struct ResumeCase {
    const char *name;
    const char *saved;
    bool newAsked;
    const char *supply;  // OUT?, VSET?, ISET?, FAULT? answers; "": none
    std::vector<std::string> script;
    std::vector<std::string> startUp;  // to the supply, after any questions
    int switchOns;                     // "@AC"
    std::string said;                  // on the standard output or error stream
    const char *savedAfter;            // in the state file after the run
    size_t files, logLines;            // in the folder; in the saved charge's data log
    Twist twist = Twist::None;
    const char *hold = nullptr;  // ZOR_SILENCE_HOLD_SECONDS
};

std::ostream &operator<<(std::ostream &os, const ResumeCase &c) {
    return os << c.name;
}

class ResumeTest : public ChargeRunTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(ResumeTest, GoesOnWhereTheChargeStood) {
    const ResumeCase &c = GetParam();
    const std::string state = dir_.path() + "/charge.state", log = "1700000000zor.log";
    const std::string metricsFile = dir_.path() + ".prom";  // beside the folder
    zortest::PrivateDev dev;  // the folder a small file system, full once the state is in
    std::string why;
    if (c.twist == Twist::DiskFull &&
        (!dev.enter(&why) || mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=16k") != 0 ||
         chdir(dir_.path().c_str()) != 0)) {
        GTEST_SKIP() << why << strerror(errno);
    }
    int flags[7] = {};
    double taken = -1;
    if (sscanf(c.saved, "%d %d %d %d %d %lf %d %d", &flags[0], &flags[1], &flags[2], &flags[3],
               &flags[4], &taken, &flags[5], &flags[6]) >= 5) {
        SavedCharge none;
        openSavedCharge(dir_.path(), &none);
        saveCharge({log, flags[0], flags[1] == 1, flags[2] == 1, flags[3] == 1, flags[4] == 1,
                    taken, flags[5] == 1, flags[6] == 1});
    } else if (c.saved[0] != '\0') {
        std::ofstream(state) << c.saved;
    }
    if (c.twist == Twist::Torn) {  // a later write, cut: its slot fails its check
        saveCharge({log, 3, false, false, false, false});
        std::fstream(state, std::ios::in | std::ios::out).seekp(585).put('1');  // "stage 1"
    }
    if (c.twist == Twist::Folder) {  // unreadable, and no link can set it aside
        std::filesystem::create_directory(state);
    } else if (c.twist == Twist::DiskFull) {
        std::ofstream("filler") << std::string(16384, 'x');
    }
    if (c.twist != Twist::DataLogGone) {
        std::ofstream(dir_.path() + "/" + log) << "1700000000,96.00,12.50,42,ff, 0, 0,8408\n170";
    }
    afterPoll = [&](long poll) {
        stateWritesFail = false;  // after the first poll
        if (c.twist == Twist::Asked && poll == 1) {
            requestNewCharge(dir_.path().c_str());
        } else if (c.twist == Twist::DiskFull && poll == 2) {
            std::filesystem::remove("filler");  // the data log takes its lines at the stop
            stop = SIGTERM;
        }
    };
    stateWritesFail = c.twist == Twist::Unwritable;
    zortest::StdCapture asking;
    if (c.newAsked) {
        EXPECT_EQ(requestNewCharge(dir_.path().c_str()), 0);
    }
    asking.stop();
    std::vector<std::string> savedAtLastStage;  // as the supply hears the stage's current
    const bool byHand = c.name == std::string("WithoutStateFolder");
    bool hangUp = c.twist == Twist::SupplyHangsUp;
    Bench bench(c.script, [&](const std::string &line) -> std::string {
        if (line == "ISET 7.5000A") {
            savedAtLastStage.push_back(savedChargeText(dir_.path()));
        }
        if (!byHand && (line == "CLR" || line == "ISET 0.0000A")) {  // saved before it goes out
            EXPECT_THAT(savedChargeText(dir_.path()),
                        ::testing::AnyOf(
                            ::testing::HasSubstr(line == "CLR" ? "setting_up 1\n" : "held 1\n"),
                            ::testing::HasSubstr("limit_ended 1\n")));
        }
        return line == "OUT?" && std::exchange(hangUp, false) ? StandIn::HANG_UP
                                                              : supplyAnswer(c.supply, line);
    });
    setenv("ZOR_CHARGE_LIMIT_MINUTES", c.twist == Twist::PastTheLimit ? "1440" : "", 1);
    setenv("STATE_DIRECTORY", byHand ? "" : dir_.path().c_str(), 1);
    setenv("ZOR_SILENCE_HOLD_SECONDS", c.hold ? c.hold : "", 1);
    setenv("ZOR_METRICS_FILE", metricsFile.c_str(), 1);
    ASSERT_EQ(run(bench, static_cast<long>(c.script.size())), 0);
    unsetenv("STATE_DIRECTORY");
    unsetenv("ZOR_METRICS_FILE");
    const std::string metrics = zortest::readFile(metricsFile);
    std::filesystem::remove(metricsFile);

    std::vector<std::string> heard = bench.commands[Bench::SUPPLY];
    std::erase_if(heard, [](const std::string &l) { return l.ends_with("?\r"); });
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "OUT 1\r"),
              std::count(c.startUp.begin(), c.startUp.end(), "OUT 1\r"))
        << "switched on only by the set-up expected";
    heard.resize(std::min(heard.size(), c.startUp.size()));
    EXPECT_EQ(heard, c.startUp);
    const std::vector<std::string> &told = bench.commands[Bench::BATTERY];
    EXPECT_EQ(std::count(told.begin(), told.end(), "@AC\n"), c.switchOns);
    EXPECT_EQ(occurrences(out + err, c.said), 1u) << out << err;
    EXPECT_EQ(occurrences(err, "time limit of 1440 min reached"),
              c.twist == Twist::PastTheLimit ? 1u : 0u);
    if (c.said.find("time limit") != std::string::npos) {  // nothing asked; "@AF" for "@AC"
        EXPECT_EQ(bench.commands[Bench::SUPPLY], c.startUp);
        EXPECT_EQ(told, (std::vector<std::string>{"@AF\n", "@RQ\n", "@AF\n"}));
    }
    EXPECT_THAT(savedChargeText(dir_.path()), ::testing::HasSubstr(c.savedAfter));
    auto entries = std::filesystem::directory_iterator(dir_.path());
    EXPECT_EQ(static_cast<size_t>(std::distance(begin(entries), end(entries))), c.files)
        << "the charge's data log, the state, one set aside, nothing else";
    EXPECT_EQ(occurrences(zortest::readFile(dir_.path() + "/" + log), "\n"), c.logLines);
    for (const std::string &saved : savedAtLastStage) {
        const bool failed = c.twist == Twist::Unwritable && &saved == &savedAtLastStage[0];
        EXPECT_THAT(saved, ::testing::HasSubstr(failed ? "stage 2\n" : "stage 3\n"))
            << "saved before it goes out; where it cannot be, the last good state kept";
    }
    if (c.newAsked && c.files == 3) {  // an untrusted state names no charge
        EXPECT_EQ(asking.out(),
                  "the next start begins a new charge; the charge of " + log + " is not resumed\n");
    }
    const bool unwritable = c.twist == Twist::Unwritable, asked = c.twist == Twist::Asked;
    EXPECT_EQ(occurrences(err, "charge state not written: " +
                                   (unwritable ? state + ": Input/output error\n" : "")) +
                  occurrences(err, "charge state written again\n") +
                  occurrences(statuses.front(), ", charge state not saved: a restart resumes"),
              unwritable ? 3u : 0u);
    EXPECT_EQ(occurrences(err, "new charge asked for: ") + occurrences(metrics, "asked 1\n") +
                  occurrences(statuses.back(), ", new charge asked: the next start begins it"),
              asked ? 3u : 0u);
    const size_t silent = statuses.front().find("no accepted reply for ");
    if (silent != std::string::npos) {  // from the data log's last line, never its cut one
        EXPECT_LE(atoll(statuses.front().c_str() + silent + 22), time(nullptr) - 1700000000);
    }
    EXPECT_EQ(occurrences(metrics, "\nzor_charge_state_saved 1\n"), byHand ? 0u : 1u);
    EXPECT_EQ(occurrences(metrics, "\nzor_charge_start_time_seconds 1700000000\n"),
              occurrences(out, "resuming the charge of " + log));
}

const std::string RESUMING = "resuming the charge of 1700000000zor.log";
const std::string AT_STAGE_3 = RESUMING + " at stage 3/4 (12.5 A)\n";
const std::string LIMIT_ENDED =
    RESUMING + ", ended by the time limit: charge current 0 A, the battery stays switched off\n";
const std::vector<std::string> ISET_12_5 = {"ISET 12.5000A\r", "ISET 12.5000A\r"};
const std::vector<std::string> SET_UP_12_5 = {"CLR\r", "OUT 0\r", "VSET 35.9000V\r",
                                              "ISET 12.5000A\r", "OUT 1\r"};
const std::vector<std::string> NEW_SET_UP = {"CLR\r",           "OUT 0\r", "VSET 35.9000V\r",
                                             "ISET 45.0000A\r", "OUT 1\r", "ISET 45.0000A\r"};

// One row a case.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Restarts, ResumeTest,
    ::testing::Values(
        // A new charge asked for meanwhile: said, and the mark waits.
        ResumeCase{"AtAStage", "2 0 0 0 0", false, "1 35.9000 12.5000 0",
                   {replyWith(0x0F), replyWith(0xFF)},
                   {"ISET 12.5000A\r", "ISET 12.5000A\r", "ISET 7.5000A\r"}, 1, AT_STAGE_3,
                   "stage 3\nended 0\n", 3, 4, Twist::Asked},
        ResumeCase{"TornNewestSlot", "2 0 0 0 0", false, "1 35.9000 12.5000 0", {replyWith(0)},
                   ISET_12_5, 1, AT_STAGE_3, "stage 2\n", 2, 3, Twist::Torn},
        ResumeCase{"ReleasedForm",
                   "zor_charger charge state 1\ndata_log 1700000000zor.log\nstage 2\nended 0\nheld "
                   "0\nsupply_off 0\nbattery_off 0\nend\n",
                   false, "1 35.9000 12.5000 0", {replyWith(0)}, ISET_12_5, 1, AT_STAGE_3,
                   "charge state 3\ngeneration 2\ndata_log 1700000000zor.log\nstage 2\n", 2, 3},
        // Written in place, and the data log's lines kept in memory written out at the stop.
        ResumeCase{"DiskFull", "2 0 0 0 0", false, "1 35.9000 12.5000 0",
                   {replyWith(0xFF), replyWith(0)}, {"ISET 12.5000A\r", "ISET 7.5000A\r"}, 1,
                   "data log written again: 2 lines kept, 0 lost\n", "stage 3\n", 2, 2,
                   Twist::DiskFull},
        // Its voltage lost: set again, the current no higher than the stage's.
        ResumeCase{"SupplyOnAtAnotherVoltage", "1 0 0 0 0", false, "1 30.0000 45.0000 0",
                   {replyWith(0)}, {"VSET 35.9000V\r", "ISET 22.5000A\r", "ISET 22.5000A\r"}, 1,
                   RESUMING + " at stage 2/4 (22.5 A)\n", "stage 1\n", 2, 3},
        ResumeCase{"SupplyRestarted", "2 0 0 0 0", false, "0 0.0000 0.0000 0", {replyWith(0)},
                   SET_UP_12_5, 1, AT_STAGE_3, "stage 2\n", 2, 3},
        ResumeCase{"ProtectionFoundThenAQuestionMissed", "2 0 0 1 0", false, "0 0.0000", {NONE},
                   {"ISET 12.5000A\r", "ISET 12.5000A\r", "ISET 12.5000A\r"}, 1, AT_STAGE_3,
                   "supply_off 1\n", 2, 3},
        // A hand, a protection, or what was found before the restart: left off.
        ResumeCase{"SupplyOffByHand", "2 0 0 0 0 45", false, "0 35.9000 45.0000 0", {replyWith(0)},
                   {"ISET 12.5000A\r"}, 1, AT_STAGE_3, "amps_taken 12.5000\n", 2, 3},
        ResumeCase{"SupplyOffByProtection", "2 0 0 0 0", false, "0 0.0000 0.0000 4",
                   {replyWith(0)}, {"ISET 12.5000A\r"}, 1, AT_STAGE_3, "stage 2\n", 2, 3},
        ResumeCase{"SupplyFoundOff", "2 0 0 1 0", false, "0 0.0000 0.0000 0", {NONE, NONE, NONE},
                   {"ISET 12.5000A\r"}, 1, "with 12.5 A set; supply output off\n",
                   "supply_off 1\n", 2, 5},
        ResumeCase{"SetUpUnderWay", "2 0 0 0 0 12.5 1", false, "0 35.9000 12.5000 0",
                   {replyWith(0)}, SET_UP_12_5, 1, AT_STAGE_3, "setting_up 0\n", 2, 3},
        // Kept until the current flows again; a silence is no restart of it.
        ResumeCase{"BatteryFoundOff", "2 0 0 0 1", false, "1 35.9000 12.5000 0",
                   {NO_REPLY, OFF, OFF, OFF, replyWith(0)}, ISET_12_5, 0,
                   "with 12.5 A set; battery switched off\n", "battery_off 0\n", 2, 6},
        // 0 A until the battery answers, then the stage's current.
        ResumeCase{"Held", "1 0 1 0 0", false, "1 35.9000 0.0000 0", {replyWith(0)},
                   {"ISET 0.0000A\r", "ISET 22.5000A\r"}, 1,
                   RESUMING + " at stage 2/4, held at 0 A until the battery answers\n", "held 0\n", 2, 3},
        ResumeCase{"HoldSet", "2 0 0 0 0", false, "1 35.9000 12.5000 0", {SHORT, replyWith(0)},
                   {"ISET 0.0000A\r", "ISET 12.5000A\r"}, 1,
                   RESUMING + " at stage 3/4, held at 0 A until the battery answers\n", "held 0\n",
                   2, 3, Twist::None, "30"},
        ResumeCase{"HoldNotTaken", "2 0 0 0 0", false, "1 35.9000 12.5000 0",
                   {SHORT, replyWith(0)}, {"ISET 0.0000A\r", "ISET 12.5000A\r"}, 1,
                   "charge current back to 12.5 A after ", "held 0\n", 2, 3,
                   Twist::SupplyHangsUp, "30"},
        // No "@AC"; "@AF" again at the next balanced reply.
        ResumeCase{"Ended", "3 1 0 0 0", false, "1 35.9000 7.5000 0",
                   {replyWith(0xFF, 0, 0x0408)}, {"ISET 7.5000A\r", "ISET 7.5000A\r"}, 0,
                   RESUMING + ", ended: the battery stays switched off\n", "stage 3\nended 1\n", 2,
                   3},
        // Days past the limit, or ended by it before: 0 A and the battery off, and nothing else.
        ResumeCase{"PastTheTimeLimit", "2 0 0 0 0", false, SUPPLY_ON, {replyWith(0x0F)},
                   {"ISET 0.0000A\r", "ISET 0.0000A\r"}, 0, LIMIT_ENDED, "limit_ended 1\n", 2, 3,
                   Twist::PastTheLimit},
        ResumeCase{"EndedByTheTimeLimit", "1 1 1 0 0 0 0 1", false, "", {replyWith(0)},
                   {"ISET 0.0000A\r", "ISET 0.0000A\r"}, 0, LIMIT_ENDED, "limit_ended 1\n", 2, 3},
        ResumeCase{"DataLogGone", "2 0 0 0 0", false, "1 35.9000 12.5000 0", {replyWith(0)},
                   ISET_12_5, 1,
                   "data log 1700000000zor.log was not in the working folder: begun again\n",
                   "stage 2\n", 2, 1, Twist::DataLogGone},
        // Said once and again once; the last good state kept meanwhile.
        ResumeCase{"StateUnwritable", "2 0 0 0 0", false, "1 35.9000 12.5000 0",
                   {replyWith(0xFF), replyWith(0)}, {"ISET 12.5000A\r", "ISET 7.5000A\r"}, 1,
                   "****reducing charge current to 7.500000\n", "stage 3\nended 0\n", 2, 4,
                   Twist::Unwritable},
        // Each set aside under a name of its own; a new charge in a new data log.
        ResumeCase{"Torn", "zor_charger charge state 1\ndata_log 1700000000zor.log\nstage 2\n",
                   false, "1 35.9000 12.5000 0", {replyWith(0)}, NEW_SET_UP, 1,
                   "charge.state: torn or altered; set aside as charge.state.untrusted-",
                   "stage 0\nended 0\n", 4, 1},
        ResumeCase{"StageOutOfRange",
                   "zor_charger charge state 1\ndata_log 1700000000zor.log\nstage 4\nended 0\nheld "
                   "0\nsupply_off 0\nbattery_off 0\nend\n",
                   false, "1 35.9000 12.5000 0", {replyWith(0)}, NEW_SET_UP, 1,
                   "charge.state: stage out of range; set aside", "stage 0\n", 4, 1},
        ResumeCase{"NotItsDataLog",
                   "zor_charger charge state 1\ndata_log zor.log\nstage 2\nended 0\nheld "
                   "0\nsupply_off 0\nbattery_off 0\nend\n",
                   false, "1 35.9000 12.5000 0", {replyWith(0)}, NEW_SET_UP, 1,
                   "charge.state: data log name not the charger's; set aside", "stage 0\n", 4, 1},
        ResumeCase{"UnreadableNewChargeAsked", "", true, "1 35.9000 12.5000 0", {replyWith(0)},
                   NEW_SET_UP, 1, "charge.state: Is a directory; set aside as charge.state.untrusted-",
                   "stage 0\nended 0\n", 4, 1, Twist::Folder},
        ResumeCase{"NewChargeAsked", "2 0 0 0 0", true, "1 35.9000 12.5000 0", {replyWith(0)},
                   NEW_SET_UP, 1, "beginning a new charge, as asked: ", "stage 0\nended 0\n", 3,
                   1},
        // Run by hand: nothing read, nothing written.
        ResumeCase{"WithoutStateFolder", "2 0 0 0 0", false, "1 35.9000 12.5000 0",
                   {replyWith(0)}, NEW_SET_UP, 1, "status is 77\n", "stage 2\n", 3, 1}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

// A system logger and a reader of the standard output that stop taking text
// for a while (after poll `stops`, until poll `reads`; 0: never).
struct StallCase {
    const char *name;
    long polls;
    long loggerStops, loggerReads;
    long consoleStops, consoleReads;
    bool pastTheBound;  // the console keeps more than it may: the oldest lines go
    bool terminal;      // the standard output a terminal, else a pipe
    long slowAt = 0;    // a poll whose console is slow: it stalls, and takes output again
    long goneAt = 0;    // from this poll on, the console's reader is gone for good
};

class StallTest : public ChargeRunTest, public ::testing::WithParamInterface<StallCase> {};

// The standard output a small pipe or a terminal, read in step with the polls
// unless the row stops it; the system log a stand-in read the same way. The battery
// hangs up at the first poll, so that its link messages pass through too.
TEST_P(StallTest, PollsKeepTheirPaceAndReportsComeWholeOrCounted) {
    const StallCase &c = GetParam();
    zortest::SystemLogStandIn logger;
    std::string why;
    if (!logger.start(&why)) {
        GTEST_SKIP() << why;
    }
    std::vector<std::string> script(static_cast<size_t>(c.polls), replyWith(0));
    script[0] = CLOSE_LINK;
    Bench bench(script);
    zortest::PtyPair terminal;
    zortest::UniqueFd pipeRead, pipeWrite;
    if (c.terminal) {  // raw, so that what comes is what was written
        ASSERT_TRUE(terminal.open(&why)) << why;
        pipeWrite.reset(open(terminal.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios raw;
        ASSERT_EQ(tcgetattr(pipeWrite.get(), &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(pipeWrite.get(), TCSANOW, &raw), 0);
        pipeRead = std::move(terminal.master);
        fcntl(pipeRead.get(), F_SETFL, O_NONBLOCK);
    } else {
        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        pipeRead.reset(pipeFds[0]);
        pipeWrite.reset(pipeFds[1]);
        ASSERT_EQ(fcntl(pipeRead.get(), F_SETPIPE_SZ, 4096), 4096);
        fcntl(pipeRead.get(), F_SETFL, O_NONBLOCK);
    }

    // The readers start and stop as the polls go by, and read on a thread
    // of their own until the pipe is closed. Other tests' chargers may log
    // at the same time: the logger keeps ours.
    struct Watch {
        const StallCase &c;
        int fd;
        std::vector<long> pollMs;
        std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
        std::atomic<bool> loggerReading{true}, consoleReading{true};
        void follow(long poll) {
            auto reading = [&](long stops, long reads) {
                return stops == 0 || poll < stops || poll >= reads;
            };
            for (int i = 0, left = 1;
                 poll == c.consoleStops && i < 1000 && ioctl(fd, FIONREAD, &left) == 0 && left > 0;
                 ++i) {
                usleep(1000);  // the reader takes what came before it stops
            }
            loggerReading = reading(c.loggerStops, c.loggerReads);
            consoleReading = reading(c.consoleStops, c.consoleReads);
            // A pipe's stall begins slow, so that a line is partly written when it does.
            console.slow = poll + 1 == c.slowAt || (!c.terminal && poll == c.consoleStops);
            console.gone = c.goneAt > 0 && poll + 1 >= c.goneAt;
        }
    } watch{c, pipeRead.get(), {}};
    std::string out;
    std::vector<std::string> records;
    const std::string ours = std::string(" ") + program_invocation_short_name + ": ";
    std::thread reader([&, fd = pipeRead.get()] {
        const std::vector<std::string> no;
        char buf[4096];
        for (int rounds = 0; rounds < 60000; ++rounds) {  // 5 minutes at most
            for (std::string record : watch.loggerReading ? logger.take() : no) {
                if (record.find(ours) != std::string::npos) {
                    records.push_back(std::move(record));
                }
            }
            ssize_t n = watch.consoleReading ? read(fd, buf, sizeof buf) : -1;
            if (n == 0 || (n < 0 && errno == EIO)) {  // a pipe's end, a terminal's hang-up
                break;
            }
            if (n > 0) {
                out.append(buf, static_cast<size_t>(n));
            } else {
                usleep(5000);
            }
        }
    });
    auto afterPoll = [](const ChargeState *state, void *context) {
        auto *w = static_cast<Watch *>(context);
        auto now = std::chrono::steady_clock::now();
        w->pollMs.push_back(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - w->last).count());
        w->last = now;
        w->follow(state->polls);
    };
    const std::string supply = bench.endpoint(Bench::SUPPLY);
    const std::string battery = bench.endpoint(Bench::BATTERY);
    ChargeRunOptions options{supply.c_str(), battery.c_str(), noSleep, c.polls,
                             nullptr,        afterPoll,       &watch};
    struct stat file;
    ASSERT_EQ(fstat(pipeWrite.get(), &file), 0);
    console = {file.st_dev, file.st_ino, false, false, 0, 0};
    zortest::StdCapture capture;
    dup2(pipeWrite.get(), STDOUT_FILENO);
    const int descriptors = zortest::openDescriptorCount();
    EXPECT_EQ(runCharge(&options), 0);
    console.ino = 0;
    bench.finish();
    const int left = zortest::openDescriptorCount();
    capture.stop();
    EXPECT_EQ(left, descriptors) << "the run closes what it opened";
    EXPECT_EQ(console.blocking, 0) << "no console write can hold a poll up";
    pipeWrite.reset();
    watch.follow(c.polls);
    reader.join();
    const std::string &err = capture.err();

    std::vector<long> ms(watch.pollMs.begin() + 1, watch.pollMs.end());
    std::sort(ms.begin(), ms.end());
    // A poll waits REPORT_WAIT_MS at most on reports; the rest is a busy machine's margin.
    EXPECT_LE(ms.back(), ms[ms.size() / 2] + REPORT_WAIT_MS + 900) << "no poll waits on a report";
    EXPECT_EQ(bench.commands[Bench::SUPPLY].size(), SET_UP.size() + c.polls - 1)
        << "every reply but the hang-up's is accepted";

    // The system log: every message whole, those of the stall dropped and
    // counted, the two lines about it said once each.
    // Link lost and restored, two per reply, and the console's when it stalls and returns.
    const long stalls = (c.consoleStops > 0) + (c.slowAt > 0), returns = stalls - (c.goneAt > 0);
    const long messages = 2 + 2 * (c.polls - 1) + stalls + returns;
    const long dropped = messages - static_cast<long>(records.size());
    EXPECT_EQ(occurrences(err, "system log not taking messages\n"), c.loggerStops > 0 ? 1u : 0u);
    if (c.loggerStops > 0) {
        EXPECT_GT(dropped, 0);
        EXPECT_EQ(occurrences(err, "system log taking messages again: " + std::to_string(dropped) +
                                       " dropped\n"),
                  1u)
            << err;
    }
    ASSERT_GE(records.size(), 4u);
    EXPECT_TRUE(records[0].starts_with("<11>") &&
                records[0].ends_with(": ZOR battery link lost: connection closed by peer"))
        << records[0];
    EXPECT_TRUE(records[1].starts_with("<13>") &&
                records[1].ends_with(": ZOR battery link restored after 0 s"))
        << records[1];
    for (size_t i = 2; i < records.size(); ++i) {
        const std::string &record = records[i];
        EXPECT_TRUE(record.starts_with("<11>") &&
                    (record.ends_with(": ZOR Battery Current & Gas Gauge: 45.00 5.00") ||
                     record.ends_with(": ZOR Battery RH: 42") ||
                     record.ends_with(": console not taking output") ||
                     record.find(": console taking output again: ") != std::string::npos))
            << record;
    }

    // The console: each stall and each return said once; whole lines in
    // order, with one run of the oldest kept lines dropped where the reader
    // fell too far behind.
    EXPECT_EQ(occurrences(err, "console not taking output\n"), static_cast<size_t>(stalls));
    EXPECT_EQ(occurrences(err, "console taking output again: "), static_cast<size_t>(returns))
        << err;
    if (c.goneAt > 0) {
        return;  // what came after went nowhere
    }
    ASSERT_TRUE(out.ends_with("waking up\n"));
    const std::string ask = "sending status request\n";
    const size_t second = out.find(ask, out.find(ask) + 1);  // the first poll's is the hang-up
    ASSERT_NE(second, std::string::npos);
    const std::string accepted = out.substr(out.rfind(ask));  // the last, an accepted reply's
    std::string full = out.substr(0, second);
    for (long i = 1; i < c.polls; ++i) {
        full += accepted;
    }
    long droppedLines = 0;
    if (c.consoleStops > 0) {
        size_t at = err.find("console taking output again: ");
        ASSERT_NE(at, std::string::npos) << err;
        droppedLines = atol(err.c_str() + at + 29);
    }
    if (c.slowAt > 0) {  // each stall counts its own
        EXPECT_TRUE(err.ends_with("console taking output again: 0 lines dropped\n")) << err;
    }
    // What came is what was written less one run of D lines: it starts as
    // the whole text does and ends as it does, and the two meet. Report
    // times differ from poll to poll.
    auto lines = [](const std::string &text) {
        std::vector<std::string> all;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            all.push_back(line.starts_with("time: ") ? "time: N" : line);
        }
        return all;
    };
    const std::vector<std::string> came = lines(out), written = lines(full);
    ASSERT_EQ(came.size() + static_cast<size_t>(droppedLines), written.size());
    size_t head = 0, tail = 0;
    while (head < came.size() && came[head] == written[head]) {
        ++head;
    }
    while (tail < came.size() &&
           came[came.size() - 1 - tail] == written[written.size() - 1 - tail]) {
        ++tail;
    }
    EXPECT_GE(head + tail, came.size()) << "the lines after the gap, whole, in order";
    // The gap comes early: the oldest lines go (whole polls dropped leave it nowhere).
    EXPECT_TRUE(head == came.size() || head < came.size() / 2) << head;
    EXPECT_EQ(droppedLines > 0, c.pastTheBound);
}

INSTANTIATE_TEST_SUITE_P(
    Stalls, StallTest,
    // The console's reader here stalls at poll 12 and is gone from 13 on.
    ::testing::Values(StallCase{"LoggerStopsAndReadsAgain", 14, 2, 10, 0, 0, false, false, 12, 13},
                      // 28 polls of some 870 bytes: past what a terminal holds (16 KiB).
                      StallCase{"TerminalStopsAndReadsAgain", 40, 0, 0, 2, 30, false, true},
                      // 78 polls: past the 64 KiB kept; back in time to stall again at the end.
                      StallCase{"BothPastTheBound", 100, 2, 88, 2, 80, true, false, 100}),
    [](const auto &info) { return std::string(info.param.name); });

// An endpoint is "up" (the bench's), "down" (refused) or the name given.
struct StartFailure {
    const char *name;
    const char *supply, *battery;
    bool logFolderGone;
    const char *message;
    size_t supplyCommands;
    const char *hold = nullptr;   // ZOR_SILENCE_HOLD_SECONDS: refused without a message
    sig_atomic_t stop = 0;        // asked before the start
    const char *limit = nullptr;  // ZOR_CHARGE_LIMIT_MINUTES: refused, status 2 and no data log
};

class StartFailureTest : public ChargeRunTest,
                         public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailureTest, EndsWithMinusOneAndTouchesNothingFurther) {
    const StartFailure &c = GetParam();
    if (c.logFolderGone) {
        std::filesystem::create_directory("gone");
        ASSERT_EQ(chdir("gone"), 0);
        std::filesystem::remove("../gone");
    }
    std::string down = "tcp:127.0.0.1:" + std::to_string(zortest::unusedLoopbackPort());
    auto endpoint = [&](std::string name) {
        return name == "up" ? "" : name == "down" ? down : name;
    };
    setenv("ZOR_SILENCE_HOLD_SECONDS", c.hold ? c.hold : "", 1);  // empty: no hold
    setenv("ZOR_CHARGE_LIMIT_MINUTES", c.limit ? c.limit : "", 1);
    const bool holdRefused = c.hold && c.message[0] == '\0', refused = holdRefused || c.limit,
               kept = (c.hold && !refused) || c.stop;
    setenv("STATE_DIRECTORY", kept ? dir_.path().c_str() : "", 1);
    stop = c.stop;
    Bench bench({});
    const int status = refused ? 2 : c.stop ? 0 : -1;
    EXPECT_EQ(run(bench, 1, endpoint(c.supply), endpoint(c.battery)), status);
    EXPECT_EQ(std::filesystem::is_empty(dir_.path()), refused || c.logFolderGone) << "a data log";
    if (c.limit != nullptr) {
        EXPECT_EQ(err, "ZOR_CHARGE_LIMIT_MINUTES=" + std::string(c.limit) +
                           ": not a whole number of minutes from 1 to 10080\n");
    }
    if (kept) {
        EXPECT_THAT(zortest::readFile("charge.state"),
                    ::testing::HasSubstr(c.stop ? "held 0\n" : "held 1\n"));
        EXPECT_EQ(bench.commands[Bench::SUPPLY].back(), c.stop ? "OUT 1\r" : "ISET 0.0000A\r");
    }
    if (holdRefused) {
        EXPECT_EQ(err, "ZOR_SILENCE_HOLD_SECONDS=" + std::string(c.hold) +
                           ": not a whole number of seconds from 15 to 3600\n");
    }
    EXPECT_THAT(out + err, ::testing::ContainsRegex(c.message));
    EXPECT_EQ(bench.commands[Bench::SUPPLY].size(), c.supplyCommands);
    EXPECT_FALSE(bench.connected(Bench::BATTERY));
    EXPECT_EQ(bench.connected(Bench::SUPPLY), c.supplyCommands > 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartFailureTest,
    ::testing::Values(
        StartFailure{"SupplyDown", "down", "up", false,
                     "unable to open connection to xantrex: Connection refused\n", 0},
        // A host that does not resolve, or none at all, is named as the cause.
        StartFailure{"SupplyUnresolved", "tcp:zor-test.invalid:2001", "up", false,
                     "unable to open connection to xantrex: (No such device or address|"
                     "Resource temporarily unavailable)\n",
                     0},
        StartFailure{"SupplyWithoutHost", "tcp", "up", false,
                     "unable to open connection to xantrex: Destination address required\n", 0},
        StartFailure{"BatteryDown", "up", "down", false,
                     "unable to open connection to battery: Connection refused\n", 5},
        StartFailure{
            "BatteryDownHeld", "up", "down", false,
            "battery: Connection refused\nbattery not reached: charge current held at 0 A\n", 6,
            "30"},
        StartFailure{"StopBeforeTheBatteryIsWoken", "up", "up", false,
                     "^stopped by SIGTERM: the next start resumes the charge of [0-9]+zor", 5,
                     nullptr, SIGTERM},
        StartFailure{"NoDataLog", "up", "up", true,
                     "unable to open data log [0-9]+zor\\.log: No such file or directory\n", 0},
        StartFailure{"HoldWord", "up", "up", false, "", 0, "sixty"},
        StartFailure{"HoldSigned", "up", "up", false, "", 0, "+60"},
        StartFailure{"HoldBlanks", "up", "up", false, "", 0, " 60 "},
        StartFailure{"HoldZero", "up", "up", false, "", 0, "0"},
        StartFailure{"HoldBelow", "up", "up", false, "", 0, "14"},
        StartFailure{"HoldAbove", "up", "up", false, "", 0, "3601"},
        StartFailure{"HoldHuge", "up", "up", false, "", 0, "99999999999999999999"},
        StartFailure{"HoldTrailing", "up", "up", false, "", 0, "60s"},
        StartFailure{"LimitZero", "up", "up", false, "", 0, nullptr, 0, "0"},
        StartFailure{"LimitAboveAWeek", "up", "up", false, "", 0, nullptr, 0, "10081"},
        StartFailure{"LimitHours", "up", "up", false, "", 0, nullptr, 0, "24h"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
