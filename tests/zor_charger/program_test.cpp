#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

using zortest::UniqueFd;

// The built program, started in `folder` with the given standard output and
// error; killed and reaped when the test ends early.
struct Charger {
    pid_t pid = -1;
    Charger(const std::string &folder, int out, int err) {
        pid = fork();
        if (pid == 0) {
            if (chdir(folder.c_str()) != 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
                _exit(127);
            }
            execl(ZOR_CHARGER_BINARY, ZOR_CHARGER_BINARY, static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    // The wait status once the program ended, or -1 when it still runs after
    // `seconds`.
    int wait(int seconds) {
        for (int tick = 0;; ++tick) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return status;
            }
            if (tick >= seconds * 20) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Charger() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// The loopback port of an endpoint built in, or 0 when it is not on loopback.
int loopbackPortOf(const std::string &endpoint) {
    const std::string prefix = "tcp:127.0.0.1:";
    return endpoint.starts_with(prefix) ? atoi(endpoint.c_str() + prefix.size()) : 0;
}
const int SUPPLY_PORT = loopbackPortOf(ZOR_SUPPLY_ENDPOINT);
const int BATTERY_PORT = loopbackPortOf(ZOR_BATTERY_ENDPOINT);

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// A listener at a fixed loopback port; invalid when the port is taken.
zortest::LoopbackListener listenAt(int port) {
    zortest::LoopbackListener l;
    l.fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;  // connections of an earlier run may linger in TIME_WAIT
    setsockopt(l.fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(port);
    if (bind(l.fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(l.fd.get(), 1) != 0) {
        l.fd.reset();
    }
    return l;
}

std::string onlyDataLog(const std::string &folder) {
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        EXPECT_TRUE(entry.path().filename().string().ends_with("zor.log"));
        return zortest::readFile(entry.path());
    }
    return "<none>";
}

TEST(ProgramTest, ExitsWith255WhenTheSupplyIsUnreachable) {
    if (SUPPLY_PORT == 0) {
        GTEST_SKIP() << "built for a supply that is not on loopback";
    }
    {
        UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr = loopback(SUPPLY_PORT);
        if (connect(probe.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            GTEST_SKIP() << "something listens on the supply's port " << SUPPLY_PORT;
        }
    }
    zortest::TempDir dir;
    int errPipe[2];
    ASSERT_EQ(pipe2(errPipe, O_CLOEXEC), 0);
    UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
    UniqueFd devNull(open("/dev/null", O_WRONLY | O_CLOEXEC));
    Charger charger(dir.path(), devNull.get(), errWrite.get());
    errWrite.reset();
    int status = charger.wait(10);
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_NE(zortest::drain(errRead.get(), 1000)
                  .find("unable to open connection to xantrex: Connection refused\n"),
              std::string::npos);
    EXPECT_EQ(onlyDataLog(dir.path()), "") << "the data log is created but gets no line";
}

// Runs against stand-ins at the fixed ports with its standard output a pipe
// nobody reads: writing there must not end the charge. Takes the program's
// 5-second settling wait.
TEST(ProgramTest, ChargesOnWhenItsOutputIsGone) {
    if (SUPPLY_PORT == 0 || BATTERY_PORT == 0) {
        GTEST_SKIP() << "built for instruments that are not on loopback";
    }
    zortest::LoopbackListener supplyListener = listenAt(SUPPLY_PORT);
    zortest::LoopbackListener batteryListener = listenAt(BATTERY_PORT);
    if (!supplyListener.fd.valid() || !batteryListener.fd.valid()) {
        GTEST_SKIP() << "the supply's or the battery's loopback port is taken";
    }
    zortest::TempDir dir;
    int outPipe[2];
    ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
    UniqueFd outWrite(outPipe[1]);
    close(outPipe[0]);
    UniqueFd devNull(open("/dev/null", O_WRONLY | O_CLOEXEC));
    Charger charger(dir.path(), outWrite.get(), devNull.get());

    UniqueFd supply = supplyListener.accept(5000);
    ASSERT_TRUE(supply.valid());
    EXPECT_EQ(zortest::readFor(supply.get(), 45, 3000),
              "CLR\rOUT 0\rVSET 35.9000V\rISET 45.0000A\rOUT 1\r");
    UniqueFd battery = batteryListener.accept(10000);
    ASSERT_TRUE(battery.valid());
    ASSERT_EQ(zortest::readFor(battery.get(), 8, 3000), "@AC\n@RQ\n");
    const std::string reply =
        "01F40E100E110E120E130E140E150E160E17FF83050A141EFF0001632D2A0000011A2B8408zz\n";
    ASSERT_EQ(send(battery.get(), reply.data(), reply.size(), MSG_NOSIGNAL), 77);
    EXPECT_EQ(zortest::readFor(supply.get(), 14, 3000), "ISET 45.0000A\r");
    EXPECT_EQ(charger.wait(0), -1) << "still running";
    kill(charger.pid, SIGTERM);  // the program ends first: no TIME_WAIT left on the fixed ports
    int status = charger.wait(5);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "wait status " << status;
    std::string dataLog = onlyDataLog(dir.path());
    EXPECT_EQ(std::count(dataLog.begin(), dataLog.end(), '\n'), 1) << dataLog;
}

}  // namespace
