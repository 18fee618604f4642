// The charge time limit: a charge whose end of charge has not come within
// $ZOR_CHARGE_LIMIT_MINUTES of its start is ended, as a charger's safety
// timer ends a charge whose end hangs on one register of the battery.
#include <stdio.h>
#include <syslog.h>
#include <time.h>

#include <algorithm>

#include "serial/serial.h"
#include "zor_charger/charge_internal.h"
#include "zor_charger/zor_charger.h"

namespace {

// Whether the limit has passed before the end of charge; a charge that
// ended first, even at this very reply, ended normally.
bool pastLimit(const ChargeState *state) {
    const ChargeLimit &limit = state->limit;
    return limit.minutes > 0 && !state->endOfCharge &&
           limit.ageAtStartMs + (nowMs() - limit.startMs) >= limit.minutes * 60000;
}

// Ends the charge by the limit, saved before any command goes out: no
// restart charges it again. Its current is 0 A from now on, and the silence
// hold has nothing left to hold. Said once, when this run finds it.
void endByLimit(ChargeState *state, bool say) {
    state->limit.reached = true;
    state->limit.batteryOwed = true;
    state->endOfCharge = true;
    state->chargeCurrent = 0.0;
    state->hold.held = state->hold.wanted = false;
    state->supplyUnjudged = false;  // nothing but its 0 A goes to the supply now
    state->supplyAmpsSent = -1;     // not known until its link takes 0 A
    saveState(state);
    if (!say) {
        return;
    }
    const long minutes = state->limit.minutes;
    fprintf(stderr,
            "charge time limit of %ld min reached before the end of charge: battery told to "
            "switch off, charge current 0 A\n",
            minutes);
    systemLog(LOG_ERR,
              "ZOR charge time limit of %ld min reached before the end of charge: battery told "
              "to switch off, charge current 0 A",
              minutes);
}

}  // namespace

void resumeChargeLimit(ChargeState *state, bool endedByLimit) {
    const long long age = static_cast<long long>(time(nullptr)) - state->chargeStartTime;
    state->limit.ageAtStartMs = static_cast<long>(std::max(age, 0LL) * 1000);
    if (endedByLimit || pastLimit(state)) {
        endByLimit(state, !endedByLimit);  // the start-up sends what it owes
    }
}

void checkChargeLimit(ChargeState *state, bool replied) {
    if (!state->limit.reached) {
        if (!pastLimit(state)) {
            return;
        }
        endByLimit(state, true);
    } else if (replied && (state->status.statusRegister & BATTERY_ENABLE)) {
        state->limit.batteryOwed = true;  // switched on again: by a hand, or its restart
    }
    zeroSupplyCurrent(state);  // before the battery's switch-off, which then breaks no current
    switchBatteryOff(state);
}

void zeroSupplyCurrent(ChargeState *state) {
    if (state->supplyAmpsSent == 0.0 || !linkReady(&state->supplyLink, state->supplyPort)) {
        return;
    }
    sendAmps(state, 0.0);
    noticeLoss(&state->supplyLink, state->supplyPort);
}

void switchBatteryOff(ChargeState *state) {
    if (!state->limit.batteryOwed || !linkReady(&state->batteryLink, state->batteryPort)) {
        return;
    }
    state->limit.batteryOwed = sendStr(state->batteryPort, "@AF\n") != 0;
    noticeLoss(&state->batteryLink, state->batteryPort);
}

bool readChargeLimit(long *minutes) {
    return readSetting("ZOR_CHARGE_LIMIT_MINUTES", CHARGE_LIMIT_MIN_MINUTES,
                       CHARGE_LIMIT_MAX_MINUTES, "minutes", minutes);
}
