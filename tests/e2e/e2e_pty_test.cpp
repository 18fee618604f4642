// The charge run in-process over pseudo-terminal device paths: the port
// layer's serial branch end to end against the simulated bench.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "sim/bench.h"
#include "tests/support/test_support.h"
#include "zor_charger/zor_charger.h"

namespace {

unsigned shortSleep(unsigned) {
    usleep(20 * 1000);
    return 0;
}

struct RunRecord {
    int highestStage = 0;
    long accepted = 0;
};

void recordPoll(const ChargeState *state, void *context) {
    auto *record = static_cast<RunRecord *>(context);
    record->highestStage = std::max(record->highestStage, state->ChargeStage);
    record->accepted = state->acceptedReplies;
}

TEST(PtyChargeRunTest, ReachesTheEndOfChargeOverDevicePaths) {
    zorsim::Options opt;
    opt.supplyPty = opt.batteryPty = true;
    opt.secondsPerPoll = 1500;  // a full charge in under ten polls
    zorsim::Bench bench(opt);
    std::string why;
    ASSERT_TRUE(bench.start(&why)) << why;

    zortest::TempDir dir;
    std::string logPath = dir.path() + "/datalog";
    FILE *dataLog = fopen(logPath.c_str(), "w");
    ASSERT_NE(dataLog, nullptr);
    std::string supply = bench.supplyEndpoint(), battery = bench.batteryEndpoint();
    RunRecord record;
    const long polls = 12;
    ChargeRunOptions run{supply.c_str(), battery.c_str(), shortSleep, polls,
                         dataLog,        recordPoll,      &record};
    zortest::StdCapture capture;
    int result = runCharge(&run);
    capture.stop();
    fclose(dataLog);
    bench.stop();

    EXPECT_EQ(result, 0) << capture.err();
    EXPECT_EQ(record.highestStage, 3);
    EXPECT_NE(capture.out().find("turning battery off at end of charge"), std::string::npos);
    zorsim::Counters c = bench.counters();
    EXPECT_EQ(c.enables, 1);
    EXPECT_EQ(c.statusRequests, polls);
    EXPECT_GE(c.disables, 1);
    EXPECT_EQ(c.supplyErrors, 0);
    EXPECT_GE(record.accepted, polls - 2) << "replies lost on the pty";

    std::string text = zortest::readFile(logPath);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), record.accepted);
    std::vector<std::string> got = bench.received(zorsim::Instrument::Supply);
    ASSERT_GE(got.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 5),
              (std::vector<std::string>{"CLR\r", "OUT 0\r", "VSET 35.9000V\r", "ISET 45.0000A\r",
                                        "OUT 1\r"}));
    EXPECT_EQ(got.back(), "ISET 7.5000A\r");
}

}  // namespace
