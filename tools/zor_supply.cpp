// zor_supply: talks to the XFR supply by hand, for the person who wires up a
// bench before an unattended charge. Reads the supply back, or sends settings
// through the command set and reads each one back to confirm it.

#include <getopt.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <array>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "tools/commission.h"
#include "util/text.h"
#include "util/util.h"
#include "xfr/xfr.h"

using namespace zortools;

namespace {

constexpr const char *TOOL = "zor_supply";
constexpr const char *SYNOPSIS = "[options] ENDPOINT COMMAND...";

// A set point counts as confirmed when the supply reads back within this
// much of what was sent: the supply stores values at its own resolution.
constexpr double READ_BACK_TOLERANCE = 0.01;  // volts or amperes
constexpr double READ_BACK_RELATIVE = 0.001;

enum class Command {
    Status,
    SetVolts,
    SetCurrent,
    Ovp,
    VMax,
    IMax,
    On,
    Off,
    Clear,
    Reset,
    Trigger
};

struct CommandInfo {
    const char *name;
    Command command;
    const char *unit;  // null for a command without a value
    const char *what;  // what the value sets
};

constexpr std::array COMMANDS = {
    CommandInfo{"status", Command::Status, nullptr, nullptr},
    CommandInfo{"set-volts", Command::SetVolts, "V", "voltage set point"},
    CommandInfo{"set-current", Command::SetCurrent, "A", "current set point"},
    CommandInfo{"ovp", Command::Ovp, "V", "over-voltage set point"},
    CommandInfo{"vmax", Command::VMax, "V", "voltage ceiling"},
    CommandInfo{"imax", Command::IMax, "A", "current ceiling"},
    CommandInfo{"on", Command::On, nullptr, nullptr},
    CommandInfo{"off", Command::Off, nullptr, nullptr},
    CommandInfo{"clear", Command::Clear, nullptr, nullptr},
    CommandInfo{"reset", Command::Reset, nullptr, nullptr},
    CommandInfo{"trigger", Command::Trigger, nullptr, nullptr},
};

struct Step {
    const CommandInfo *info;
    const char *text = nullptr;  // the value as given
    double value = 0.0;
};

// Runs a call into the command set. The port layer's receive prints its
// progress on standard output; below -v that stays off the tool's report.
template <class Call>
int quietly(Call call) {
    QuietStdout quiet(DEBUG_LEVEL == 0);
    return call();
}

const CommandInfo *findCommand(const char *name) {
    for (const CommandInfo &info : COMMANDS) {
        if (strcmp(info.name, name) == 0) {
            return &info;
        }
    }
    return nullptr;
}

void printHelp() {
    printf(
        "Usage: %s %s\n"
        "Talks to the XFR supply by hand: reads it back, or sends settings and reads\n"
        "each one back to confirm it.\n"
        "\n"
        "ENDPOINT is a serial device path (/dev/ttyUSB0) or tcp:HOST:PORT of a network\n"
        "serial server, the same names the charger uses.\n"
        "\n"
        "Commands run in the order given; the first one that fails ends the run:\n"
        "  status          read back output current and voltage, both set points, the\n"
        "                  output state, the error code and the ASTS, STS and FAULT\n"
        "                  registers, as a table\n"
        "  set-volts V     voltage set point, 0 <= V < 45        (read back: VSET?)\n"
        "  set-current A   current set point, 0 <= A <= 60       (read back: ISET?)\n"
        "  ovp V           over-voltage set point, 0 <= V <= 45  (read back: ERR?)\n"
        "  vmax V          voltage ceiling, 0 <= V <= 45         (read back: ERR?)\n"
        "  imax A          current ceiling, 0 <= A <= 60         (read back: ERR?)\n"
        "  on, off         switch the output on or off           (read back: OUT?)\n"
        "  clear, reset, trigger\n"
        "                  clear the errors, reset, trigger      (read back: ERR?)\n"
        "\n"
        "Every value is checked before the endpoint is opened: a value out of range\n"
        "or not a number is refused and nothing at all is sent. A supply that does not\n"
        "answer costs about 20 seconds per question (ten tries of 2 seconds); status\n"
        "stops asking after the first question that got no reply.\n"
        "\n"
        "Options:\n"
        "%s"
        "\n"
        "%s"
        "\n",
        TOOL, SYNOPSIS, COMMON_OPTIONS_HELP, EXIT_STATUS_HELP);
    printExamples(TOOL, {"tcp:127.0.0.1:2001 status",
                         "tcp:serial-server-1:2001 clear off set-volts 35.9 set-current 45 status",
                         "--baud 19200 /dev/ttyUSB0 on", "-v /dev/ttyUSB0 ovp 40 vmax 38"});
}

// The command set's own range check, made before anything is opened.
bool inRange(Command command, double value) {
    switch (command) {
        case Command::SetVolts:
            return value >= 0.0 && value < XFR_VOLT_LIMIT;
        case Command::Ovp:
        case Command::VMax:
            return value >= 0.0 && value <= XFR_VOLT_LIMIT;
        case Command::SetCurrent:
        case Command::IMax:
            return value >= 0.0 && value <= XFR_CURRENT_LIMIT;
        default:
            return true;
    }
}

// Sends one command through the command set; returns its result.
int sendCommand(int port, const Step &step) {
    switch (step.info->command) {
        case Command::SetVolts:
            return xfrSetVolts(port, step.value);
        case Command::SetCurrent:
            return xfrSetCurrent(port, step.value);
        case Command::Ovp:
            return xfrOverVoltSet(port, step.value);
        case Command::VMax:
            return xfrVMax(port, step.value);
        case Command::IMax:
            return xfrIMax(port, step.value);
        case Command::On:
            return xfrEnableOutput(port);
        case Command::Off:
            return xfrDisableOutput(port);
        case Command::Clear:
            return xfrInit(port);
        case Command::Reset:
            return xfrReset(port);
        case Command::Trigger:
            return xfrTrigger(port);
        case Command::Status:
            break;
    }
    return 0;
}

// Refuses, before anything is opened, a value that is not a number or that
// the command set would refuse. Returns EXIT_OK or EXIT_REFUSED.
int checkValue(Step *step) {
    if (!zortext::parseNumber(step->text, &step->value)) {
        fprintf(stderr, "%s: %s: \"%s\" is not a number; nothing sent\n", TOOL, step->info->name,
                step->text);
        return EXIT_REFUSED;
    }
    if (!inRange(step->info->command, step->value)) {
        // The command set checks the range before it touches the port, so
        // asking it with no port open draws its own refusal message and
        // contacts nothing.
        sendCommand(-1, *step);
        fprintf(stderr, "%s: %s %s: value out of range; nothing sent\n", TOOL, step->info->name,
                step->text);
        return EXIT_REFUSED;
    }
    return EXIT_OK;
}

// Turns a failed query result into a message and an exit status.
int queryFailed(const char *command, const char *what, int result) {
    fprintf(stderr, "%s: %s: %s reply to the %s query\n", TOOL, command,
            result == 0 ? "unreadable" : "no", what);
    return EXIT_NO_REPLY;
}

const char *outputWord(int state) {
    return state == 1 ? " (on)" : state == 0 ? " (off)" : "";
}

int runStatus(int port) {
    struct Row {
        const char *label;
        std::string text;
    };
    std::vector<Row> rows;
    bool silent = false;  // a question got no reply: the rest would too
    bool allRead = true;
    auto describe = [&](int result, const std::string &value) -> std::string {
        if (result == 1) {
            return value;
        }
        allRead = false;
        if (result == 0) {
            return "unreadable reply";
        }
        silent = true;
        return "no reply";
    };
    auto number = [](double v, const char *unit) {
        char text[64];
        snprintf(text, sizeof text, "%.4f %s", v, unit);
        return std::string(text);
    };
    auto reg = [](int v) {
        char text[64];
        snprintf(text, sizeof text, "%d (0x%04x)", v, static_cast<unsigned>(v));
        return std::string(text);
    };
    // Asks one question unless the supply has gone silent; `read` runs the
    // query and puts what it read into words.
    auto ask = [&](const char *label, auto read) {
        if (silent) {
            rows.push_back({label, "not asked"});
            return;
        }
        std::string text;
        int r = quietly([&] { return read(&text); });
        rows.push_back({label, describe(r, text)});
    };
    auto analog = [&](int (*query)(int, double *), const char *unit) {
        return [=](std::string *text) {
            double v = 0.0;
            int r = query(port, &v);
            *text = number(v, unit);
            return r;
        };
    };
    ask("output current", analog(xfrGetIOut, "A"));
    ask("output voltage", analog(xfrGetVOut, "V"));
    ask("current set point", analog(xfrGetISet, "A"));
    ask("voltage set point", analog(xfrGetVSet, "V"));
    ask("output state", [&](std::string *text) {
        int v = 0;
        int r = xfrGetOut(port, &v);
        *text = std::to_string(v) + outputWord(v);
        return r;
    });
    ask("error code", [&](std::string *text) {
        int v = 0;
        int r = xfrGetErr(port, &v);
        *text = std::to_string(v);
        return r;
    });
    if (silent) {
        for (const char *label : {"ASTS register", "STS register", "FAULT register"}) {
            rows.push_back({label, "not asked"});
        }
    } else {
        // Only the FAULT parse's result comes back; a register that no reply
        // filled keeps this mark.
        int asts = INT_MIN, sts = INT_MIN, fault = 0;
        int r = quietly([&] { return xfrGetStatus(port, &asts, &sts, &fault); });
        for (auto [label, v] : {std::pair{"ASTS register", asts}, std::pair{"STS register", sts}}) {
            if (v == INT_MIN) {
                allRead = false;
                rows.push_back({label, "no usable reply"});
            } else {
                rows.push_back({label, reg(v)});
            }
        }
        rows.push_back({"FAULT register", describe(r, reg(fault))});
    }
    for (const Row &row : rows) {
        printf("%-20s %s\n", row.label, row.text.c_str());
    }
    fflush(stdout);
    if (!allRead) {
        fprintf(stderr, "%s: status: not every value could be read\n", TOOL);
        return EXIT_NO_REPLY;
    }
    return EXIT_OK;
}

// Sends one setting and reads it back.
int runSetting(int port, const Step &step) {
    const CommandInfo &info = *step.info;
    std::string label = info.name;
    char value[64] = "";
    if (info.unit != nullptr) {
        snprintf(value, sizeof value, "%.4f %s", step.value, info.unit);
        label += std::string(" ") + value;
    }
    if (sendCommand(port, step) != 0) {
        fprintf(stderr, "%s: %s: the command could not be sent\n", TOOL, label.c_str());
        return EXIT_LINK_FAILED;
    }
    switch (info.command) {
        case Command::SetVolts:
        case Command::SetCurrent: {
            double back = 0.0;
            int r = quietly([&] {
                return info.command == Command::SetVolts ? xfrGetVSet(port, &back)
                                                         : xfrGetISet(port, &back);
            });
            if (r != 1) {
                return queryFailed(info.name, info.what, r);
            }
            // Compare with the value as it went out, at four decimals.
            double sent = strtod(value, nullptr);
            printf("%s: sent; %s reads back %.4f %s\n", label.c_str(), info.what, back, info.unit);
            if (fabs(back - sent) > READ_BACK_TOLERANCE + READ_BACK_RELATIVE * fabs(sent)) {
                fprintf(stderr, "%s: %s: the supply reads back %.4f %s\n", TOOL, label.c_str(),
                        back, info.unit);
                return EXIT_NOT_CONFIRMED;
            }
            return EXIT_OK;
        }
        case Command::On:
        case Command::Off: {
            int want = info.command == Command::On ? 1 : 0;
            int state = -1;
            int r = quietly([&] { return xfrGetOut(port, &state); });
            if (r != 1) {
                return queryFailed(info.name, "output state", r);
            }
            printf("%s: sent; output state reads back %d%s\n", label.c_str(), state,
                   outputWord(state));
            if (state != want) {
                fprintf(stderr, "%s: %s: the output state reads back %d\n", TOOL, label.c_str(),
                        state);
                return EXIT_NOT_CONFIRMED;
            }
            return EXIT_OK;
        }
        default: {
            int code = 0;
            int r = quietly([&] { return xfrGetErr(port, &code); });
            if (r != 1) {
                return queryFailed(info.name, "error code", r);
            }
            printf("%s: sent; error code reads back %d\n", label.c_str(), code);
            if (code != 0) {
                fprintf(stderr, "%s: %s: the supply reports error code %d\n", TOOL, label.c_str(),
                        code);
                return EXIT_NOT_CONFIRMED;
            }
            return EXIT_OK;
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    LineSettings settings;
    int verbosity = 0;
    const char *endpoint = nullptr;
    std::vector<Step> steps;
    const std::vector<option> options = longOptions({});
    // The leading '+' makes getopt_long stop at each operand rather than look
    // past it, so that a command's value is never taken for an option:
    // "set-volts -1" is a value, for the range check to refuse. The loop takes
    // the operands itself; options may still stand between them.
    while (optind < argc) {
        switch (int c = getopt_long(argc, argv, "+hv", options.data(), nullptr)) {
            case 'h':
                printHelp();
                return EXIT_OK;
            case '?':
                return usageError(TOOL, SYNOPSIS, "");
            case -1: {  // an operand, or the end after "--"
                if (optind == argc) {
                    break;
                }
                const char *operand = argv[optind++];
                if (endpoint == nullptr) {
                    endpoint = operand;
                    break;
                }
                const CommandInfo *info = findCommand(operand);
                if (info == nullptr) {
                    return usageError(TOOL, SYNOPSIS,
                                      std::string("unknown command \"") + operand + "\"");
                }
                steps.push_back(Step{info});
                if (info->unit != nullptr) {
                    if (optind == argc) {
                        return usageError(TOOL, SYNOPSIS, std::string(operand) + " needs a value");
                    }
                    steps.back().text = argv[optind++];
                }
                break;
            }
            default: {
                std::string why;
                if (!takeCommonOption(c, optarg, &settings, &verbosity, &why)) {
                    return usageError(TOOL, SYNOPSIS, why);
                }
            }
        }
    }
    if (endpoint == nullptr) {
        return usageError(TOOL, SYNOPSIS, "no endpoint given");
    }
    if (steps.empty()) {
        return usageError(TOOL, SYNOPSIS, "no command given");
    }
    for (Step &step : steps) {
        if (step.info->unit != nullptr) {
            if (int status = checkValue(&step); status != EXIT_OK) {
                return status;
            }
        }
    }

    DEBUG_LEVEL = verbosity;
    int port = openEndpoint(TOOL, endpoint, settings);
    if (port < 0) {
        return EXIT_CANNOT_OPEN;
    }
    int status = EXIT_OK;
    for (const Step &step : steps) {
        status = step.info->command == Command::Status ? runStatus(port) : runSetting(port, step);
        if (status != EXIT_OK) {
            break;
        }
    }
    closePort(port);
    return status;
}
