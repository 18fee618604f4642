#include "tools/commission.h"

#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sysexits.h>
#include <unistd.h>

#include "serial/serial.h"
#include "util/text.h"

namespace zortools {

std::vector<option> longOptions(std::initializer_list<option> own) {
    std::vector<option> table(own);
    table.insert(table.end(), {{"help", no_argument, nullptr, 'h'},
                               {"verbose", no_argument, nullptr, 'v'},
                               {"baud", required_argument, nullptr, OPT_BAUD},
                               {"data-bits", required_argument, nullptr, OPT_DATA_BITS},
                               {"stop-bits", required_argument, nullptr, OPT_STOP_BITS},
                               {"parity", required_argument, nullptr, OPT_PARITY},
                               {nullptr, 0, nullptr, 0}});
    return table;
}

bool takeCommonOption(int option, const char *value, LineSettings *settings, int *verbosity,
                      std::string *why) {
    switch (option) {
        case 'v':
            ++*verbosity;
            return true;
        case OPT_BAUD:
            if (zortext::parseInteger(value, 1, 4000000, &settings->baud)) {
                return true;
            }
            *why = "--baud needs a line speed in bits per second, such as 9600";
            break;
        case OPT_DATA_BITS:
            if (zortext::parseInteger(value, 5, 8, &settings->dataBits)) {
                return true;
            }
            *why = "--data-bits needs 5, 6, 7 or 8";
            break;
        case OPT_STOP_BITS:
            if (zortext::parseInteger(value, 1, 2, &settings->stopBits)) {
                return true;
            }
            *why = "--stop-bits needs 1 or 2";
            break;
        case OPT_PARITY:
            if (strcasecmp(value, "none") == 0 || strcasecmp(value, "even") == 0 ||
                strcasecmp(value, "odd") == 0) {
                settings->parity = value;
                return true;
            }
            *why = "--parity needs none, even or odd";
            break;
    }
    *why += std::string(", not \"") + value + "\"";
    return false;
}

int usageError(const char *tool, const char *synopsis, const std::string &why) {
    if (!why.empty()) {
        fprintf(stderr, "%s: %s\n", tool, why.c_str());
    }
    fprintf(stderr, "Usage: %s %s  (%s --help for more)\n", tool, synopsis, tool);
    return EX_USAGE;
}

void printExamples(const char *tool, std::initializer_list<const char *> examples) {
    printf("Examples:\n");
    for (const char *example : examples) {
        printf("  %s %s\n", tool, example);
    }
}

const char *const COMMON_OPTIONS_HELP =
    "  --baud N          line speed of a serial device (default 9600)\n"
    "  --data-bits N     5, 6, 7 or 8 (default 8)\n"
    "  --stop-bits N     1 or 2 (default 1)\n"
    "  --parity WORD     none, even or odd (default none)\n"
    "                    (the line settings apply to a device path only)\n"
    "  -v, --verbose     raise the verbosity; repeat for more. From -v on, the port\n"
    "                    layer's own progress lines (\"calling select\", ...) show on\n"
    "                    standard output and its debug lines on standard error\n"
    "  -h, --help        show this help\n";

const char *const EXIT_STATUS_HELP =
    "Exit status:\n"
    "  0   success\n"
    "  2   the endpoint cannot be opened\n"
    "  3   no reply, or a reply that cannot be used\n"
    "  4   a value refused (out of range or not a number); nothing was sent\n"
    "  5   the link failed: a command could not be sent or the receive failed\n"
    "  6   the instrument reads back something other than what was set\n"
    "  64  usage error\n";

int openEndpoint(const char *tool, const char *endpoint, const LineSettings &settings) {
    int handle = 0;
    int result = openPort(endpoint, &handle, settings.baud, settings.dataBits, settings.stopBits,
                          settings.parity.c_str());
    if (result <= 0 || handle <= 0) {
        fprintf(stderr, "%s: cannot open endpoint \"%s\"\n", tool, endpoint);
        return -1;
    }
    return handle;
}

QuietStdout::QuietStdout(bool active) {
    if (!active) {
        return;
    }
    fflush(stdout);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) {
        return;
    }
    saved_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved_ >= 0 && dup2(null, STDOUT_FILENO) < 0) {
        close(saved_);
        saved_ = -1;
    }
    close(null);
}

QuietStdout::~QuietStdout() {
    if (saved_ < 0) {
        return;
    }
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
}

}  // namespace zortools
