// The silence hold: the charge current held at 0 A while the battery gives
// no accepted reply, as $ZOR_SILENCE_HOLD_SECONDS asks, and the setting's
// reading.
#include <stdio.h>
#include <syslog.h>

#include "xfr/xfr.h"
#include "zor_charger/charge_internal.h"
#include "zor_charger/zor_charger.h"

namespace {

// Holds the charge current at 0 A: the hold begins when the supply's link
// takes "ISET 0.0000A", and until it does it is tried again at each poll.
void startHold(ChargeState *state, long silentMs) {
    if (!linkReady(&state->supplyLink, state->supplyPort)) {
        return;
    }
    SavedCharge holding = savedOf(state);
    holding.held = true;
    saveCharge(holding);  // before its 0 A goes out: a restart resumes held
    const bool taken = xfrSetCurrent(state->supplyPort, 0.0) == 0;
    noticeLoss(&state->supplyLink, state->supplyPort);
    if (!taken) {
        return;
    }
    state->hold.held = true;
    state->hold.heldAtMs = nowMs();
    state->supplyAmpsSent = 0.0;
    long seconds = silentMs / 1000;
    fprintf(stderr, "no accepted battery reply for %ld s: charge current held at 0 A\n", seconds);
    systemLog(LOG_ERR, "ZOR no accepted battery reply for %ld s: charge current held at 0 A",
              seconds);
}

}  // namespace

// At a poll without an accepted reply: holds the charge when the battery has
// been silent for the setting's seconds, before and after the end of charge.
void holdIfSilent(ChargeState *state) {
    const SilenceHold &hold = state->hold;
    const long silentMs = nowMs() - hold.quietSinceMs;
    // After the limit there is nothing to hold: its current is 0 A for good.
    if (hold.seconds > 0 && !hold.held && !state->limit.reached &&
        silentMs >= hold.seconds * 1000) {
        startHold(state, silentMs);
    }
}

bool readSilenceHold(long *seconds) {
    return readSetting("ZOR_SILENCE_HOLD_SECONDS", SILENCE_HOLD_MIN_SECONDS,
                       SILENCE_HOLD_MAX_SECONDS, "seconds", seconds);
}
