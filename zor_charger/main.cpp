// zor_charger: charges the ZOR battery stack from the XFR supply, polling the
// battery's electronics every five seconds until the process is stopped.
// Under a service manager the charge outlives the process: every start goes
// on with it, and only `zor_charger --new-charge` asks for a new one.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "zor_charger/zor_charger.h"

namespace {

// Another charger runs on the state folder: the unit tries again at its
// usual interval, so that supervision resumes when the other one ends.
constexpr int ANOTHER_CHARGER = 75;

constexpr char USAGE[] =
    "usage: zor_charger                       charge, or go on with the charge under way\n"
    "       zor_charger --new-charge [FOLDER]  the next start begins a new charge\n";

// SIGTERM and SIGINT ask for a stop. They are blocked, and taken only while
// the charger sleeps between polls, so that a stop never cuts an exchange
// with an instrument or a report short: the poll under way ends first.
sigset_t stopSignals;
volatile sig_atomic_t stopSignal = 0;

// The waits between polls, cut short by a stop.
unsigned sleepUnlessStopped(unsigned seconds) {
    const timespec wait{static_cast<time_t>(seconds), 0};
    while (stopSignal == 0) {
        int taken = sigtimedwait(&stopSignals, nullptr, &wait);
        if (taken > 0) {
            stopSignal = taken;
        } else if (errno != EINTR) {
            return 0;  // the time is up
        }
    }
    return seconds;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1) {
        if (strcmp(argv[1], "--new-charge") == 0 && argc <= 3) {
            return requestNewCharge(argc == 3 ? argv[2] : nullptr);
        }
        const bool help = strcmp(argv[1], "--help") == 0 && argc == 2;
        // Anything else, a typing error say, must not start a second charger.
        fputs(USAGE, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    // Before the state is read, the data log or the metrics file opened, or
    // an instrument touched; the lock is held until the process ends.
    const std::string folder = stateFolder();
    if (!folder.empty() && !lockStateFolder(folder)) {
        return ANOTHER_CHARGER;
    }
    // A reader of the standard output that goes away, or a peer that closes
    // its link, must not end an unattended charge: writes fail with EPIPE and
    // the loop goes on.
    signal(SIGPIPE, SIG_IGN);
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    ChargeRunOptions options{};
    options.supplyEndpoint = ZOR_SUPPLY_ENDPOINT;
    options.batteryEndpoint = ZOR_BATTERY_ENDPOINT;
    options.sleepSeconds = sleepUnlessStopped;
    options.pollLimit = -1;
    options.stopSignal = &stopSignal;
    int result = runCharge(&options);
    if (stopSignal != 0) {
        // Ended by the signal, as a parent (the service manager) expects.
        signal(stopSignal, SIG_DFL);
        sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
        raise(stopSignal);
    }
    return result;
}
