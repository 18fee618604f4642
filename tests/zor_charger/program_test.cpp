#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/status_reply.h"
#include "tests/support/test_support.h"

namespace {

using zortest::UniqueFd;

const int SUPPLY_PORT = zortest::loopbackPortOf(ZOR_SUPPLY_ENDPOINT);
const int BATTERY_PORT = zortest::loopbackPortOf(ZOR_BATTERY_ENDPOINT);

TEST(ProgramTest, ExitsWith255WhenTheSupplyIsUnreachable) {
    if (SUPPLY_PORT == 0) {
        GTEST_SKIP() << "built for a supply that is not on loopback";
    }
    if (zortest::loopbackAccepts(SUPPLY_PORT)) {
        GTEST_SKIP() << "something listens on the supply's port " << SUPPLY_PORT;
    }
    zortest::TempDir dir;
    int errPipe[2];
    ASSERT_EQ(pipe2(errPipe, O_CLOEXEC), 0);
    UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
    UniqueFd devNull(open("/dev/null", O_WRONLY | O_CLOEXEC));
    zortest::Child charger({ZOR_CHARGER_BINARY}, dir.path(), devNull.get(), errWrite.get());
    errWrite.reset();
    EXPECT_EQ(charger.wait(std::chrono::seconds(10)), 255);
    EXPECT_NE(zortest::drain(errRead.get(), 1000)
                  .find("unable to open connection to xantrex: Connection refused\n"),
              std::string::npos);
    EXPECT_EQ(zortest::dataLogIn(dir.path()), "") << "the data log is created but gets no line";
}

// Runs against stand-ins at the fixed ports with its standard output a pipe
// nobody reads: writing there must not end the charge. Takes the program's
// 5-second settling wait.
TEST(ProgramTest, ChargesOnWhenItsOutputIsGone) {
    if (SUPPLY_PORT == 0 || BATTERY_PORT == 0) {
        GTEST_SKIP() << "built for instruments that are not on loopback";
    }
    zortest::LoopbackListener supplyListener, batteryListener;
    if (!supplyListener.listen(SUPPLY_PORT) || !batteryListener.listen(BATTERY_PORT)) {
        GTEST_SKIP() << "the supply's or the battery's loopback port is taken";
    }
    zortest::TempDir dir;
    int outPipe[2];
    ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
    UniqueFd outWrite(outPipe[1]);
    close(outPipe[0]);
    UniqueFd devNull(open("/dev/null", O_WRONLY | O_CLOEXEC));
    zortest::Child charger({ZOR_CHARGER_BINARY}, dir.path(), outWrite.get(), devNull.get());

    UniqueFd supply = supplyListener.accept(5000);
    ASSERT_TRUE(supply.valid());
    EXPECT_EQ(zortest::readFor(supply.get(), 45, 3000),
              "CLR\rOUT 0\rVSET 35.9000V\rISET 45.0000A\rOUT 1\r");
    UniqueFd battery = batteryListener.accept(10000);
    ASSERT_TRUE(battery.valid());
    ASSERT_EQ(zortest::readFor(battery.get(), 8, 3000), "@AC\n@RQ\n");
    ASSERT_EQ(send(battery.get(), zortest::KNOWN_REPLY, 77, MSG_NOSIGNAL), 77);
    EXPECT_EQ(zortest::readFor(supply.get(), 14, 3000), "ISET 45.0000A\r");
    EXPECT_TRUE(charger.running());
    charger.signal(SIGTERM);  // the program ends first: no TIME_WAIT left on the fixed ports
    EXPECT_EQ(charger.wait(std::chrono::seconds(5)), 128 + SIGTERM);
    std::string dataLog = zortest::dataLogIn(dir.path());
    EXPECT_EQ(std::count(dataLog.begin(), dataLog.end(), '\n'), 1) << dataLog;
}

// Under a service manager: SIGTERM ends the poll under way, what the console
// still holds is written out with the next start's line, the charge stays
// saved, and the manager sees the signal.
TEST(ProgramTest, StopWritesOutWhatIsHeldAndKeepsTheCharge) {
    zortest::LoopbackListener supplyListener, batteryListener;
    ASSERT_TRUE(SUPPLY_PORT != 0 && BATTERY_PORT != 0 && supplyListener.listen(SUPPLY_PORT) &&
                batteryListener.listen(BATTERY_PORT))
        << "the supply's or the battery's loopback port is not ours";
    zortest::TempDir dir;
    setenv("STATE_DIRECTORY", dir.path().c_str(), 1);
    zortest::Child charger({ZOR_CHARGER_BINARY}, dir.path(), dir.path() + "/out");
    unsetenv("STATE_DIRECTORY");
    UniqueFd supply = supplyListener.accept(5000), battery = batteryListener.accept(10000);
    ASSERT_TRUE(battery.valid());
    ASSERT_EQ(zortest::readFor(battery.get(), 8, 3000), "@AC\n@RQ\n");
    // While the first waits for a reply, a second refuses before it touches anything.
    setenv("STATE_DIRECTORY", dir.path().c_str(), 1);
    zortest::Child second({ZOR_CHARGER_BINARY}, dir.path(), dir.path() + "/second");
    zortest::Child asked({ZOR_CHARGER_BINARY, "--new-charge"}, dir.path(), dir.path() + "/asked");
    unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(second.wait(std::chrono::seconds(5)) + asked.wait(std::chrono::seconds(5)), 75);
    EXPECT_EQ(zortest::readFile(dir.path() + "/second"),
              "another charger is running on " + dir.path() + ": not started\n");
    EXPECT_THAT(zortest::readFile(dir.path() + "/asked"),
                ::testing::HasSubstr("a charger is running on " + dir.path() + ": the mark waits"));
    unlink((dir.path() + "/new-charge").c_str());
    ASSERT_EQ(send(battery.get(), zortest::KNOWN_REPLY, 77, MSG_NOSIGNAL), 77);
    EXPECT_EQ(zortest::readFor(supply.get(), 58, 3000).substr(44), "ISET 45.0000A\r");
    charger.signal(SIGTERM);
    EXPECT_EQ(charger.wait(std::chrono::seconds(5)), 128 + SIGTERM);
    const std::string dataLog = zortest::dataLogIn(dir.path());
    EXPECT_EQ(std::count(dataLog.begin(), dataLog.end(), '\n'), 1) << dataLog;
    EXPECT_THAT(zortest::readFile(dir.path() + "/out"),
                ::testing::ContainsRegex("going to sleep\nwaking up\nstopped by SIGTERM: the next "
                                         "start resumes the charge of [0-9]+zor\\.log at stage "
                                         "1/4\n$"));
    EXPECT_THAT(zortest::readFile(dir.path() + "/charge.state"),
                ::testing::HasSubstr("zor.log\nstage 0\nended 0\n"));
}

// Where the service never ran, no charge is kept: said, and 0.
TEST(ProgramTest, NewChargeWhereTheServiceNeverRan) {
    zortest::PrivateDev dev;  // an empty /var/lib for this thread and its children
    std::string why;
    if (!dev.enter(&why) || mount("tmpfs", "/var/lib", "tmpfs", 0, "size=16k") != 0) {
        GTEST_SKIP() << why << strerror(errno);
    }
    zortest::Child asked({ZOR_CHARGER_BINARY, "--new-charge"}, "/var/lib", "/var/lib/out");
    EXPECT_EQ(asked.wait(std::chrono::seconds(5)), 0);
    EXPECT_EQ(zortest::readFile("/var/lib/out"),
              "the next start begins a new charge: no charge is kept in /var/lib/zor_charger\n");
}

}  // namespace
