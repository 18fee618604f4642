// The charge loop against a simulated bench that misbehaves: every fault must
// leave the run going, accept exactly the 77-byte reads, change the record only
// as the scan rules say, and log one complete line per accepted reply.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "serial/serial.h"
#include "sim/bench.h"
#include "tests/support/status_reply.h"
#include "tests/support/test_support.h"
#include "xfr/xfr.h"
#include "zor_charger/zor_charger.h"

namespace {

using zorsim::Instrument;

using zortest::noSleep;

// What a run keeps of each poll, and what a test does after a given one.
struct PollWatch {
    std::vector<ChargeState> *states;
    const std::function<void(long poll)> *afterPoll;
};

void recordState(const ChargeState *state, void *context) {
    auto *watch = static_cast<PollWatch *>(context);
    watch->states->push_back(*state);
    if (*watch->afterPoll) {
        (*watch->afterPoll)(state->polls);
    }
}

// What one charge run did, seen from both ends.
struct ChargeRecord {
    int result = -2;
    std::vector<ChargeState> states;           // after each poll
    std::vector<int> counts;                   // each poll's receive count, from "status is %d"
    std::vector<std::string> responses;        // each poll's accepted reply; empty when rejected
    std::vector<std::string> replies;          // the battery's answer to each request of the run
    std::vector<std::string> battery, supply;  // lines each received during the run
    std::vector<std::string> logLines;
    std::string err;
};

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

// Stands in for the five seconds between polls on a paced line: long enough
// for a late reply, or the rest of a broken one, to arrive before the next
// request, as it does in a real run.
unsigned oneSecond(unsigned) {
    sleep(1);
    return 0;
}

zorsim::Options benchOptions(const zorsim::Faults &faults, int lineRate = 0) {
    zorsim::Options opt;
    opt.supplyPort = opt.batteryPort = 0;
    opt.secondsPerPoll = 600;  // the cells balance within some tens of polls
    opt.lineRate = lineRate;
    opt.faults = faults;
    return opt;
}

// Runs the charger for `polls` polls against the bench's endpoints, or the
// ones given (a network serial server in front of the bench).
ChargeRecord chargeAgainst(zorsim::Bench &bench, long polls, unsigned (*pause)(unsigned) = noSleep,
                           std::string supply = "", std::string battery = "",
                           const std::function<void(long poll)> &afterPoll = {}) {
    ChargeRecord run;
    zortest::TempDir dir;
    std::string logPath = dir.path() + "/data.log";
    FILE *dataLog = fopen(logPath.c_str(), "w");
    EXPECT_NE(dataLog, nullptr);
    size_t repliesBefore = bench.statusReplies().size();
    size_t batteryBefore = bench.received(Instrument::Battery).size();
    size_t supplyBefore = bench.received(Instrument::Supply).size();
    supply = supply.empty() ? bench.supplyEndpoint() : supply;
    battery = battery.empty() ? bench.batteryEndpoint() : battery;
    PollWatch watch{&run.states, &afterPoll};
    ChargeRunOptions options{supply.c_str(), battery.c_str(), pause, polls,
                             dataLog,        recordState,     &watch};
    zortest::StdCapture capture;
    run.result = runCharge(&options);
    capture.stop();
    fclose(dataLog);
    run.logLines = linesOf(zortest::readFile(logPath));
    run.err = capture.err();
    // Each "status is N" line; an accepted reply follows it as "response is "
    // and its 77 bytes, line ends and all.
    const std::string &out = capture.out();
    for (size_t at = 0; (at = out.find("status is ", at)) != std::string::npos;) {
        int count = atoi(out.c_str() + at + 10);
        at = out.find('\n', at) + 1;
        std::string response;
        if (count == STATUS_REPLY_SIZE && out.compare(at, 12, "response is ") == 0) {
            response = out.substr(at + 12, STATUS_REPLY_SIZE);
            at += 12 + STATUS_REPLY_SIZE;
        }
        run.counts.push_back(count);
        run.responses.push_back(response);
    }
    // The bench records what came in a moment after the charger sent it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto tail = [](std::vector<std::string> all, size_t from) {
        return std::vector<std::string>(all.begin() + static_cast<long>(from), all.end());
    };
    run.replies = tail(bench.statusReplies(), repliesBefore);
    run.battery = tail(bench.received(Instrument::Battery), batteryBefore);
    run.supply = tail(bench.received(Instrument::Supply), supplyBefore);
    return run;
}

