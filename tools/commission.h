// Shared pieces of the commissioning tools zor_supply and zor_battery: exit
// statuses, the options both take and the usage message, opening an
// endpoint, and keeping the port layer's progress lines off a quiet console.
#pragma once

#include <getopt.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace zortools {

// Exit statuses shared by both tools; each tool's --help lists them. A bad
// command line ends with EX_USAGE (64, <sysexits.h>), as it does in zor_sim.
enum ExitStatus : int {
    EXIT_OK = 0,
    EXIT_CANNOT_OPEN = 2,    // the endpoint could not be opened
    EXIT_NO_REPLY = 3,       // no reply, or a reply that could not be used
    EXIT_REFUSED = 4,        // a value out of range or not a number; nothing sent
    EXIT_LINK_FAILED = 5,    // a command could not be sent, or the receive failed
    EXIT_NOT_CONFIRMED = 6,  // the instrument read back something other than was set
};

// Line settings for a serial device; a network endpoint ignores them.
struct LineSettings {
    int baud = 9600;
    int dataBits = 8;
    int stopBits = 1;
    std::string parity = "none";
};

// getopt_long's values for the shared options without a short form (-h and
// -v are their own); a tool's own options take values from OPT_FIRST_OWN on.
enum CommonOption : int {
    OPT_BAUD = 0x100,
    OPT_DATA_BITS,
    OPT_STOP_BITS,
    OPT_PARITY,
    OPT_FIRST_OWN
};

// A tool's table for getopt_long: its `own` options, then the shared ones
// (--help, --verbose, --baud, --data-bits, --stop-bits, --parity) and the
// closing entry.
std::vector<option> longOptions(std::initializer_list<option> own);

// Takes a shared option as getopt_long returned it ('v' or an OPT_ value
// below OPT_FIRST_OWN) with its value: each -v raises *verbosity, the line
// settings go to *settings. Returns false, with *why saying what is wrong,
// for a value the option does not take.
bool takeCommonOption(int option, const char *value, LineSettings *settings, int *verbosity,
                      std::string *why);

// Writes "TOOL: WHY" (not for an empty `why`: getopt_long has written its own
// message) and "Usage: TOOL SYNOPSIS" to the standard error stream. Returns
// EX_USAGE.
int usageError(const char *tool, const char *synopsis, const std::string &why);

// Help text for the shared options, for each tool's --help.
extern const char *const COMMON_OPTIONS_HELP;
// Help text listing the exit statuses.
extern const char *const EXIT_STATUS_HELP;
// Ends a tool's --help: "Examples:" and each example after the tool's name.
void printExamples(const char *tool, std::initializer_list<const char *> examples);

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

}  // namespace zortools
