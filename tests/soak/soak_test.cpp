// A long run: many polls in-process against the simulated bench with faults
// that cost no waiting, watching resident memory and open descriptors.
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "sim/bench.h"
#include "tests/support/test_support.h"
#include "zor_charger/zor_charger.h"

#if defined(__SANITIZE_ADDRESS__)
constexpr long SOAK_POLLS = 10000;      // the sanitizers make each poll many times dearer
constexpr bool MEMORY_IS_OURS = false;  // the sanitizer's quarantine grows on its own
#else
constexpr long SOAK_POLLS = 100000;
constexpr bool MEMORY_IS_OURS = true;
#endif

// The port layer pauses 10 ms after every send and waits for the line to be
// quiet for 100 ms after every reply, which alone would make a hundred
// thousand polls take hours. While the soak runs, this binary's usleep pauses
// a hundredth of that and its poll waits a thousandth: still long enough for
// the bench, which answers at once and in one piece, as it does at full length.
static std::atomic<bool> shortPauses{false};

extern "C" int poll(pollfd *fds, nfds_t count, int timeoutMs) {
    if (timeoutMs < 0) {
        return ppoll(fds, count, nullptr, nullptr);
    }
    long nanoseconds = static_cast<long>(timeoutMs) * (shortPauses ? 1000 : 1000000);
    timespec t{nanoseconds / 1000000000, nanoseconds % 1000000000};
    return ppoll(fds, count, &t, nullptr);
}

extern "C" int usleep(useconds_t microseconds) {
    if (shortPauses) {
        microseconds /= 100;
    }
    timespec t{static_cast<time_t>(microseconds / 1000000),
               static_cast<long>(microseconds % 1000000) * 1000};
    return nanosleep(&t, nullptr);
}

namespace {

long residentKiB() {
    FILE *f = fopen("/proc/self/status", "r");
    if (f == nullptr) {
        return -1;
    }
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1) {
            break;
        }
    }
    fclose(f);
    return kib;
}

using zortest::noSleep;

struct Watch {
    long warmUp;
    long warmKiB = 0, endKiB = 0, peakKiB = 0;
    int warmFds = 0, endFds = 0;
    long rejectedChanges = 0;  // rejected polls that changed the record or the schedule
    ChargeState last{};
};

void watchPoll(const ChargeState *state, void *context) {
    Watch &w = *static_cast<Watch *>(context);
    if (state->acceptedReplies == w.last.acceptedReplies &&
        (memcmp(&state->status, &w.last.status, sizeof state->status) != 0 ||
         state->ChargeStage != w.last.ChargeStage ||
         state->chargeCurrent != w.last.chargeCurrent)) {
        ++w.rejectedChanges;
    }
    w.last = *state;
    if (state->polls % 1000 == 0 && state->polls >= w.warmUp) {
        long kib = residentKiB();
        w.peakKiB = std::max(w.peakKiB, kib);
        if (state->polls == w.warmUp) {
            w.warmKiB = kib;
            w.warmFds = zortest::openDescriptorCount();
        }
        w.endKiB = kib;
        w.endFds = zortest::openDescriptorCount();
    }
}

TEST(SoakTest, ManyPollsKeepMemoryAndDescriptorsFlat) {
    zorsim::Options opt;
    opt.supplyPort = opt.batteryPort = 0;
    opt.secondsPerPoll = 60;
    opt.historyLines = 64;
    // A reply longer than a read, or a piece read on its own, costs its poll.
    opt.faults.garble = {0, 0.05};
    opt.faults.resize = {0, 0.003};
    opt.faults.lengths = {1, 40, 76, 78, 79, 100};
    opt.faults.split = {0, 0.003};
    opt.faults.splitPause = 0;  // the pieces leave together: no waiting
    zorsim::Bench bench(opt);
    std::string why;
    ASSERT_TRUE(bench.start(&why)) << why;

    // The data log in memory: every line is synced, and a disk would make that slow.
    int logFd = memfd_create("soak-data-log", MFD_CLOEXEC);
    ASSERT_GE(logFd, 0) << strerror(errno);
    FILE *dataLog = fdopen(logFd, "w+");
    ASSERT_NE(dataLog, nullptr);
    // The charger's records still go through syslog(), but the mask keeps the
    // library from sending two hundred thousand of them to a real logger.
    int savedMask = setlogmask(LOG_MASK(LOG_EMERG));
    // The console report (some thirty lines per accepted poll) goes nowhere.
    fflush(stdout);
    int savedOut = dup(STDOUT_FILENO);
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_TRUE(savedOut >= 0 && devNull >= 0);
    dup2(devNull, STDOUT_FILENO);
    close(devNull);

    Watch watch{SOAK_POLLS / 10};
    watch.last.chargeCurrent = 45.0;
    std::string supply = bench.supplyEndpoint(), battery = bench.batteryEndpoint();
    ChargeRunOptions options{supply.c_str(), battery.c_str(), noSleep, SOAK_POLLS,
                             dataLog,        watchPoll,       &watch};
    shortPauses = true;
    int slack = prctl(PR_GET_TIMERSLACK);
    prctl(PR_SET_TIMERSLACK, 1);  // the short pauses, not the default 50 us of slack
    auto started = std::chrono::steady_clock::now();
    int result = runCharge(&options);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    shortPauses = false;
    prctl(PR_SET_TIMERSLACK, slack);

    fflush(stdout);
    dup2(savedOut, STDOUT_FILENO);
    close(savedOut);
    setlogmask(savedMask);
    zorsim::Counters counters = bench.counters();
    bench.stop();

    long lines = 0;
    rewind(dataLog);
    for (int c; (c = fgetc(dataLog)) != EOF;) {
        lines += c == '\n';
    }
    fclose(dataLog);

    printf("soak: %ld polls in %.1f s (%.0f per second); %ld accepted, %ld data log lines\n",
           watch.last.polls, seconds, static_cast<double>(watch.last.polls) / seconds,
           watch.last.acceptedReplies, lines);
    printf("soak: faults %ld garbled, %ld resized, %ld split; stage %d at %.1f A\n",
           counters.faultGarbles, counters.faultResizes, counters.faultSplits,
           watch.last.ChargeStage, watch.last.chargeCurrent);
    printf("soak: resident memory %ld KiB after %ld polls, %ld KiB at the end (peak %ld KiB)\n",
           watch.warmKiB, watch.warmUp, watch.endKiB, watch.peakKiB);
    printf("soak: open descriptors %d after %ld polls, %d at the end\n", watch.warmFds,
           watch.warmUp, watch.endFds);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(watch.last.polls, SOAK_POLLS);
    EXPECT_EQ(lines, watch.last.acceptedReplies) << "one data log line per accepted reply";
    EXPECT_GT(watch.last.acceptedReplies, SOAK_POLLS / 2);
    EXPECT_LT(watch.last.acceptedReplies, SOAK_POLLS);
    EXPECT_EQ(watch.rejectedChanges, 0);
    EXPECT_EQ(watch.endFds, watch.warmFds);
    if (MEMORY_IS_OURS) {
        EXPECT_LE(watch.endKiB - watch.warmKiB, 1024) << "resident memory grows with the polls";
    }
}

}  // namespace
