// The silence hold: the charge current held at 0 A while the battery gives
// no accepted reply, as $ZOR_SILENCE_HOLD_SECONDS asks, and the setting's
// reading.
#include <stdio.h>
#include <stdlib.h>
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
    if (!hold.held && (hold.wanted || (hold.seconds > 0 && silentMs >= hold.seconds * 1000))) {
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

// Reads $ZOR_SILENCE_HOLD_SECONDS into *seconds (0: unset or empty). False,
// after saying why, for anything but plain digits from SILENCE_HOLD_MIN_SECONDS
// to SILENCE_HOLD_MAX_SECONDS: a hold the operator meant must not be guessed at.
bool readSilenceHold(long *seconds) {
    *seconds = 0;
    const char *value = getenv("ZOR_SILENCE_HOLD_SECONDS");
    if (value == nullptr || value[0] == '\0') {
        return true;
    }
    long number = 0;
    const char *digit = value;
    for (; *digit >= '0' && *digit <= '9' && number <= SILENCE_HOLD_MAX_SECONDS; ++digit) {
        number = number * 10 + (*digit - '0');
    }
    if (*digit != '\0' || number < SILENCE_HOLD_MIN_SECONDS || number > SILENCE_HOLD_MAX_SECONDS) {
        fprintf(stderr,
                "ZOR_SILENCE_HOLD_SECONDS=%s: not a whole number of seconds from %ld to %ld\n",
                value, SILENCE_HOLD_MIN_SECONDS, SILENCE_HOLD_MAX_SECONDS);
        return false;
    }
    *seconds = number;
    return true;
}
