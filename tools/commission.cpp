#include "tools/commission.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "serial/serial.h"
#include "sim/text.h"

namespace commission {

namespace {

// Matches "--name VALUE" and "--name=VALUE"; sets *value and advances *index
// past a separate value. A missing value counts as a match with a null value.
bool matchValued(int argc, char **argv, int *index, const char *name, const char **value) {
    const char *arg = argv[*index];
    size_t n = strlen(name);
    if (strncmp(arg, name, n) != 0) {
        return false;
    }
    if (arg[n] == '=') {
        *value = arg + n + 1;
        return true;
    }
    if (arg[n] != '\0') {
        return false;
    }
    *value = *index + 1 < argc ? argv[++*index] : nullptr;
    return true;
}

}  // namespace

OptionResult takeCommonOption(int argc, char **argv, int *index, LineSettings *settings,
                              int *verbosity, std::string *why) {
    const char *arg = argv[*index];
    if (strcmp(arg, "--verbose") == 0) {
        ++*verbosity;
        return OptionResult::Taken;
    }
    if (arg[0] == '-' && arg[1] == 'v') {
        for (const char *p = arg + 1; *p != '\0'; ++p) {
            if (*p != 'v') {
                return OptionResult::NotCommon;
            }
        }
        *verbosity += static_cast<int>(strlen(arg + 1));
        return OptionResult::Taken;
    }
    const char *value = nullptr;
    if (matchValued(argc, argv, index, "--baud", &value)) {
        if (value != nullptr && zorsim::parseInteger(value, 1, 4000000, &settings->baud)) {
            return OptionResult::Taken;
        }
        *why = "--baud needs a line speed in bits per second, such as 9600";
    } else if (matchValued(argc, argv, index, "--data-bits", &value)) {
        if (value != nullptr && zorsim::parseInteger(value, 5, 8, &settings->dataBits)) {
            return OptionResult::Taken;
        }
        *why = "--data-bits needs 5, 6, 7 or 8";
    } else if (matchValued(argc, argv, index, "--stop-bits", &value)) {
        if (value != nullptr && zorsim::parseInteger(value, 1, 2, &settings->stopBits)) {
            return OptionResult::Taken;
        }
        *why = "--stop-bits needs 1 or 2";
    } else if (matchValued(argc, argv, index, "--parity", &value)) {
        if (value != nullptr && (strcasecmp(value, "none") == 0 || strcasecmp(value, "even") == 0 ||
                                 strcasecmp(value, "odd") == 0)) {
            settings->parity = value;
            return OptionResult::Taken;
        }
        *why = "--parity needs none, even or odd";
    } else {
        return OptionResult::NotCommon;
    }
    if (value != nullptr) {
        *why += std::string(", not \"") + value + "\"";
    }
    return OptionResult::Bad;
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

}  // namespace commission