// The scan rules, written out on their own: from the cursor, blanks are
// skipped, then a sign and hexadecimal digits are taken up to the field's
// width; a field with no digit keeps its value and leaves the cursor where it
// was, while the end of the text still moves it on. The simulated battery never
// sends an 'x', so the "0x" prefix needs no case here.
BatteryStatus scanByTheRules(const std::string &reply, BatteryStatus status) {
    zortest::Fields fields = zortest::fieldsOf(status);
    size_t cursor = 0;
    for (int i = 0; i < zortest::REPLY_FIELDS; ++i) {
        const int width = zortest::FIELD_WIDTHS[i];
        size_t at = cursor;
        while (at < reply.size() && isspace(static_cast<unsigned char>(reply[at]))) {
            ++at;
        }
        if (at >= reply.size()) {
            cursor += static_cast<size_t>(width);  // end of text: the cursor moves on
            continue;
        }
        int left = width;
        bool negative = reply[at] == '-';
        if (reply[at] == '-' || reply[at] == '+') {
            ++at;
            --left;
        }
        uint32_t value = 0;
        int digits = 0;
        for (; left > 0 && at < reply.size() && isxdigit(static_cast<unsigned char>(reply[at]));
             ++at, --left, ++digits) {
            char c = static_cast<char>(tolower(reply[at]));
            value = value * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        if (digits == 0) {
            continue;  // no conversion: the cursor stays
        }
        fields[i] = static_cast<int32_t>(negative ? 0u - value : value);
        cursor += static_cast<size_t>(width);
    }
    return zortest::recordOf(fields);
}

bool sameRecord(const BatteryStatus &a, const BatteryStatus &b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

// Fields 2 to 8 of the data log line for a record, after the time and its comma.
std::string logTail(const BatteryStatus &s) {
    char text[200];
    snprintf(text, sizeof text, "%4.2f,%.2f,%d,%2x,%2x,%2x,%2x\n", gasGaugeOf(&s),
             batteryCurrentOf(&s), s.relativeHumidity, static_cast<unsigned>(s.balanceRegister),
             static_cast<unsigned>(s.tempAlertRegister), static_cast<unsigned>(s.voltAlertRegister),
             static_cast<unsigned>(s.statusRegister));
    return text;
}

const char *const SET_UP[] = {"CLR\r", "OUT 0\r", "VSET 35.9000V\r", "ISET 45.0000A\r", "OUT 1\r"};

std::string isetLine(double amps) {
    char text[40];
    snprintf(text, sizeof text, "ISET %0.4fA\r", amps);
    return text;
}

// Eight comma-separated fields and a line feed: the time and the relative
// humidity in decimal, the gas gauge and the current with two decimals, four
// registers in hexadecimal with blanks in front.
bool wellFormed(const std::string &line) {
    if (line.empty() || line.back() != '\n') {
        return false;
    }
    std::vector<std::string> fields;
    size_t at = 0;
    for (size_t comma; (comma = line.find(',', at)) != std::string::npos; at = comma + 1) {
        fields.push_back(line.substr(at, comma - at));
    }
    fields.push_back(line.substr(at, line.size() - 1 - at));
    auto all = [](const std::string &text, size_t from, const char *set) {
        return from < text.size() && text.find_first_not_of(set, from) == std::string::npos;
    };
    auto decimal = [&](const std::string &f) { return all(f, f[0] == '-' ? 1 : 0, "0123456789"); };
    auto twoPlaces = [&](const std::string &f) {
        size_t dot = f.find('.');
        return dot != std::string::npos && dot + 3 == f.size() && decimal(f.substr(0, dot)) &&
               all(f, dot + 1, "0123456789");
    };
    auto hex = [&](const std::string &f) {
        return all(f, f.find_first_not_of(' '), "0123456789abcdef");
    };
    return fields.size() == 8 && decimal(fields[0]) && twoPlaces(fields[1]) &&
           twoPlaces(fields[2]) && decimal(fields[3]) && hex(fields[4]) && hex(fields[5]) &&
           hex(fields[6]) && hex(fields[7]);
}

struct Tally {
    long accepted = 0, rejected = 0, stageChanges = 0, endOfCharge = 0;
};

// Accepted replies that answer another request than their own, and of them
// those that are no single reply at all but pieces of two.
std::pair<long, long> outOfStepAndMixed(const ChargeRecord &run) {
    long outOfStep = 0, mixed = 0;
    for (size_t i = 0; i < run.responses.size(); ++i) {
        const std::string &read = run.responses[i];
        if (read.empty() || (i < run.replies.size() && read == run.replies[i])) {
            continue;
        }
        ++outOfStep;
        mixed += std::find(run.replies.begin(), run.replies.end(), read) == run.replies.end();
    }
    return {outOfStep, mixed};
}

// Replays the run poll by poll: an accepted reply must be the bench's whole
// answer to that very request, never a mix of two or a late one; then what
// the record, the schedule and the supply should show.
// `supplyUntil` and `batteryOpen` say how long each link was there to hear.
Tally checkRun(const ChargeRecord &run, long polls, bool batteryOpen = true,
               size_t supplyUntil = ~0u) {
    Tally tally;
    EXPECT_EQ(run.result, 0) << "the run ends at its poll limit, never early";
    EXPECT_EQ(static_cast<long>(run.states.size()), polls);
    EXPECT_EQ(static_cast<long>(run.counts.size()), polls);
    if (::testing::Test::HasFailure()) {
        return tally;
    }
    ChargeState prev{};
    prev.chargeCurrent = 45.0;
    std::vector<std::string> isets;
    std::vector<BatteryStatus> accepted;
    for (long i = 0; i < polls; ++i) {
        const ChargeState &now = run.states[static_cast<size_t>(i)];
        int count = run.counts[static_cast<size_t>(i)];
        SCOPED_TRACE("poll " + std::to_string(i + 1) + ", count " + std::to_string(count));
        EXPECT_EQ(now.polls, i + 1);
        const std::string &read = run.responses[static_cast<size_t>(i)];
        bool isStatus = count == STATUS_REPLY_SIZE;
        if (isStatus) {
            bool own = static_cast<size_t>(i) < run.replies.size() &&
                       read == run.replies[static_cast<size_t>(i)];
            EXPECT_TRUE(own) << "an accepted reply that is not the answer to its request: "
                             << zortext::escape(read);
        }
        EXPECT_EQ(now.acceptedReplies, prev.acceptedReplies + (isStatus ? 1 : 0));
        ChargeState want = prev;
        if (isStatus) {
            want.status = scanByTheRules(read, prev.status);
            int balance = want.status.balanceRegister;
            if ((want.ChargeStage < 2 && balance != 0) ||
                (want.ChargeStage == 2 && balance == 0xFF)) {
                static constexpr double STAGE_CURRENT[] = {45.0, 22.5, 12.5, 7.5};
                want.chargeCurrent = STAGE_CURRENT[++want.ChargeStage];
                ++tally.stageChanges;
            } else if (want.ChargeStage == 3 && balance == 0xFF) {
                ++tally.endOfCharge;
            }
            isets.push_back(isetLine(want.chargeCurrent));
            accepted.push_back(want.status);
            ++tally.accepted;
        } else {
            ++tally.rejected;
        }
        EXPECT_TRUE(sameRecord(now.status, want.status))
            << (isStatus ? "decoded otherwise than the scan rules say: "
                         : "a rejected reply changed the record: ")
            << zortext::escape(read);
        EXPECT_EQ(now.ChargeStage, want.ChargeStage);
        EXPECT_EQ(now.chargeCurrent, want.chargeCurrent);
        if (::testing::Test::HasFailure()) {
            return tally;
        }
        prev = now;
    }

    // The supply hears the set-up, then one setting per accepted reply and no other.
    std::vector<std::string> supply(std::begin(SET_UP), std::end(SET_UP));
    supply.insert(supply.end(), isets.begin(), isets.end());
    if (supply.size() > supplyUntil) {
        supply.resize(supplyUntil);
    }
    EXPECT_EQ(run.supply, supply);
    if (batteryOpen) {
        std::vector<std::string> battery{"@AC\n"};
        long af = tally.endOfCharge;
        for (long i = 0; i < polls; ++i) {
            battery.push_back("@RQ\n");
        }
        for (const std::string &line : run.battery) {
            af -= line == "@AF\n";
        }
        EXPECT_EQ(af, 0) << "one \"@AF\" per accepted reply at the end of charge";
        std::erase(battery, "@AF\n");
        std::vector<std::string> heard = run.battery;
        std::erase(heard, "@AF\n");
        EXPECT_EQ(heard, battery);
    }

    // One complete line per accepted reply, in order, with that reply's values.
    EXPECT_EQ(run.logLines.size(), accepted.size());
    for (size_t k = 0; k < run.logLines.size() && k < accepted.size(); ++k) {
        const std::string &line = run.logLines[k];
        EXPECT_TRUE(wellFormed(line)) << zortext::escape(line);
        EXPECT_EQ(line.substr(line.find(',') + 1), logTail(accepted[k])) << "line " << k + 1;
    }
    return tally;
}

struct FaultCase {
    const char *name;
    zorsim::Faults faults;
    long polls;
    // Fault counters expected (at least) and what the charger must show.
    long minStrikes;
    long minAccepted, maxAccepted;
    bool lastPollAccepted;  // the run is back in step by its end
    bool paced = false;     // replies at 9600 baud, a second between polls
};

std::ostream &operator<<(std::ostream &os, const FaultCase &c) {
    return os << c.name;
}

long strikes(const zorsim::Counters &c) {
    return c.faultDrops + c.faultResizes + c.faultGarbles + c.faultSplits + c.faultDelays +
           c.faultCloses + c.silentQueries;
}

// Every run leaves no descriptor behind.
class ChargeFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        closelog();  // the logger's socket comes and goes with other tests' stand-in loggers
        descriptors_ = zortest::openDescriptorCount();
    }
    void TearDown() override {
        bench_.reset();
        closelog();
        // A lookup given up on closes its socket once it is answered.
        EXPECT_TRUE(zortest::waitFor(std::chrono::seconds(6), [&] {
            return zortest::openDescriptorCount() == descriptors_;
        })) << "every descriptor closed";
    }
    // A bench serving with `options`; the test fails when it cannot start.
    zorsim::Bench &startBench(const zorsim::Options &options) {
        bench_ = std::make_unique<zorsim::Bench>(options);
        std::string why;
        EXPECT_TRUE(bench_->start(&why)) << why;
        return *bench_;
    }
    int descriptors_ = 0;
    std::unique_ptr<zorsim::Bench> bench_;
};

