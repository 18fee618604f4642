// What the charge run's files share: the run's clock, the watch on both
// links, the supply's set-up and the saving of the charge.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "serial/serial.h"
#include "util/text.h"
#include "util/util.h"
#include "xfr/xfr.h"
#include "zor_charger/charge_internal.h"
#include "zor_charger/zor_charger.h"

// The run's clock: monotonicMs unless a test drives time itself.
long (*runClock)() = monotonicMs;

long nowMs() {
    return runClock();
}

// Reports a link the first time the port layer finds it lost.
void noticeLoss(LinkWatch *link, int port) {
    if (link->lost || linkLost(port) != 1) {
        return;
    }
    link->lost = true;
    link->lostAtMs = nowMs();
    ++link->losses;
    const char *why = linkLossText(port);
    fprintf(stderr, "%s link lost: %s\n", link->instrument, why);
    systemLog(LOG_ERR, "ZOR %s link lost: %s", link->instrument, why);
}

// Whether the link can be used now: it is open, or it was lost and this one
// attempt has reopened it. A peer that closed while the link was idle is
// found here, before a command would vanish into the closed connection.
bool linkReady(LinkWatch *link, int port) {
    noticeLoss(link, port);
    if (!link->lost) {
        return true;
    }
    fflush(stdout);  // the poll's lines so far are out before the attempt's wait
    int reopened = reopenPort(port), error = errno;
    if (const char *note = takeLookupNote(port)) {
        fprintf(stderr, "%s link: %s\n", link->instrument, note);
    }
    if (reopened < 0) {
        fprintf(stderr, "%s link not restored: %s\n", link->instrument, strerror(error));
        return false;
    }
    link->lost = false;
    long seconds = (nowMs() - link->lostAtMs) / 1000;
    fprintf(stderr, "%s link restored after %ld s\n", link->instrument, seconds);
    systemLog(LOG_NOTICE, "ZOR %s link restored after %ld s", link->instrument, seconds);
    return true;
}

// The start-up's set-up of the supply: clear, output off, the set-up
// voltage, `amps`, output on. Saved under way first, so that a restart in
// its middle completes it rather than take its output off for a hand's.
void setUpSupply(ChargeState *state, double amps) {
    const int port = state->supplyPort;
    state->supplySettingUp = true;
    saveState(state);
    xfrInit(port);
    xfrDisableOutput(port);
    xfrSetVolts(port, SETUP_VOLTS);
    sendAmps(state, amps);
    xfrEnableOutput(port);
    state->supplySettingUp = false;
    saveState(state);
}

bool sendAmps(ChargeState *state, double amps) {
    if (xfrSetCurrent(state->supplyPort, amps) != 0) {
        return false;
    }
    state->supplyAmpsSent = amps;
    if (amps == 0.0 && state->hold.wanted) {  // a hold is held once its 0 A is taken
        state->hold.held = true;
        state->hold.wanted = false;
    }
    return true;
}

// What a restart must know of the charge. A hold begun is saved held even
// before its 0 A is taken: a restart resumes it.
SavedCharge savedOf(const ChargeState *state) {
    SavedCharge saved{state->dataLogName, state->ChargeStage,
                      state->endOfCharge, state->hold.held || state->hold.wanted,
                      state->supplyOff,   state->batteryOff};
    saved.ampsTaken = state->supplyAmpsSent;
    saved.settingUp = state->supplySettingUp;
    saved.limitEnded = state->limit.reached;
    return saved;
}

// Saves the charge where a state folder keeps it; costs nothing without one.
void saveState(const ChargeState *state) {
    if (keepingCharge()) {
        saveCharge(savedOf(state));
    }
}

bool readSetting(const char *name, long low, long high, const char *unit, long *value) {
    *value = 0;
    const char *text = getenv(name);
    if (text == nullptr || text[0] == '\0') {
        return true;
    }
    // The reader takes a sign as well; a setting is plain digits only.
    long number = 0;
    if (text[0] < '0' || text[0] > '9' || !zortext::parseInteger(text, low, high, &number)) {
        fprintf(stderr, "%s=%s: not a whole number of %s from %ld to %ld\n", name, text, unit, low,
                high);
        return false;
    }
    *value = number;
    return true;
}
