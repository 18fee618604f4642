// The silence hold: the charge current held at 0 A while the battery gives
// no accepted reply, as $ZOR_SILENCE_HOLD_SECONDS asks, and the setting's
// reading.
#include <stdio.h>
#include <syslog.h>

#include "xfr/xfr.h"
#include "zor_charger/charge_internal.h"
#include "zor_charger/zor_charger.h"

namespace {

// Holds the charge current at 0 A: the hold begins saved held, before its
// 0 A goes out, so that a restart resumes it; it is held once the supply's
// link takes "ISET 0.0000A", and until then tried again at each poll. `why`
// begins the line that says it.
void startHold(ChargeState *state, const char *why) {
    SilenceHold &hold = state->hold;
    if (!hold.wanted) {
        hold.wanted = true;
        hold.heldAtMs = nowMs();
    }
    saveState(state);
    if (!linkReady(&state->supplyLink, state->supplyPort)) {
        return;
    }
    const bool taken = sendAmps(state, 0.0);
    noticeLoss(&state->supplyLink, state->supplyPort);
    if (!taken) {
        return;
    }
    hold.held = true;
    hold.wanted = false;
    fprintf(stderr, "%s: charge current held at 0 A\n", why);
    systemLog(LOG_ERR, "ZOR %s: charge current held at 0 A", why);
}

}  // namespace

// At a poll without an accepted reply: holds the charge when the battery has
// been silent for the setting's seconds, before and after the end of charge,
// and tries again a hold whose 0 A was not taken yet.
void holdIfSilent(ChargeState *state) {
    const SilenceHold &hold = state->hold;
    const long silentMs = nowMs() - hold.quietSinceMs;
    // After the limit there is nothing to hold: its current is 0 A for good.
    if (!hold.held && !state->limit.reached &&
        (hold.wanted || (hold.seconds > 0 && silentMs >= hold.seconds * 1000))) {
        char why[80];
        snprintf(why, sizeof why, "no accepted battery reply for %ld s", silentMs / 1000);
        startHold(state, why);
    }
}

// A start that cannot reach the battery never leaves it charged blind: the
// charge is saved held, and the supply sent 0 A, whatever it was sent
// before; the restarted charger resumes held.
void holdUnreachable(ChargeState *state) {
    startHold(state, "battery not reached");
    saveState(state);  // the 0 A taken, for the restart's judgement of the supply
    if (!state->hold.held) {
        fputs("battery not reached: charge saved held; 0 A not taken by the supply's link\n",
              stderr);
        systemLog(LOG_ERR, "ZOR battery not reached: charge saved held; 0 A not taken");
    }
}

bool readSilenceHold(long *seconds) {
    return readSetting("ZOR_SILENCE_HOLD_SECONDS", SILENCE_HOLD_MIN_SECONDS,
                       SILENCE_HOLD_MAX_SECONDS, "seconds", seconds);
}
