// zor_sim: the simulated bench. Serves a simulated XFR supply and the
// battery's electronics to the charger until SIGINT or SIGTERM.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/bench.h"

namespace {

const char kUsage[] =
    "usage: zor_sim [options]\n"
    "Stands in for the charger's two instruments: an XFR supply and the battery's\n"
    "electronics, with a charging model behind them. Prints the endpoints and a line\n"
    "starting with \"zor_sim ready:\" once it listens; stops on SIGINT or SIGTERM.\n"
    "\n"
    "  --speed FACTOR          simulated seconds per real second (default 60)\n"
    "  --seconds-per-poll S    instead, move simulated time on by S per status request\n"
    "  --seed N                seed of the model's small differences and noise (default 1)\n"
    "  --supply-port N         TCP port of the supply on 127.0.0.1 (default 2001, 0: any)\n"
    "  --battery-port N        TCP port of the battery on 127.0.0.1 (default 10001, 0: any)\n"
    "  --supply-pty            serve the supply on a pseudo-terminal instead of TCP\n"
    "  --battery-pty           serve the battery on a pseudo-terminal instead of TCP\n"
    "  --line-rate BAUD        replies leave at this serial line rate, 10 bits a byte,\n"
    "                          as from instruments behind real lines (default: at once)\n"
    "  --chunk N               with --line-rate, hand bytes over N at a time, as a\n"
    "                          network serial server forwards its buffer (default 1)\n"
    "  --log FILE              record what each instrument received in FILE\n"
    "                          (default: the standard error stream; \"-\" too)\n"
    "  --quiet                 record nothing\n"
    "  --help                  show this text\n"
    "\n"
    "Faults (all off by default; each choice follows --seed). RATE is a whole number N\n"
    "for every Nth reply, or a probability P with a decimal point (0.05) for each one;\n"
    "RATE:M strikes at most M times (3:1 delays only the third reply):\n"
    "  --drop RATE             battery replies never sent\n"
    "  --resize RATE           battery replies cut short or padded to one of the lengths\n"
    "  --lengths L,L,...       lengths for --resize (default 1,40,76,78,79,100,154)\n"
    "  --garble RATE           1 to 3 characters in a reply's fields replaced by garbage\n"
    "  --split RATE            battery replies sent in two pieces\n"
    "  --split-pause S         seconds between the pieces (default 0.05)\n"
    "  --delay RATE            battery replies sent late, with what follows them\n"
    "  --delay-seconds S       how late (default 2.5: past the charger's 2-second wait)\n"
    "  --close-battery-after N close each battery TCP link after N received lines;\n"
    "                          the next client is served again\n"
    "  --close-supply-after N  the same for the supply\n"
    "  --supply-quiet-after N  the supply answers N queries, then no more\n";

bool parseDouble(const char *text, double low, double high, double *out) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= low && v <= high)) {
        return false;
    }
    *out = v;
    return true;
}

bool parseLong(const char *text, long low, long high, long *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) {
        return false;
    }
    *out = v;
    return true;
}

bool parseRate(const char *text, zorsim::FaultRate *rate) {
    std::string how = text;
    long limit = 0;
    size_t colon = how.find(':');
    if (colon != std::string::npos) {
        if (!parseLong(how.substr(colon + 1).c_str(), 0, 1000000000L, &limit)) {
            return false;
        }
        how.erase(colon);
    }
    double p = 0;
    long every = 0;
    if (how.find('.') != std::string::npos) {
        if (!parseDouble(how.c_str(), 0.0, 1.0, &p)) {
            return false;
        }
    } else if (!parseLong(how.c_str(), 0, 1000000000L, &every)) {
        return false;
    }
    *rate = zorsim::FaultRate{every, p, limit};
    return true;
}

bool parseLengths(const char *text, std::vector<size_t> *lengths) {
    std::vector<size_t> parsed;
    std::string list = text;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = std::min(list.find(',', start), list.size());
        long n = 0;
        if (!parseLong(list.substr(start, comma - start).c_str(), 0, 4096, &n)) {
            return false;
        }
        parsed.push_back(static_cast<size_t>(n));
        start = comma + 1;
    }
    *lengths = std::move(parsed);
    return true;
}

