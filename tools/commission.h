// Shared pieces of the commissioning tools zor_supply and zor_battery: exit
// statuses, the line-setting options, opening an endpoint, and keeping the
// port layer's progress lines off a quiet console.
#pragma once

#include <string>

namespace commission {

// Exit statuses shared by both tools; each tool's --help lists them.
enum ExitStatus : int {
    EXIT_OK = 0,
    EXIT_CANNOT_OPEN = 2,    // the endpoint could not be opened
    EXIT_NO_REPLY = 3,       // no reply, or a reply that could not be used
    EXIT_REFUSED = 4,        // a value out of range or not a number; nothing sent
    EXIT_LINK_FAILED = 5,    // a command could not be sent, or the receive failed
    EXIT_NOT_CONFIRMED = 6,  // the instrument read back something other than was set
    EXIT_USAGE = 64,         // bad command line
};

// Line settings for a serial device; a network endpoint ignores them.
struct LineSettings {
    int baud = 9600;
    int dataBits = 8;
    int stopBits = 1;
    std::string parity = "none";
};

// Outcome of offering one argument to takeCommonOption.
enum class OptionResult { NotCommon, Taken, Bad };

// Handles the options both tools share: -v/-vv/--verbose (each v raises
// *verbosity), --baud N, --data-bits N, --stop-bits N and --parity WORD
// (also as --opt=VALUE). argv[*index] is the argument looked at; an option
// that takes a value advances *index past it. On Bad, *why says what is wrong.
OptionResult takeCommonOption(int argc, char **argv, int *index, LineSettings *settings,
                              int *verbosity, std::string *why);

// Help text for the shared options, for each tool's --help.
extern const char *const COMMON_OPTIONS_HELP;
// Help text listing the exit statuses.
extern const char *const EXIT_STATUS_HELP;

// Opens `endpoint` with the line settings. Returns the port handle, or -1
// after writing "TOOL: cannot open endpoint ..." to the standard error stream.
int openEndpoint(const char *tool, const char *endpoint, const LineSettings &settings);

// While alive, sends what the process writes on standard output to
// /dev/null, unless `active` is false. The port layer prints a progress line
// for every receive; a commissioning run at verbosity 0 keeps them off the
// console so that its own report stays readable.
class QuietStdout {
  public:
    explicit QuietStdout(bool active);
    ~QuietStdout();
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

  private:
    int saved_ = -1;
};

}  // namespace commission
