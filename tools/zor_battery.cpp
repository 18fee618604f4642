// zor_battery: asks the battery electronics for their status by hand and
// prints the same readable report as the charger, once or repeatedly. It
// switches nothing unless told to by an explicit option.

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <time.h>

#include <string>
#include <string_view>
#include <vector>

#include "serial/serial.h"
#include "tools/commission.h"
#include "util/text.h"
#include "util/util.h"
#include "zor_charger/zor_charger.h"

using namespace zortools;

namespace {

constexpr const char *TOOL = "zor_battery";
constexpr const char *SYNOPSIS = "[options] ENDPOINT [--watch SECONDS [--count N]]";
constexpr double LONGEST_WATCH = 86400.0;  // seconds

struct Options {
    LineSettings settings;
    int verbosity = 0;
    const char *endpoint = nullptr;
    double watch = 0.0;  // seconds between polls; 0 for a single poll
    int count = 0;       // polls when watching; 0 for no end
    bool enable = false;
    bool switchOff = false;
};

void printHelp() {
    printf(
        "Usage: %s %s\n"
        "Asks the battery electronics for their status (\"@RQ\") and prints the same\n"
        "readable report as the charger, or says why the reply was not accepted.\n"
        "\n"
        "ENDPOINT is a serial device path (/dev/ttyUSB0) or tcp:HOST:PORT of a network\n"
        "serial server, the same names the charger uses.\n"
        "\n"
        "Options:\n"
        "  --watch SECONDS   ask again every SECONDS until stopped (Ctrl-C)\n"
        "  --count N         with --watch: stop after N requests\n"
        "  --enable          send the enable command \"@AC\" before the first request\n"
        "  --switch-off      send the switch-off command \"@AF\" before the first request\n"
        "                    (without one of these two, only \"@RQ\" is ever sent)\n"
        "%s"
        "\n"
        "A reply is accepted only when one receive brings exactly 77 bytes within\n"
        "2 seconds. When watching, the exit status is that of the last request that\n"
        "failed (0 when every one was accepted); a link that fails ends the watch.\n"
        "\n"
        "%s"
        "\n",
        TOOL, SYNOPSIS, COMMON_OPTIONS_HELP, EXIT_STATUS_HELP);
    printExamples(
        TOOL, {"tcp:127.0.0.1:10001", "/dev/ttyUSB1 --watch 5",
               "tcp:serial-server-1:10001 --watch 5 --count 12", "--enable tcp:127.0.0.1:10001"});
}

// Parses the command line. Returns -1 to go on, or the exit status.
int parseOptions(int argc, char **argv, Options *options) {
    enum : int { OPT_WATCH = OPT_FIRST_OWN, OPT_COUNT, OPT_ENABLE, OPT_SWITCH_OFF };
    const std::vector<option> table = longOptions({
        {"watch", required_argument, nullptr, OPT_WATCH},
        {"count", required_argument, nullptr, OPT_COUNT},
        {"enable", no_argument, nullptr, OPT_ENABLE},
        {"switch-off", no_argument, nullptr, OPT_SWITCH_OFF},
    });
    for (int c; (c = getopt_long(argc, argv, "hv", table.data(), nullptr)) != -1;) {
        switch (c) {
            case 'h':
                printHelp();
                return EXIT_OK;
            case OPT_WATCH:
                if (!zortext::parseNumber(optarg, &options->watch) || options->watch <= 0.0 ||
                    options->watch > LONGEST_WATCH) {
                    return usageError(
                        TOOL, SYNOPSIS,
                        std::string("--watch needs a number of seconds above 0, not \"") + optarg +
                            "\"");
                }
                break;
            case OPT_COUNT:
                if (!zortext::parseInteger(optarg, 1, INT_MAX, &options->count)) {
                    return usageError(TOOL, SYNOPSIS,
                                      std::string("--count needs a whole number above 0, not \"") +
                                          optarg + "\"");
                }
                break;
            case OPT_ENABLE:
                options->enable = true;
                break;
            case OPT_SWITCH_OFF:
                options->switchOff = true;
                break;
            case '?':
                return usageError(TOOL, SYNOPSIS, "");
            default: {
                std::string why;
                if (!takeCommonOption(c, optarg, &options->settings, &options->verbosity, &why)) {
                    return usageError(TOOL, SYNOPSIS, why);
                }
            }
        }
    }
    if (optind < argc) {
        options->endpoint = argv[optind++];
    }
    if (optind < argc) {
        return usageError(TOOL, SYNOPSIS,
                          std::string("unexpected argument \"") + argv[optind] + "\"");
    }
    if (options->endpoint == nullptr) {
        return usageError(TOOL, SYNOPSIS, "no endpoint given");
    }
    if (options->count > 0 && options->watch == 0.0) {
        return usageError(TOOL, SYNOPSIS, "--count needs --watch");
    }
    if (options->enable && options->switchOff) {
        return usageError(TOOL, SYNOPSIS, "--enable and --switch-off exclude each other");
    }
    return -1;
}

// `text` in double quotes, escaped, for a message.
std::string quoted(std::string_view text) {
    // Appended rather than concatenated: GCC 12 at -O3 warns of a false
    // overlap (-Wrestrict) in `"\"" + std::string`.
    std::string out = "\"";
    out += zortext::escape(text);
    out += '"';
    return out;
}

void sleepSeconds(double seconds) {
    timespec left{static_cast<time_t>(seconds),
                  static_cast<long>((seconds - floor(seconds)) * 1e9)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int sendCommand(int port, const char *command) {
    if (sendStr(port, command) != 0) {
        fprintf(stderr, "%s: %s could not be sent\n", TOOL, quoted(command).c_str());
        return EXIT_LINK_FAILED;
    }
    return EXIT_OK;
}

// One status request. Returns the exit status it calls for.
int requestStatus(int port) {
    {
        QuietStdout quiet(DEBUG_LEVEL == 0);
        flushRecv(port);
    }
    if (int status = sendCommand(port, "@RQ\n"); status != EXIT_OK) {
        return status;
    }
    char reply[RECEIVE_BUFFER_SIZE] = {};
    int received;
    {
        // The receive prints its progress on standard output; below -v that
        // stays off the report.
        QuietStdout quiet(DEBUG_LEVEL == 0);
        received = recvStr(port, reply, RECEIVE_BUFFER_SIZE);
    }
    if (received == STATUS_REPLY_SIZE) {
        // A fresh record for every reply: the report shows this reply alone.
        BatteryStatus status{};
        decodeStatusReply(reply, &status);
        writeConsoleReport(stdout, &status, time(nullptr));
        fflush(stdout);
        return EXIT_OK;
    }
    if (received == 0) {
        fprintf(stderr, "%s: no reply within 2 seconds\n", TOOL);
        return EXIT_NO_REPLY;
    }
    if (received < 0) {
        fprintf(stderr, "%s: the receive failed\n", TOOL);
        return EXIT_LINK_FAILED;
    }
    fprintf(stderr, "%s: reply of %d bytes, a status reply has %d: %s\n", TOOL, received,
            STATUS_REPLY_SIZE,
            quoted(std::string_view(reply, static_cast<size_t>(received))).c_str());
    return EXIT_NO_REPLY;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (int status = parseOptions(argc, argv, &options); status >= 0) {
        return status;
    }
    DEBUG_LEVEL = options.verbosity;
    int port = openEndpoint(TOOL, options.endpoint, options.settings);
    if (port < 0) {
        return EXIT_CANNOT_OPEN;
    }
    int status = EXIT_OK;
    if (options.enable || options.switchOff) {
        const char *command = options.enable ? "@AC\n" : "@AF\n";
        status = sendCommand(port, command);
        if (status == EXIT_OK) {
            printf("sent %s\n", quoted(command).c_str());
        }
    }
    int polls = options.watch > 0.0 ? options.count : 1;
    for (long n = 0; status != EXIT_LINK_FAILED && (polls == 0 || n < polls); ++n) {
        if (n > 0) {
            sleepSeconds(options.watch);
        }
        if (int result = requestStatus(port); result != EXIT_OK) {
            status = result;
        }
    }
    closePort(port);
    return status;
}