int usageError(const std::string &message) {
    fprintf(stderr, "zor_sim: %s\n(zor_sim --help lists the options)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    zorsim::Options opt;
    opt.speed = 60.0;
    opt.log = stderr;
    const char *logPath = nullptr;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        const char *value = hasValue ? argv[i + 1] : "";
        double d = 0;
        long n = 0;
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--supply-pty") {
            opt.supplyPty = true;
        } else if (arg == "--battery-pty") {
            opt.batteryPty = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (!hasValue && arg.starts_with("--")) {
            return usageError(arg + " needs a value, or is unknown");
        } else if (arg == "--drop" || arg == "--resize" || arg == "--garble" || arg == "--split" ||
                   arg == "--delay") {
            zorsim::Faults &f = opt.faults;
            zorsim::FaultRate *rate = arg == "--drop"     ? &f.drop
                                      : arg == "--resize" ? &f.resize
                                      : arg == "--garble" ? &f.garble
                                      : arg == "--split"  ? &f.split
                                                          : &f.delay;
            if (!parseRate(value, rate)) {
                return usageError(
                    arg + " wants N or a probability from 0.0 to 1.0, then :M if at most M times");
            }
            ++i;
        } else if (arg == "--lengths") {
            if (!parseLengths(value, &opt.faults.lengths)) {
                return usageError("--lengths wants lengths from 0 to 4096 joined by commas");
            }
            ++i;
        } else if (arg == "--split-pause" || arg == "--delay-seconds") {
            if (!parseDouble(value, 0.0, 3600.0, &d)) {
                return usageError(arg + " wants seconds from 0 to 3600");
            }
            (arg == "--split-pause" ? opt.faults.splitPause : opt.faults.delaySeconds) = d;
            ++i;
        } else if (arg == "--close-battery-after" || arg == "--close-supply-after" ||
                   arg == "--supply-quiet-after") {
            if (!parseLong(value, 0, 1000000000L, &n)) {
                return usageError(arg + " wants a count from 0 to 1000000000");
            }
            zorsim::Faults &f = opt.faults;
            (arg == "--close-battery-after"  ? f.closeBatteryAfter
             : arg == "--close-supply-after" ? f.closeSupplyAfter
                                             : f.supplyQueriesAnswered) = n;
            ++i;
        } else if (arg == "--speed") {
            if (!parseDouble(value, 0.001, 1e6, &d)) {
                return usageError("--speed wants a factor from 0.001 to 1000000");
            }
            opt.speed = d;
            ++i;
        } else if (arg == "--seconds-per-poll") {
            if (!parseDouble(value, 0.0, 1e6, &d)) {
                return usageError("--seconds-per-poll wants seconds from 0 to 1000000");
            }
            opt.secondsPerPoll = d;
            ++i;
        } else if (arg == "--seed") {
            if (!parseLong(value, 0, 4294967295L, &n)) {
                return usageError("--seed wants a number from 0 to 4294967295");
            }
            opt.seed = static_cast<uint32_t>(n);
            ++i;
        } else if (arg == "--line-rate") {
            if (!parseLong(value, 50, 4000000, &n)) {
                return usageError("--line-rate wants bits per second from 50 to 4000000");
            }
            opt.lineRate = static_cast<int>(n);
            ++i;
        } else if (arg == "--chunk") {
            if (!parseLong(value, 1, 65536, &n)) {
                return usageError("--chunk wants a byte count from 1 to 65536");
            }
            opt.chunkBytes = static_cast<size_t>(n);
            ++i;
        } else if (arg == "--supply-port" || arg == "--battery-port") {
            if (!parseLong(value, 0, 65535, &n)) {
                return usageError(arg + " wants a port number from 0 to 65535");
            }
            (arg == "--supply-port" ? opt.supplyPort : opt.batteryPort) = static_cast<int>(n);
            ++i;
        } else if (arg == "--log") {
            logPath = value;
            ++i;
        } else {
            return usageError("unknown option " + arg);
        }
    }

    FILE *logFile = nullptr;
    if (quiet) {
        opt.log = nullptr;
    } else if (logPath != nullptr && strcmp(logPath, "-") != 0) {
        logFile = fopen(logPath, "w");
        if (logFile == nullptr) {
            fprintf(stderr, "zor_sim: cannot open log %s: %s\n", logPath, strerror(errno));
            return 1;
        }
        opt.log = logFile;
    }

    // The signals are taken by sigwait below; the bench's thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    zorsim::Bench bench(opt);
    std::string why;
    if (!bench.start(&why)) {
        fprintf(stderr, "zor_sim: cannot start: %s\n", why.c_str());
        if (logFile != nullptr) {
            fclose(logFile);
        }
        return 1;
    }
    if (opt.supplyPty) {
        printf("supply pty: %s\n", bench.supplyEndpoint().c_str());
    }
    if (opt.batteryPty) {
        printf("battery pty: %s\n", bench.batteryEndpoint().c_str());
    }
    if (opt.secondsPerPoll > 0) {
        printf("zor_sim ready: supply %s battery %s, %g simulated seconds per poll",
               bench.supplyEndpoint().c_str(), bench.batteryEndpoint().c_str(), opt.secondsPerPoll);
    } else {
        printf("zor_sim ready: supply %s battery %s, speed %g", bench.supplyEndpoint().c_str(),
               bench.batteryEndpoint().c_str(), opt.speed);
    }
    if (opt.lineRate > 0) {
        printf(", line %d baud", opt.lineRate);
    }
    putchar('\n');
    fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    bench.stop();
    zorsim::Counters c = bench.counters();
    printf(
        "zor_sim stopped by %s: %ld status requests, %ld battery on, %ld battery off, "
        "%ld supply lines (%ld refused)\n",
        sig == SIGINT ? "SIGINT" : "SIGTERM", c.statusRequests, c.enables, c.disables,
        c.supplyLines, c.supplyErrors);
    printf(
        "faults: %ld dropped, %ld resized, %ld garbled, %ld split, %ld delayed, %ld links "
        "closed, %ld queries unanswered\n",
        c.faultDrops, c.faultResizes, c.faultGarbles, c.faultSplits, c.faultDelays, c.faultCloses,
        c.silentQueries);
    if (logFile != nullptr) {
        fclose(logFile);
    }
    return 0;
}