class FaultTest : public ChargeFixture, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, ChargerKeepsGoingAndAcceptsOnlyWholeReplies) {
    const FaultCase &c = GetParam();
    zorsim::Bench &bench = startBench(benchOptions(c.faults, c.paced ? 9600 : 0));
    ChargeRecord run = chargeAgainst(bench, c.polls, c.paced ? oneSecond : noSleep);
    zorsim::Counters counters = bench.counters();
    bench.stop();
    auto [outOfStep, mixed] = outOfStepAndMixed(run);
    printf("[ %s ] %ld polls: %ld accepted, %ld out of step, %ld mixing two replies; faults %ld\n",
           c.name, c.polls, static_cast<long>(std::count(run.counts.begin(), run.counts.end(), 77)),
           outOfStep, mixed, strikes(counters));
    Tally tally = checkRun(run, c.polls);
    EXPECT_GE(strikes(counters), c.minStrikes);
    EXPECT_GE(tally.accepted, c.minAccepted);
    EXPECT_LE(tally.accepted, c.maxAccepted);
    if (c.lastPollAccepted) {
        EXPECT_EQ(run.counts.back(), STATUS_REPLY_SIZE) << "back in step by the end";
    }
}

// Drops and delays cost the charger's 2-second wait each: few of them, and in
// cases of their own so that they run side by side.
INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::ValuesIn(std::vector<FaultCase>{
        {"None", {}, 40, 0, 40, 40, true},
        {"Garbled", {.garble = {2, 0, 0}}, 60, 30, 60, 60, true},
        {"Cut76", {.resize = {1}, .lengths = {76}}, 8, 8, 0, 0, false},
        {"Long78", {.resize = {1}, .lengths = {78}}, 8, 8, 0, 0, false},
        {"Long79", {.resize = {1}, .lengths = {79}}, 8, 8, 0, 0, false},
        {"Resized", {.resize = {2}}, 60, 30, 30, 30, false},
        {"ResizedOnce", {.resize = {3, 0, 1}, .lengths = {154}}, 60, 1, 59, 59, true},
        {"Split", {.split = {4, 0, 2}}, 60, 2, 60, 60, true},
        {"SplitAtOnce", {.split = {1}, .splitPause = 0}, 30, 30, 0, 30, false},
        {"Dropped", {.drop = {3, 0, 3}}, 12, 3, 9, 9, true},
        {"DelayedOnce", {.delay = {3, 0, 1}}, 50, 1, 47, 48, true},
        {"Mixed",
         {.resize = {0, 0.1}, .garble = {0, 0.2}, .split = {0, 0.1}, .splitPause = 0.02},
         150,
         20,
         100,
         149,
         false},
        {"SupplyQuiet", {.supplyQueriesAnswered = 0}, 20, 0, 20, 20, true},
        // On a 9600-baud line with time between polls, each fault costs its own poll only.
        {"PacedLateOnce", {.delay = {3, 0, 1}}, 5, 1, 4, 4, true, true},
        {"PacedSplitHalfSecond", {.split = {3, 0, 1}, .splitPause = 0.5}, 5, 1, 4, 4, true, true},
        {"PacedDoubleOnce", {.resize = {3, 0, 1}, .lengths = {154}}, 5, 1, 4, 4, true, true},
    }),
    [](const auto &info) { return std::string(info.param.name); });

