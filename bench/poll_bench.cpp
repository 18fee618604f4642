// The cost of one poll: the charge loop run in-process against the simulated
// bench, with the 5-second sleeps removed and the simulated clock moving on
// 5 seconds per status request.
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"
#include "serial/serial.h"
#include "sim/bench.h"
#include "util/util.h"
#include "zor_charger/zor_charger.h"

namespace {

constexpr double SECONDS_PER_POLL = 5.0;
constexpr double REQUIRED_PAUSE = 0.010;  // after each send
constexpr int SENDS_PER_POLL = 2;         // "@RQ\n" and the current setting
// A receive ends once the line has been quiet this long after the reply.
constexpr double QUIET_GAP = RECEIVE_QUIET_GAP_MS / 1000.0;

zorsim::Options simOptions() {
    zorsim::Options o;
    o.supplyPort = 0;
    o.batteryPort = 0;
    o.secondsPerPoll = SECONDS_PER_POLL;
    o.log = nullptr;
    return o;
}

int portOf(const std::string &endpoint) {
    return std::stoi(endpoint.substr(endpoint.rfind(':') + 1));
}

// Mean time from "@RQ\n" leaving a plain client to the whole reply being read:
// the instrument's answer, as the charger sees it over loopback. Negative on
// failure.
double meanAnswerSeconds(int rounds) {
    zorsim::Bench sim(simOptions());
    std::string why;
    if (!sim.start(&why)) {
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(portOf(sim.batteryEndpoint())));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    double total = 0;
    int done = 0;
    char buf[128];
    for (int r = 0; r < rounds; ++r) {
        double start = zorbench::monotonicSeconds();
        if (send(fd, "@RQ\n", 4, MSG_NOSIGNAL) != 4) {
            break;
        }
        size_t got = 0;
        while (got < STATUS_REPLY_SIZE) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) {
                break;
            }
            ssize_t n = read(fd, buf + got, sizeof buf - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (got != STATUS_REPLY_SIZE) {
            break;
        }
        total += zorbench::monotonicSeconds() - start;
        ++done;
    }
    close(fd);
    return done == rounds ? total / done : -1;
}

// Mean length of the 10 ms pause as the system actually sleeps it.
double meanPauseSeconds(int rounds) {
    double start = zorbench::monotonicSeconds();
    for (int r = 0; r < rounds; ++r) {
        msleep(10);
    }
    return (zorbench::monotonicSeconds() - start) / rounds;
}

struct PollClock {
    std::vector<double> wall, cpu;
    long accepted = 0;
};

void recordPoll(const ChargeState *state, void *context) {
    auto *clock = static_cast<PollClock *>(context);
    clock->wall.push_back(zorbench::monotonicSeconds());
    clock->cpu.push_back(zorbench::threadCpuSeconds());
    clock->accepted = state->acceptedReplies;
}

unsigned noSleep(unsigned) {
    return 0;
}

// Arguments: the number of polls, and 1 to keep the data log on the disk of
// the working folder (synced per line) or 0 to keep it in memory, which shows
// what the disk's sync costs. The console goes to a file in memory, as it
// would to the journal.
void BM_Poll(benchmark::State &state) {
    const long polls = state.range(0);
    const bool onDisk = state.range(1) != 0;
    double answer = meanAnswerSeconds(200);
    double pause = meanPauseSeconds(50);
    if (answer < 0) {
        state.SkipWithError("the simulated battery did not answer");
        return;
    }
    zorsim::Bench sim(simOptions());
    std::string why;
    zortest::TempDir dir(onDisk ? "." : "/dev/shm");
    zortest::TempDir memoryDir("/dev/shm");
    if (!sim.start(&why) || !dir.valid() || !memoryDir.valid()) {
        state.SkipWithError(("cannot start the simulated bench: " + why).c_str());
        return;
    }
    std::string supply = sim.supplyEndpoint(), battery = sim.batteryEndpoint();
    FILE *dataLog = fopen((dir.path() + "/data.log").c_str(), "a");
    if (dataLog == nullptr) {
        state.SkipWithError("cannot open a data log");
        return;
    }
    PollClock clock;
    clock.wall.reserve(static_cast<size_t>(polls));
    clock.cpu.reserve(static_cast<size_t>(polls));
    ChargeRunOptions options{};
    options.supplyEndpoint = supply.c_str();
    options.batteryEndpoint = battery.c_str();
    options.sleepSeconds = noSleep;
    options.pollLimit = polls;
    options.dataLog = dataLog;
    options.afterPoll = recordPoll;
    options.context = &clock;

    int result = 0;
    for (auto _ : state) {
        zortest::StdCapture console(memoryDir.path());
        result = runCharge(&options);
        console.stop();
        // From the end of the first poll to the end of the last: start-up
        // and the first connection's warm-up are left out.
        size_t n = clock.wall.size();
        state.SetIterationTime(n > 1 ? (clock.wall[n - 1] - clock.wall[0]) / (n - 1) : 0);
    }
    fclose(dataLog);
    size_t n = clock.wall.size();
    if (result != 0 || n < 2 || clock.accepted != polls) {
        state.SkipWithError("the charge run did not poll as expected");
        return;
    }
    double perPoll = (clock.wall[n - 1] - clock.wall[0]) / (n - 1);
    double cpuPerPoll = (clock.cpu[n - 1] - clock.cpu[0]) / (n - 1);
    state.counters["accepted"] = static_cast<double>(clock.accepted);
    state.counters["answer_us"] = answer * 1e6;
    state.counters["pause_us"] = pause * 1e6;
    state.counters["cpu_us"] = cpuPerPoll * 1e6;
    // Beyond the required pauses (10 ms each), the quiet gap that ends the
    // receive and the instrument's answer.
    state.counters["own_us"] =
        (perPoll - SENDS_PER_POLL * REQUIRED_PAUSE - QUIET_GAP - answer) * 1e6;
    // Beyond the pauses as the system sleeps them, the gap and the answer.
    state.counters["own_slept_us"] = (perPoll - SENDS_PER_POLL * pause - QUIET_GAP - answer) * 1e6;
}
BENCHMARK(BM_Poll)->Args({200, 1})->Args({200, 0})->Iterations(1)->UseManualTime()->Unit(
    benchmark::kMillisecond);

}  // namespace
