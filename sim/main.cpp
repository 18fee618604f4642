// zor_sim: the simulated bench. Serves a simulated XFR supply and the
// battery's electronics to the charger until SIGINT or SIGTERM.
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sysexits.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bench.h"

namespace {

const char USAGE[] =
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
    "  --supply-quiet-after N  the supply answers N queries, then no more\n"
    "\n"
    "Events, each once at S seconds after the start (wall-clock time), over by itself\n"
    "after D seconds where it has a length:\n"
    "  --supply-restart-at S   the supply comes up again in its power-up state: output\n"
    "                          off, 0 V, 0 A (a blip on its mains; the link is kept)\n"
    "  --battery-restart-at S[:D]  the battery's electronics restart: no replies for D\n"
    "                          seconds (default 8), then up switched off\n"
    "  --output-off-at S[:D]   the supply's output switched off at its front panel, and\n"
    "                          on again after D seconds (default 35)\n"
    "  --over-voltage-at S[:D] the supply's over-voltage protection trips, its output\n"
    "                          off until cleared by hand after D seconds (default 40)\n"
    "  --heatsink-hot-at S[:D] the battery switches itself off at its heatsink hot limit,\n"
    "                          and on again after D seconds (default 30)\n"
    "  --battery-mute-at S[:D] the battery's electronics leave every \"@RQ\" unanswered\n"
    "                          for D seconds (default 30), its link up, then answer again\n"
    "  --balance-stuck-at S    the battery's balance register keeps its value from then\n"
    "                          on, so that the end of charge never comes\n"
    "  --under-way             start as a charge already under way: the supply set up\n"
    "                          (35.9 V, 45 A) and on, the battery switched on\n";

// getopt_long's values for the options; above any character.
enum Option : int {
    OPT_SPEED = 0x100,
    OPT_SECONDS_PER_POLL,
    OPT_SEED,
    OPT_SUPPLY_PORT,
    OPT_BATTERY_PORT,
    OPT_SUPPLY_PTY,
    OPT_BATTERY_PTY,
    OPT_LINE_RATE,
    OPT_CHUNK,
    OPT_LOG,
    OPT_QUIET,
    OPT_DROP,
    OPT_RESIZE,
    OPT_LENGTHS,
    OPT_GARBLE,
    OPT_SPLIT,
    OPT_SPLIT_PAUSE,
    OPT_DELAY,
    OPT_DELAY_SECONDS,
    OPT_CLOSE_BATTERY_AFTER,
    OPT_CLOSE_SUPPLY_AFTER,
    OPT_SUPPLY_QUIET_AFTER,
    OPT_SUPPLY_RESTART_AT,
    OPT_BATTERY_RESTART_AT,
    OPT_OUTPUT_OFF_AT,
    OPT_OVER_VOLTAGE_AT,
    OPT_HEATSINK_HOT_AT,
    OPT_BATTERY_MUTE_AT,
    OPT_BALANCE_STUCK_AT,
    OPT_UNDER_WAY,
};

constexpr option LONG_OPTIONS[] = {
    {"speed", required_argument, nullptr, OPT_SPEED},
    {"seconds-per-poll", required_argument, nullptr, OPT_SECONDS_PER_POLL},
    {"seed", required_argument, nullptr, OPT_SEED},
    {"supply-port", required_argument, nullptr, OPT_SUPPLY_PORT},
    {"battery-port", required_argument, nullptr, OPT_BATTERY_PORT},
    {"supply-pty", no_argument, nullptr, OPT_SUPPLY_PTY},
    {"battery-pty", no_argument, nullptr, OPT_BATTERY_PTY},
    {"line-rate", required_argument, nullptr, OPT_LINE_RATE},
    {"chunk", required_argument, nullptr, OPT_CHUNK},
    {"log", required_argument, nullptr, OPT_LOG},
    {"quiet", no_argument, nullptr, OPT_QUIET},
    {"help", no_argument, nullptr, 'h'},
    {"drop", required_argument, nullptr, OPT_DROP},
    {"resize", required_argument, nullptr, OPT_RESIZE},
    {"lengths", required_argument, nullptr, OPT_LENGTHS},
    {"garble", required_argument, nullptr, OPT_GARBLE},
    {"split", required_argument, nullptr, OPT_SPLIT},
    {"split-pause", required_argument, nullptr, OPT_SPLIT_PAUSE},
    {"delay", required_argument, nullptr, OPT_DELAY},
    {"delay-seconds", required_argument, nullptr, OPT_DELAY_SECONDS},
    {"close-battery-after", required_argument, nullptr, OPT_CLOSE_BATTERY_AFTER},
    {"close-supply-after", required_argument, nullptr, OPT_CLOSE_SUPPLY_AFTER},
    {"supply-quiet-after", required_argument, nullptr, OPT_SUPPLY_QUIET_AFTER},
    {"supply-restart-at", required_argument, nullptr, OPT_SUPPLY_RESTART_AT},
    {"battery-restart-at", required_argument, nullptr, OPT_BATTERY_RESTART_AT},
    {"output-off-at", required_argument, nullptr, OPT_OUTPUT_OFF_AT},
    {"over-voltage-at", required_argument, nullptr, OPT_OVER_VOLTAGE_AT},
    {"heatsink-hot-at", required_argument, nullptr, OPT_HEATSINK_HOT_AT},
    {"battery-mute-at", required_argument, nullptr, OPT_BATTERY_MUTE_AT},
    {"balance-stuck-at", required_argument, nullptr, OPT_BALANCE_STUCK_AT},
    {"under-way", no_argument, nullptr, OPT_UNDER_WAY},
    {nullptr, 0, nullptr, 0},
};

constexpr long MOST_TIMES = 1000000000L;  // bound of the counts and rates

bool parseRate(std::string_view text, zorsim::FaultRate *rate) {
    long limit = 0;
    size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        if (!zortext::parseInteger(text.substr(colon + 1), 0L, MOST_TIMES, &limit)) {
            return false;
        }
        text = text.substr(0, colon);
    }
    double p = 0;
    long every = 0;
    bool parsed = text.find('.') != std::string_view::npos
                      ? zortext::parseNumber(text, 0.0, 1.0, &p)
                      : zortext::parseInteger(text, 0L, MOST_TIMES, &every);
    if (parsed) {
        *rate = zorsim::FaultRate{every, p, limit};
    }
    return parsed;
}

