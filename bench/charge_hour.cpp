// zor_bench_hour POLLS: one simulated hour of charging (720 polls of 5
// simulated seconds) without the sleeps, with the charge loop in a process of
// its own so that the operating system's accounting of that process is the
// charger's alone. The simulated bench runs in this process.
// Prints key=value lines: CPU seconds and memory in kB.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "bench/bench_support.h"
#include "sim/bench.h"
#include "zor_charger/zor_charger.h"

namespace {

constexpr double SECONDS_PER_POLL = 5.0;

unsigned noSleep(unsigned) {
    return 0;
}

// The child: the charge loop against the given endpoints, then its own
// figures appended to `results`.
int runChild(const char *supply, const char *battery, long polls, const char *results) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    long rssStart = zorbench::procStatusKb("VmRSS");
    ChargeRunOptions options{};
    options.supplyEndpoint = supply;
    options.batteryEndpoint = battery;
    options.sleepSeconds = noSleep;
    options.pollLimit = polls;
    int result = runCharge(&options);
    FILE *out = fopen(results, "w");
    if (out == nullptr) {
        return 1;
    }
    fprintf(out, "rss_start_kb=%ld\nrss_end_kb=%ld\nhwm_kb=%ld\n", rssStart,
            zorbench::procStatusKb("VmRSS"), zorbench::procStatusKb("VmHWM"));
    fclose(out);
    return result == 0 ? 0 : 1;
}

void copyFile(const std::string &path) {
    FILE *in = fopen(path.c_str(), "r");
    if (in == nullptr) {
        return;
    }
    char line[256];
    while (fgets(line, sizeof line, in) != nullptr) {
        fputs(line, stdout);
    }
    fclose(in);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 6 && strcmp(argv[1], "--charge") == 0) {
        return runChild(argv[2], argv[3], atol(argv[4]), argv[5]);
    }
    long polls = argc == 2 ? atol(argv[1]) : 0;
    if (polls < 1) {
        fprintf(stderr, "usage: zor_bench_hour POLLS\n");
        return 2;
    }
    zorsim::Options o;
    o.supplyPort = 0;
    o.batteryPort = 0;
    o.secondsPerPoll = SECONDS_PER_POLL;
    o.log = nullptr;
    zorsim::Bench sim(o);
    std::string why;
    zortest::TempDir dir(".");
    if (!dir.valid() || !sim.start(&why)) {
        fprintf(stderr, "zor_bench_hour: cannot start the simulated bench: %s\n", why.c_str());
        return 1;
    }
    std::string supply = sim.supplyEndpoint(), battery = sim.batteryEndpoint();
    std::string pollText = std::to_string(polls);
    std::string results = dir.path() + "/results";
    std::string console = dir.path() + "/console.out";
    char self[4096];
    ssize_t selfLen = readlink("/proc/self/exe", self, sizeof self - 1);
    if (selfLen <= 0) {
        perror("zor_bench_hour: /proc/self/exe");
        return 1;
    }
    self[selfLen] = '\0';

    double start = zorbench::monotonicSeconds();
    pid_t pid = fork();
    if (pid == 0) {
        // Async-signal-safe calls only: the simulator's thread runs.
        int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || chdir(dir.path().c_str()) != 0) {
            _exit(127);
        }
        dup2(out, STDOUT_FILENO);
        execl(self, self, "--charge", supply.c_str(), battery.c_str(), pollText.c_str(),
              results.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        perror("zor_bench_hour: fork");
        return 1;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    double wall = zorbench::monotonicSeconds() - start;
    sim.stop();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "zor_bench_hour: the charge run failed (status %d)\n", status);
        return 1;
    }
    zorsim::Counters c = sim.counters();
    double user = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec * 1e-6;
    double system = static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec * 1e-6;
    printf("polls=%ld\nstatus_requests=%ld\nsim_seconds=%.0f\nwall_seconds=%.3f\n", polls,
           c.statusRequests, sim.model().simSeconds(), wall);
    printf("user_seconds=%.3f\nsystem_seconds=%.3f\nmaxrss_kb=%ld\n", user, system,
           usage.ru_maxrss);
    copyFile(results);
    return 0;
}
