// zor_charger: charges the ZOR battery stack from the XFR supply, polling the
// battery's electronics every five seconds until the process is stopped.
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "zor_charger/zor_charger.h"

int main() {
    // A reader of the standard output that goes away, or a peer that closes
    // its link, must not end an unattended charge: writes fail with EPIPE and
    // the loop goes on.
    signal(SIGPIPE, SIG_IGN);

    ChargeRunOptions options{};
    options.supplyEndpoint = ZOR_SUPPLY_ENDPOINT;
    options.batteryEndpoint = ZOR_BATTERY_ENDPOINT;
    options.sleepSeconds = ::sleep;
    options.pollLimit = -1;
    return runCharge(&options);
}