bool parseLengths(std::string_view list, std::vector<size_t> *lengths) {
    std::vector<size_t> parsed;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = std::min(list.find(',', start), list.size());
        size_t n = 0;
        if (!zortext::parseInteger(list.substr(start, comma - start), size_t{0}, size_t{4096},
                                   &n)) {
            return false;
        }
        parsed.push_back(n);
        start = comma + 1;
    }
    *lengths = std::move(parsed);
    return true;
}

// "S" or "S:D": an event's second and, where given, its length.
bool parseEvent(std::string_view text, double *at, double *seconds) {
    size_t colon = text.find(':');
    if (colon != std::string_view::npos &&
        (seconds == nullptr || !zortext::parseNumber(text.substr(colon + 1), 0.0, 1e6, seconds))) {
        return false;
    }
    return zortext::parseNumber(text.substr(0, colon), 0.0, 1e6, at);
}

// Empty `message`: getopt_long has said what is wrong.
int usageError(const std::string &message) {
    if (!message.empty()) {
        fprintf(stderr, "zor_sim: %s\n", message.c_str());
    }
    fputs("(zor_sim --help lists the options)\n", stderr);
    return EX_USAGE;
}

}  // namespace

int main(int argc, char **argv) {
    zorsim::Options opt;
    opt.speed = 60.0;
    opt.log = stderr;
    const char *logPath = nullptr;
    bool quiet = false;
    zorsim::Faults &f = opt.faults;
    int index = 0;
    for (int c; (c = getopt_long(argc, argv, "h", LONG_OPTIONS, &index)) != -1;) {
        const std::string name = std::string("--") + LONG_OPTIONS[index].name;
        const char *value = optarg;
        switch (c) {
            case 'h':
                fputs(USAGE, stdout);
                return 0;
            case OPT_SUPPLY_PTY:
                opt.supplyPty = true;
                break;
            case OPT_BATTERY_PTY:
                opt.batteryPty = true;
                break;
            case OPT_QUIET:
                quiet = true;
                break;
            case OPT_LOG:
                logPath = value;
                break;
            case OPT_DROP:
            case OPT_RESIZE:
            case OPT_GARBLE:
            case OPT_SPLIT:
            case OPT_DELAY: {
                zorsim::FaultRate *rate = c == OPT_DROP     ? &f.drop
                                          : c == OPT_RESIZE ? &f.resize
                                          : c == OPT_GARBLE ? &f.garble
                                          : c == OPT_SPLIT  ? &f.split
                                                            : &f.delay;
                if (!parseRate(value, rate)) {
                    return usageError(
                        name +
                        " wants N or a probability from 0.0 to 1.0, then :M if at most M times");
                }
                break;
            }
            case OPT_LENGTHS:
                if (!parseLengths(value, &f.lengths)) {
                    return usageError("--lengths wants lengths from 0 to 4096 joined by commas");
                }
                break;
            case OPT_SPLIT_PAUSE:
            case OPT_DELAY_SECONDS:
                if (!zortext::parseNumber(value, 0.0, 3600.0,
                                          c == OPT_SPLIT_PAUSE ? &f.splitPause : &f.delaySeconds)) {
                    return usageError(name + " wants seconds from 0 to 3600");
                }
                break;
            case OPT_CLOSE_BATTERY_AFTER:
            case OPT_CLOSE_SUPPLY_AFTER:
            case OPT_SUPPLY_QUIET_AFTER: {
                long *count = c == OPT_CLOSE_BATTERY_AFTER  ? &f.closeBatteryAfter
                              : c == OPT_CLOSE_SUPPLY_AFTER ? &f.closeSupplyAfter
                                                            : &f.supplyQueriesAnswered;
                if (!zortext::parseInteger(value, 0L, MOST_TIMES, count)) {
                    return usageError(name + " wants a count from 0 to 1000000000");
                }
                break;
            }
            case OPT_SUPPLY_RESTART_AT:
            case OPT_BATTERY_RESTART_AT:
            case OPT_OUTPUT_OFF_AT:
            case OPT_OVER_VOLTAGE_AT:
            case OPT_HEATSINK_HOT_AT:
            case OPT_BATTERY_MUTE_AT:
            case OPT_BALANCE_STUCK_AT: {
                zorsim::Events &e = opt.events;
                // Events that happen once and last: no length.
                const bool once = c == OPT_SUPPLY_RESTART_AT || c == OPT_BALANCE_STUCK_AT;
                double *at = c == OPT_SUPPLY_RESTART_AT    ? &e.supplyRestartAt
                             : c == OPT_BALANCE_STUCK_AT   ? &e.balanceStuckAt
                             : c == OPT_BATTERY_RESTART_AT ? &e.batteryRestartAt
                             : c == OPT_OUTPUT_OFF_AT      ? &e.outputOffAt
                             : c == OPT_OVER_VOLTAGE_AT    ? &e.overVoltageAt
                             : c == OPT_HEATSINK_HOT_AT    ? &e.heatsinkHotAt
                                                           : &e.batteryMuteAt;
                double *seconds = once                          ? nullptr
                                  : c == OPT_BATTERY_RESTART_AT ? &e.batteryRestartSeconds
                                  : c == OPT_OUTPUT_OFF_AT      ? &e.outputOffSeconds
                                  : c == OPT_OVER_VOLTAGE_AT    ? &e.overVoltageSeconds
                                  : c == OPT_HEATSINK_HOT_AT    ? &e.heatsinkHotSeconds
                                                                : &e.batteryMuteSeconds;
                if (!parseEvent(value, at, seconds)) {
                    return usageError(name + (once ? " wants seconds from 0 to 1000000"
                                                   : " wants S or S:D, seconds from 0 to 1000000"));
                }
                break;
            }
            case OPT_UNDER_WAY:
                opt.underWay = true;
                break;
            case OPT_SPEED:
                if (!zortext::parseNumber(value, 0.001, 1e6, &opt.speed)) {
                    return usageError("--speed wants a factor from 0.001 to 1000000");
                }
                break;
            case OPT_SECONDS_PER_POLL:
                if (!zortext::parseNumber(value, 0.0, 1e6, &opt.secondsPerPoll)) {
                    return usageError("--seconds-per-poll wants seconds from 0 to 1000000");
                }
                break;
            case OPT_SEED:
                if (!zortext::parseInteger(value, uint32_t{0}, UINT32_MAX, &opt.seed)) {
                    return usageError("--seed wants a number from 0 to 4294967295");
                }
                break;
            case OPT_LINE_RATE:
                if (!zortext::parseInteger(value, 50, 4000000, &opt.lineRate)) {
                    return usageError("--line-rate wants bits per second from 50 to 4000000");
                }
                break;
            case OPT_CHUNK:
                if (!zortext::parseInteger(value, size_t{1}, size_t{65536}, &opt.chunkBytes)) {
                    return usageError("--chunk wants a byte count from 1 to 65536");
                }
                break;
            case OPT_SUPPLY_PORT:
            case OPT_BATTERY_PORT: {
                int *port = c == OPT_SUPPLY_PORT ? &opt.supplyPort : &opt.batteryPort;
                if (!zortext::parseInteger(value, 0, 65535, port)) {
                    return usageError(name + " wants a port number from 0 to 65535");
                }
                break;
            }
            default:
                return usageError("");
        }
    }
    if (optind < argc) {
        return usageError(std::string("unexpected argument \"") + argv[optind] + "\"");
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
        "closed, %ld queries unanswered; %ld events played\n",
        c.faultDrops, c.faultResizes, c.faultGarbles, c.faultSplits, c.faultDelays, c.faultCloses,
        c.silentQueries, c.events);
    if (logFile != nullptr) {
        fclose(logFile);
    }
    return 0;
}