// Both instruments at 9600 baud, reached the ways a real bench reaches them.
struct LinkCase {
    const char *name;
    bool ptys;     // the bench serves pseudo-terminals
    bool ser2net;  // ser2net stands in front of them, with the configuration we ship
    size_t chunk;  // bytes the bench hands over at a time
};

std::ostream &operator<<(std::ostream &os, const LinkCase &c) {
    return os << c.name;
}

class LinkTest : public ChargeFixture, public ::testing::WithParamInterface<LinkCase> {};

// Starts ser2net in front of the bench's two lines, on loopback ports of its own.
bool inFrontOf(zorsim::Bench &bench, zortest::Ser2net &server, std::string *why) {
    int supplyPort = zortest::unusedLoopbackPort(), batteryPort = supplyPort;
    while (batteryPort == supplyPort) {
        batteryPort = zortest::unusedLoopbackPort();
    }
    return server.start(bench.supplyEndpoint(), bench.batteryEndpoint(), supplyPort, batteryPort,
                        why);
}

unsigned shortPause(unsigned) {
    usleep(50 * 1000);
    return 0;
}

// The pause between polls where an outage must last a known time: three of
// them span a second.
unsigned outagePause(unsigned) {
    usleep(350 * 1000);
    return 0;
}

// The bounds that find a vanished host, as a network link carries them:
// keepalive after 10 s idle with 3 probes 5 s apart, and 20 s for
// unacknowledged data.
const std::vector<long> VANISHED_HOST_BOUNDS = {1, 10, 5, 3, 20000};
std::vector<long> vanishedHostBounds(int fd) {
    const int options[][2] = {{SOL_SOCKET, SO_KEEPALIVE},
                              {IPPROTO_TCP, TCP_KEEPIDLE},
                              {IPPROTO_TCP, TCP_KEEPINTVL},
                              {IPPROTO_TCP, TCP_KEEPCNT},
                              {IPPROTO_TCP, TCP_USER_TIMEOUT}};
    std::vector<long> got;
    for (const auto &option : options) {
        unsigned value = 0;
        socklen_t size = sizeof value;
        got.push_back(getsockopt(fd, option[0], option[1], &value, &size) == 0 ? value : -1);
    }
    return got;
}

