// zor_bench_startup CHARGER FIRST_SEND RUNS: starts the charger binary RUNS times
// against the simulated supply on its fixed port, and measures the time from
// starting the process to the supply receiving "OUT 1\r". The battery is
// never reached: each charger is stopped during its wait after switching the
// supply on. Then starts FIRST_SEND (a program that only connects and sends
// one command) as often, for the cost of starting a process at all. Prints
// key=value lines (seconds).
//
// The fixed port may be taken by a test or a simulator someone runs, so the
// probe first moves itself into a network namespace of its own, with a
// loopback interface nobody else uses; where it may not, it shares the
// machine's and waits for the port.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "sim/bench.h"

namespace {

constexpr int SUPPLY_PORT = 2001;            // where the charger looks for its supply
constexpr int SETUP_COMMANDS = 5;            // CLR, OUT 0, VSET, ISET, OUT 1
constexpr double START_LIMIT = 5.0;          // the charger waits 5 s after OUT 1
constexpr double BIND_PATIENCE = 20.0;       // another user of the port may hold it
constexpr unsigned POLL_MICROSECONDS = 500;  // between looks; finer would take the CPU
                                             // the programs under test need

// Only async-signal-safe calls between fork and exec: the simulator's
// thread may hold a lock at the moment of the fork.
pid_t startProgram(const char *program, const std::string &folder) {
    std::string consoleFile = folder + "/console.out";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(consoleFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(folder.c_str()) != 0 || out < 0) {
            _exit(127);
        }
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execl(program, program, static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

enum class Network { Shared, Private, Broken };

// A network namespace of our own, with its loopback interface up. Shared when
// the system refuses a new one; Broken when the new one has no working
// loopback (there is no way back to the old one then).
Network privateLoopback() {
    if (unshare(CLONE_NEWNET) != 0) {
        return Network::Shared;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Network::Broken;
    }
    ifreq req{};
    snprintf(req.ifr_name, sizeof req.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
    up = up && ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    close(fd);
    return up ? Network::Private : Network::Broken;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Times {
    std::vector<double> total, toFirst, firstToLast;
};

// Starts `program` `runs` times; each time waits for its `lines`-th supply
// line (for the charger, "OUT 1\r"), then stops it.
bool measure(zorsim::Bench &sim, const char *program, int runs, long lines, Times *times) {
    for (int r = 0; r < runs; ++r) {
        zortest::TempDir dir("/tmp");
        long before = sim.counters().supplyLines;
        double start = zorbench::monotonicSeconds();
        pid_t pid = startProgram(program, dir.path());
        if (pid < 0) {
            perror("zor_bench_startup: fork");
            return false;
        }
        double first = 0, last = 0;
        bool ended = false;
        while (!ended && zorbench::monotonicSeconds() - start < START_LIMIT) {
            long got = sim.counters().supplyLines - before;
            double now = zorbench::monotonicSeconds();
            if (got >= 1 && first == 0) {
                first = now;
            }
            if (got >= lines) {
                std::vector<std::string> received = sim.received(zorsim::Instrument::Supply);
                if (lines == 1 || (!received.empty() && received.back() == "OUT 1\r")) {
                    last = now;
                }
                break;
            }
            usleep(POLL_MICROSECONDS);
            ended = waitpid(pid, nullptr, WNOHANG) == pid;
        }
        if (!ended) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (last == 0) {
            fprintf(stderr, "zor_bench_startup: %s did not send what it should (run %d)\n", program,
                    r);
            return false;
        }
        times->total.push_back(last - start);
        times->toFirst.push_back(first - start);
        times->firstToLast.push_back(last - first);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4 || atoi(argv[3]) < 1) {
        fprintf(stderr, "usage: zor_bench_startup CHARGER FIRST_SEND RUNS\n");
        return 2;
    }
    // The programs run in scratch folders of their own: no relative paths.
    char programs[2][PATH_MAX];
    for (int i = 0; i < 2; ++i) {
        if (realpath(argv[1 + i], programs[i]) == nullptr || access(programs[i], X_OK) != 0) {
            fprintf(stderr, "zor_bench_startup: %s: not an executable\n", argv[1 + i]);
            return 2;
        }
    }
    const int runs = atoi(argv[3]);

    Network network = privateLoopback();
    if (network == Network::Broken) {
        fprintf(stderr, "zor_bench_startup: no loopback interface in a new network namespace\n");
        return 1;
    }

    zorsim::Options o;
    o.supplyPort = SUPPLY_PORT;
    o.batteryPort = 0;
    o.log = nullptr;
    zorsim::Bench sim(o);
    std::string why;
    double giveUp = zorbench::monotonicSeconds() + BIND_PATIENCE;
    while (!sim.start(&why)) {
        if (zorbench::monotonicSeconds() > giveUp) {
            fprintf(stderr, "zor_bench_startup: cannot serve the supply: %s\n", why.c_str());
            return 1;
        }
        usleep(200000);
    }

    Times charger, bare;
    if (!measure(sim, programs[0], runs, SETUP_COMMANDS, &charger) ||
        !measure(sim, programs[1], runs, 1, &bare)) {
        return 1;
    }
    printf("network=%s\n", network == Network::Private ? "private" : "shared");
    printf("runs=%d\n", runs);
    printf("startup_median=%.6f\n", median(charger.total));
    printf("startup_min=%.6f\n", *std::min_element(charger.total.begin(), charger.total.end()));
    printf("first_command_median=%.6f\n", median(charger.toFirst));
    printf("first_to_output_on_median=%.6f\n", median(charger.firstToLast));
    printf("process_floor_median=%.6f\n", median(bare.toFirst));
    return 0;
}