// Every poll is accepted, and each accepted reply is the bench's whole answer
// to that request: none is cut short, late, or made of two.
TEST_P(LinkTest, EveryReplyIsTakenWholeAndInStep) {
    const LinkCase &c = GetParam();
    if (c.ser2net && !zortest::Ser2net::installed()) {
        GTEST_SKIP() << "ser2net is not installed (bash scripts/setup.sh installs it)";
    }
    zorsim::Options opt = benchOptions({}, 9600);
    opt.supplyPty = opt.batteryPty = c.ptys;
    opt.chunkBytes = c.chunk;
    zorsim::Bench &bench = startBench(opt);
    std::string why;
    zortest::Ser2net server;
    std::string supply, battery;  // the bench's own unless ser2net stands in front
    if (c.ser2net) {
        ASSERT_TRUE(inFrontOf(bench, server, &why)) << why;
        supply = server.supplyEndpoint();
        battery = server.batteryEndpoint();
    }
    const long polls = 8;
    ChargeRecord run = chargeAgainst(bench, polls, shortPause, supply, battery);
    bench.stop();
    auto [outOfStep, mixed] = outOfStepAndMixed(run);
    printf("[ %s ] %ld polls: %ld accepted, %ld out of step, %ld mixing two replies\n", c.name,
           polls, static_cast<long>(std::count(run.counts.begin(), run.counts.end(), 77)),
           outOfStep, mixed);
    Tally tally = checkRun(run, polls);
    EXPECT_EQ(tally.accepted, polls);
}

INSTANTIATE_TEST_SUITE_P(Links, LinkTest,
                         ::testing::Values(LinkCase{"DirectPty", true, false, 1},
                                           LinkCase{"Ser2netPty", true, true, 1},
                                           LinkCase{"TcpServerChunks", false, false, 64},
                                           LinkCase{"TcpByteByByte", false, false, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

// A link that drops in the middle of a charge, and the way it comes back.
enum class Drop {
    ServerCloses,  // the bench closes the link (Faults) and serves the next client
    ServerGone,    // the battery's server is gone, connections refused, then back
    Ser2netKick,   // a second client takes the battery's line through ser2net
    PtyReplugged,  // the battery's serial device goes and comes back at its path
    NameSilent,    // the battery's name server stops answering, then its link drops
    NameMoves,     // the battery's name moves to a new address; nothing is left at the old
    NameSlow,      // as NameMoves, with a name server that answers only past a reopen's bound
};

// dnsmasq on a loopback address of its own, answering for zor-battery.test
// from a hosts file it reads again on SIGHUP. The thread that enters, and the
// threads it starts, have the resolver pointed at it in a private mount
// namespace; the machine's own resolver settings are never touched.
class NameServer {
  public:
    ~NameServer() { signal(SIGCONT); }  // a stopped one would not hear the TERM
    bool enter(const std::string &at, std::string *why) {
        const std::string conf = dir_.path() + "/resolv.conf";
        std::ofstream(conf) << "nameserver " << address_ << "\n";
        if (access(DNSMASQ, X_OK) != 0) {
            *why = "dnsmasq is not installed (bash scripts/setup.sh installs it)";
        } else if (unshare(CLONE_NEWNS) != 0 ||
                   mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                   mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
            *why = std::string("no private mount namespace: ") + strerror(errno);
        }
        return why->empty() && point(at);
    }
    // Starts the server, or has it read the hosts file again; true once the
    // name resolves to `to`.
    bool point(const std::string &to) {
        std::ofstream(dir_.path() + "/hosts") << to << " zor-battery.test\n";
        if (server_) {
            server_->signal(SIGHUP);
        } else {
            server_ = std::make_unique<zortest::Child>(
                std::vector<std::string>{
                    DNSMASQ, "-k", "-C", "/dev/null", "--no-resolv", "--no-hosts",
                    "--bind-interfaces", "--listen-address=" + address_,
                    "--addn-hosts=" + dir_.path() + "/hosts", "--pid-file=", "-u", "root"},
                dir_.path(), dir_.path() + "/dns.out");
        }
        return zortest::waitFor(std::chrono::seconds(5), [&] {
            hostent *found = gethostbyname("zor-battery.test");
            return found != nullptr && inet_ntoa(*reinterpret_cast<in_addr *>(found->h_addr)) == to;
        });
    }
    void signal(int number) {
        if (server_) {
            server_->signal(number);
        }
    }

  private:
    static constexpr const char *DNSMASQ = "/usr/sbin/dnsmasq";
    zortest::TempDir dir_;
    std::string address_ =
        "127.53." + std::to_string(getpid() >> 8 & 255) + "." + std::to_string(getpid() & 255);
    std::unique_ptr<zortest::Child> server_;
};

struct LinkFaultCase {
    const char *name;
    Drop drop;
    zorsim::Faults faults;
    long polls;
    long faultAfter;         // polls before the link drops
    long pollsLost;          // polls after it that may go unanswered
    long minLosses;          // times the charger must find a link lost
    long restoredAfter = 0;  // seconds each "link restored after" tells; above 0: paced polls
};

std::ostream &operator<<(std::ostream &os, const LinkFaultCase &c) {
    return os << c.name;
}

class LinkFaultTest : public ChargeFixture, public ::testing::WithParamInterface<LinkFaultCase> {};

// Polls are answered again once the link is back, each accepted reply's
// setting reaches the supply, and no descriptor is left behind (the fixture).
TEST_P(LinkFaultTest, ChargeGoesOnOnceTheLinkIsBack) {
    const LinkFaultCase &c = GetParam();
    const bool kick = c.drop == Drop::Ser2netKick;
    if (kick && !zortest::Ser2net::installed()) {
        GTEST_SKIP() << "ser2net is not installed (bash scripts/setup.sh installs it)";
    }
    zorsim::Options opt = benchOptions(c.faults, kick ? 9600 : 0);
    opt.supplyPty = opt.batteryPty = kick;
    zorsim::Bench &bench = startBench(opt);

    // The rows that take the battery's server away give it a bench of its own.
    // Its battery charges on as before the outage: the server went, not the battery.
    zorsim::Options own = benchOptions({});
    own.underWay = true;
    own.batteryPort = zortest::unusedLoopbackPort();
    own.batteryPty = c.drop == Drop::PtyReplugged;
    const bool moves = c.drop == Drop::NameMoves || c.drop == Drop::NameSlow;
    const bool named = moves || c.drop == Drop::NameSilent;
    const std::string nameAt = own.host = moves ? "127.0.0.2" : "127.0.0.1";
    NameServer names;
    zortest::TempDir dir;
    const std::string device = dir.path() + "/ttyZOR";  // as a udev rule names it
    std::unique_ptr<zorsim::Bench> battery;
    auto bringBack = [&] {
        battery = std::make_unique<zorsim::Bench>(own);
        std::string why;
        ASSERT_TRUE(battery->start(&why)) << why;
        if (own.batteryPty) {
            std::filesystem::create_symlink(battery->batteryEndpoint(), device);
        }
    };
    std::string supplyEndpoint, batteryEndpoint;
    std::function<void(long)> afterPoll;
    zortest::Ser2net server;
    std::vector<std::string> heard;  // by the battery, on every server it had
    if (c.drop == Drop::ServerGone || c.drop == Drop::PtyReplugged || moves) {
        bringBack();
        batteryEndpoint = own.batteryPty ? device : battery->batteryEndpoint();
        afterPoll = [&](long poll) {
            if (poll == c.faultAfter) {
                heard = battery->received(Instrument::Battery);
                battery.reset();
                std::filesystem::remove(device);
                if (moves) {
                    own.host = "127.0.0.3";
                    EXPECT_TRUE(names.point(own.host));
                }
            }
            if (c.drop == Drop::NameSlow && poll >= c.faultAfter) {
                names.signal(SIGCONT);  // it answers the lookup given up on, and stops again
                usleep(poll > c.faultAfter ? 200 * 1000 : 0);
                names.signal(SIGSTOP);
            }
            if (poll == c.faultAfter + c.pollsLost) {
                bringBack();
            }
        };
    } else if (kick) {
        std::string why;
        ASSERT_TRUE(inFrontOf(bench, server, &why)) << why;
        supplyEndpoint = server.supplyEndpoint();
        batteryEndpoint = server.batteryEndpoint();
        // A technician checks the battery with the commissioning tool's calls.
        afterPoll = [&](long poll) {
            int tool = 0;
            if (poll != c.faultAfter ||
                openPort(batteryEndpoint.c_str(), &tool, 9600, 8, 1, "none") <= 0) {
                return;
            }
            char reply[RECEIVE_BUFFER_SIZE];
            sendStr(tool, "@RQ\n");
            EXPECT_EQ(recvStr(tool, reply, sizeof reply), STATUS_REPLY_SIZE);
            closePort(tool);
        };
    } else if (c.drop == Drop::NameSilent) {
        afterPoll = [&](long poll) {
            if (poll == c.faultAfter) {
                names.signal(SIGSTOP);  // queries go unanswered, as to a name server that is down
            }
        };
    }
    if (named) {
        int port = battery ? own.batteryPort : zortest::loopbackPortOf(bench.batteryEndpoint());
        batteryEndpoint = "tcp:zor-battery.test:" + std::to_string(port);
    }
    // The link that dropped, a poll after its outage: the port list holds the
    // supply's, then the battery's.
    PortRecord reopened{};
    std::vector<long> bounds;
    auto watch = [&](long poll) {
        if (afterPoll) {
            afterPoll(poll);
        }
        if (poll == c.faultAfter + c.pollsLost + 1) {
            reopened = *(c.faults.closeSupplyAfter > 0 ? ports : ports->next);
            if (reopened.isSocket) {
                bounds = vanishedHostBounds(reopened.fd);
            }
        }
    };
    // ser2net needs a moment between a client's close and the next one; an
    // outage of a known length needs real pauses, but for one that the
    // lookup's bound makes.
    unsigned (*pause)(unsigned) = kick                                              ? shortPause
                                  : c.restoredAfter > 0 && c.drop != Drop::NameSlow ? outagePause
                                                                                    : noSleep;
    auto start = std::chrono::steady_clock::now();
    ChargeRecord run;
    std::string skip;
    std::thread charge([&] {  // a name row's resolver is this thread's own
        if (!named || names.enter(nameAt, &skip)) {
            run = chargeAgainst(bench, c.polls, pause, supplyEndpoint, batteryEndpoint, watch);
        }
    });
    charge.join();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
    names.signal(SIGCONT);  // it answers what it was asked meanwhile, and no lookup stays open
    ASSERT_EQ(static_cast<long>(run.states.size()), c.polls);
    const ChargeState &last = run.states.back();
    auto accepted = [&](long from) {
        return std::count(run.counts.begin() + from, run.counts.end(), STATUS_REPLY_SIZE);
    };
    long losses = last.batteryLink.losses + last.supplyLink.losses;
    long settings = std::count_if(run.supply.begin(), run.supply.end(),
                                  [](const std::string &l) { return l.starts_with("ISET"); });
    printf(
        "[ %s ] after the fault %ld of %ld polls accepted; %ld links lost; %ld of %ld "
        "settings reached the supply; %.1f s\n",
        c.name, accepted(c.faultAfter), c.polls - c.faultAfter, losses, settings - 1,
        last.acceptedReplies, took.count());
    EXPECT_EQ(accepted(0), last.acceptedReplies);
    EXPECT_EQ(accepted(0) - accepted(c.faultAfter), c.faultAfter) << "all accepted before";
    EXPECT_GE(accepted(c.faultAfter), c.polls - c.faultAfter - c.pollsLost) << run.err;
    EXPECT_EQ(run.counts.back(), STATUS_REPLY_SIZE) << "back by the end";
    EXPECT_EQ(settings - 1, last.acceptedReplies) << "the set-up's, then one per accepted reply";
    EXPECT_GE(losses, c.minLosses);
    EXPECT_EQ(zortest::occurrences(run.err, " link lost: "), static_cast<size_t>(losses));
    // Each outage is reopened once, and "restored after" tells its length; a
    // link still lost at the end is an outage with no poll left to reopen it.
    long stillLost = last.batteryLink.lost + last.supplyLink.lost;
    EXPECT_EQ(zortest::occurrences(
                  run.err, " link restored after " + std::to_string(c.restoredAfter) + " s\n"),
              static_cast<size_t>(losses - stillLost))
        << run.err;
    heard.insert(heard.end(), run.battery.begin(), run.battery.end());
    if (battery) {
        std::vector<std::string> now = battery->received(Instrument::Battery);
        heard.insert(heard.end(), now.begin(), now.end());
    }
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "@AC\n"), 1) << "woken once, not at a reopen";
    const auto notes = static_cast<size_t>(c.drop == Drop::NameSilent ? losses
                                           : c.drop == Drop::NameSlow ? 1
                                                                      : 0);
    EXPECT_EQ(zortest::occurrences(run.err,
                                   "battery link: zor-battery.test not resolved (Temporary "
                                   "failure in name resolution); using " +
                                       nameAt + "\n"),
              notes)
        << "said once an outage";
    EXPECT_EQ(zortest::occurrences(run.err, " not resolved ("), notes) << run.err;
    if (named) {
        EXPECT_EQ(reopened.lastAddress, inet_addr(own.host.c_str()))
            << "where the name last pointed";
    }
    if (c.faults.closeBatteryAfter == 1) {  // lost at every poll: no reopen may wait
        EXPECT_LT(took.count(), 20) << "a hundred outages take a few seconds";
    } else {
        EXPECT_EQ(reopened.lost, 0) << "open again a poll after its outage";
        EXPECT_EQ(bounds, reopened.isSocket ? VANISHED_HOST_BOUNDS : std::vector<long>{})
            << "a reopened network link has the bounds of one opened the first time";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Drops, LinkFaultTest,
    ::testing::Values(
        // "@AC" and five requests, then the battery's server closes the link.
        LinkFaultCase{
            "BatteryServerCloses", Drop::ServerCloses, {.closeBatteryAfter = 6}, 10, 5, 0, 1},
        // The set-up and two settings, then the supply's server closes the link.
        LinkFaultCase{
            "SupplyServerCloses", Drop::ServerCloses, {.closeSupplyAfter = 7}, 10, 2, 0, 1},
        // A hundred outages, one after each reply.
        LinkFaultCase{"BatteryServerClosesEveryPoll",
                      Drop::ServerCloses,
                      {.closeBatteryAfter = 1},
                      100,
                      0,
                      0,
                      100},
        // Gone for three polls paced 0.35 s apart: an outage of a second.
        LinkFaultCase{"BatteryServerGone", Drop::ServerGone, {}, 8, 2, 3, 1, 1},
        LinkFaultCase{"Ser2netKick", Drop::Ser2netKick, {}, 6, 2, 1, 1},
        LinkFaultCase{"PtyReplugged", Drop::PtyReplugged, {}, 8, 2, 2, 1},
        // The name server stops after three polls, the link drops after five.
        LinkFaultCase{
            "NameServerStops", Drop::NameSilent, {.closeBatteryAfter = 6}, 10, 3, 0, 1, 1},
        LinkFaultCase{"NameMoves", Drop::NameMoves, {}, 8, 2, 0, 1},
        // Its reopen gives up on the lookup; the next takes the late answer.
        LinkFaultCase{"NameSlowAndMoved", Drop::NameSlow, {}, 8, 2, 1, 1, 1}),
    [](const auto &info) { return std::string(info.param.name); });

// The charger never asks the supply anything; a query of the commissioning
// tools against a supply gone quiet gives up after its tries.
TEST_F(FaultTest, QueryOfASupplyGoneQuietGivesUp) {
    zorsim::Bench &bench = startBench(benchOptions({.supplyQueriesAnswered = 1}));
    int port = 0;
    zortest::StdCapture capture;
    ASSERT_GT(openPort(bench.supplyEndpoint().c_str(), &port, 9600, 8, 1, "none"), 0);
    xfrSetVolts(port, 30.0);
    double volts = 0;
    EXPECT_EQ(xfrGetVSet(port, &volts), 1);
    EXPECT_DOUBLE_EQ(volts, 30.0);
    volts = -1;
    EXPECT_EQ(xfrGetVSet(port, &volts), -1);
    EXPECT_DOUBLE_EQ(volts, -1) << "no answer leaves the value alone";
    closePort(port);
    capture.stop();
    EXPECT_EQ(bench.counters().silentQueries, XFR_QUERY_TRIES);
}

}  // namespace
