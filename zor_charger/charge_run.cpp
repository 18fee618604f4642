// The charge run: start-up of both instruments, the poll loop and the
// four-stage charge-current schedule.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include <string>
#include <utility>

#include "serial/serial.h"
#include "util/util.h"
#include "xfr/xfr.h"
#include "zor_charger/zor_charger.h"

namespace {

constexpr int BAUD = 9600;
constexpr int DATA_BITS = 8;
constexpr int STOP_BITS = 1;
constexpr const char *PARITY = "none";

constexpr double SETUP_VOLTS = 35.9;
constexpr double INITIAL_CURRENT = 45.0;
constexpr double STAGE_CURRENT[] = {INITIAL_CURRENT, 22.5, 12.5, 7.5};
constexpr unsigned SETTLE_SECONDS = 5;  // after switching the supply on
constexpr unsigned POLL_SECONDS = 5;    // between polls
constexpr int BALANCED = 0xFF;          // every cell balanced
constexpr int SETTING_REFUSED = 2;      // the exit status of a setting the charger refuses

// The run's clock: monotonicMs unless a test drives time itself.
long (*runClock)() = monotonicMs;

long nowMs() {
    return runClock();
}

// The endpoint is open when openPort gave a positive handle.
bool openEndpoint(const char *endpoint, int *handle) {
    return openPort(endpoint, handle, BAUD, DATA_BITS, STOP_BITS, PARITY) > 0;
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
// voltage, `amps`, output on.
void setUpSupply(ChargeState *state, double amps) {
    const int port = state->supplyPort;
    xfrInit(port);
    xfrDisableOutput(port);
    xfrSetVolts(port, SETUP_VOLTS);
    if (xfrSetCurrent(port, amps) == 0) {
        state->supplyAmpsSent = amps;
    }
    xfrEnableOutput(port);
}

// What a restart must know of the charge.
SavedCharge savedOf(const ChargeState *state) {
    return {state->dataLogName, state->ChargeStage, state->endOfCharge,
            state->hold.held,   state->supplyOff,   state->batteryOff};
}

// Saves the charge where a state folder keeps it; costs nothing without one.
void saveState(const ChargeState *state) {
    if (keepingCharge()) {
        saveCharge(savedOf(state));
    }
}

// After a restart of the charger itself: asks the supply how it stands
// before commanding it, and undoes only what a restart of the supply lost,
// never at more than `amps`. A supply switched off by a hand or its
// protection, now or as saved, stays off for the flow watch to say so.
void resumeSupply(ChargeState *state, double amps) {
    const int port = state->supplyPort;
    XfrState supply{};
    if (xfrReadState(port, &supply) != 1) {
        setUpSupply(state, amps);  // as a first start would, at the stage's current
        return;
    }
    if (supply.output == 1) {
        if (!supplySetTo(supply.voltsSet, SETUP_VOLTS)) {
            xfrSetVolts(port, SETUP_VOLTS);
        }
        if (xfrSetCurrent(port, amps) == 0) {
            state->supplyAmpsSent = amps;
        }
        return;
    }
    // Ours: the stage's current, the one before it (the charger stopped
    // between saving a stage and sending its current), or a hold's 0 A.
    const int stage = state->ChargeStage;
    bool ours = false;
    for (double each :
         {amps, STAGE_CURRENT[stage], STAGE_CURRENT[stage > 0 ? stage - 1 : 0], 0.0}) {
        ours = ours || supplySetTo(supply.ampsSet, each);
    }
    ours = ours && supplySetTo(supply.voltsSet, SETUP_VOLTS);
    if (state->supplyOff || supply.fault != 0 || ours) {
        state->supplyAmpsSent = supply.ampsSet;
        return;
    }
    setUpSupply(state, amps);  // it came up in its power-up state
}

// Reads the supply's state for a charge that has stopped; never while it
// flows. A link found lost, before the questions or during them, is left to
// the poll's setting to reopen, and the supply is asked again at the poll
// after that.
bool askSupply(ChargeState *state, XfrState *supply) {
    LinkWatch *link = &state->supplyLink;
    noticeLoss(link, state->supplyPort);
    const bool answered = !link->lost && xfrReadState(state->supplyPort, supply) == 1;
    noticeLoss(link, state->supplyPort);
    state->flow.askFoundSupplyLost = link->lost;
    return answered;
}

// Whether the cause of a stopped charge is to be looked for at this poll:
// when the episode starts or the battery's state changes, and while the
// supply's part of it is unknown, when the supply's link is back or every
// NO_CURRENT_ASK_POLLS polls.
bool timeToAsk(const ChargeState *state, bool starts, bool batteryChanged) {
    const ChargeFlow &flow = state->flow;
    return starts || batteryChanged ||
           (!flow.causeKnown && ((flow.askFoundSupplyLost && !state->supplyLink.lost) ||
                                 state->polls - flow.askedAtPoll >= NO_CURRENT_ASK_POLLS));
}

// Looks for why the charge stopped, restores what a restart lost (once for
// each restart found: until a look finds that instrument not restarted, it
// is the same restart) and says the cause: when the episode starts, and
// again when a later look finds another.
void lookForCause(ChargeState *state, bool starts) {
    ChargeFlow &flow = state->flow;
    NoCurrentFindings found{};
    found.batteryStatus = state->status.statusRegister;
    found.afterSilence = flow.afterSilence;
    found.setUpVolts = SETUP_VOLTS;
    // Not the stage's current: the schedule may have stepped at this very
    // reply, and the supply has not been sent the new one yet.
    found.ampsSent = state->supplyAmpsSent;
    found.supplyAnswered = askSupply(state, &found.supply);
    flow.askedAtPoll = state->polls;
    const NoCurrentVerdict verdict = judgeNoCurrent(found);
    flow.supplySetUp &= !found.supplyAnswered || verdict.setUpSupply;
    flow.batterySwitchedOn &= verdict.switchBatteryOn;
    if (verdict.setUpSupply && !flow.supplySetUp) {
        flow.supplySetUp = true;
        setUpSupply(state, state->chargeCurrent);
        noticeLoss(&state->supplyLink, state->supplyPort);
    }
    if (verdict.switchBatteryOn && !flow.batterySwitchedOn &&
        linkReady(&state->batteryLink, state->batteryPort)) {
        flow.batterySwitchedOn = true;
        sendStr(state->batteryPort, "@AC\n");
        noticeLoss(&state->batteryLink, state->batteryPort);
    }
    flow.causes = verdict.causes;
    // Saved: a restart of the charger leaves what a hand or a protection did.
    if (found.supplyAnswered) {
        state->supplyOff = (verdict.causes & (SUPPLY_OUTPUT_OFF | SUPPLY_OVER_VOLTAGE)) != 0;
    }
    state->batteryOff = (verdict.causes & (BATTERY_SWITCHED_OFF | BATTERY_PROTECTION)) != 0;
    flow.causeKnown = found.supplyAnswered && verdict.causes != 0;
    if (starts || verdict.text != flow.cause) {
        flow.cause = verdict.text;
        const double amps = batteryCurrentOf(&state->status);
        fprintf(stderr, "no charge current: battery %.2f A with %.1f A set; %s\n", amps,
                state->chargeCurrent, flow.cause.c_str());
        systemLog(LOG_ERR, "ZOR no charge current: battery %.2f A with %.1f A set; %s", amps,
                  state->chargeCurrent, flow.cause.c_str());
    }
}

// Follows the battery current of each accepted reply before the end of
// charge: an episode starts at the NO_CURRENT_REPLIES-th low reply in a row
// and ends, said once, at the first reply that shows the current back.
// Whether the battery restarted is told by the polls just before its state
// took its value, at the episode's first reply or at a change later on.
void watchChargeFlow(ChargeState *state) {
    ChargeFlow &flow = state->flow;
    const bool afterSilence = std::exchange(flow.repliesStopped, false);
    if (state->endOfCharge) {
        flow = ChargeFlow{};  // the battery is off by design
        return;
    }
    if (batteryCurrentOf(&state->status) >= NO_CURRENT_AMPS) {
        if (flow.stopped) {
            long seconds = (state->lastReplyAtMs - flow.sinceMs) / 1000;
            fprintf(stderr, "charge current again after %ld s\n", seconds);
            systemLog(LOG_NOTICE, "ZOR charge current again after %ld s", seconds);
        }
        flow = ChargeFlow{};
        state->supplyOff = state->batteryOff = false;
        return;
    }
    const int bits = state->status.statusRegister & BATTERY_STATE_BITS;
    const bool changed = flow.lowReplies > 0 && bits != flow.batteryBits;
    if (flow.lowReplies++ == 0) {
        flow.sinceMs = state->lastReplyAtMs;
    }
    if (flow.lowReplies == 1 || changed) {
        flow.afterSilence = afterSilence;
    }
    flow.batteryBits = bits;
    if (flow.lowReplies < NO_CURRENT_REPLIES) {
        return;
    }
    const bool starts = !flow.stopped;
    flow.stopped = true;
    if (timeToAsk(state, starts, changed)) {
        lookForCause(state, starts);
    }
}

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

// At a poll without an accepted reply: holds the charge when the battery has
// been silent for the setting's seconds, before and after the end of charge.
void holdIfSilent(ChargeState *state) {
    const SilenceHold &hold = state->hold;
    const long silentMs = nowMs() - hold.quietSinceMs;
    if (hold.seconds > 0 && !hold.held && silentMs >= hold.seconds * 1000) {
        startHold(state, silentMs);
    }
}

// Tells the service manager how the charge stands, and that the loop goes
// round when it watches for that.
void notifyStatus(const ChargeState *state, const char *more) {
    std::string message = more;
    if (serviceWatchdogRequested()) {
        message += "WATCHDOG=1\n";
    }
    notifyService(message + "STATUS=" + chargeStatusLine(state, nowMs()));
}

// Polls the battery once: discards stale input, asks, takes one reply and,
// when it is a status reply, reports it, steps the schedule and sends the
// chosen current. A lost link is reopened first; while it cannot be, the
// poll asks nothing and counts as one without a reply.
void pollOnce(ChargeState *state, FILE *dataLog, unsigned (*sleepSeconds)(unsigned)) {
    char reply[RECEIVE_BUFFER_SIZE];
    const int battery = state->batteryPort;
    startReportWait();
    puts("sending status request");
    bool asked = linkReady(&state->batteryLink, battery);
    if (asked) {
        // A late reply, or the rest of a broken one, must not be read as the
        // answer to this request.
        flushRecv(battery);
        asked = sendStr(battery, "@RQ\n") == 0 || linkLost(battery) == 0;
    }
    ++state->polls;
    puts("waiting for reply");
    int count = asked ? recvStr(battery, reply, sizeof reply) : -1;
    noticeLoss(&state->batteryLink, battery);
    printf("status is %d\n", count);
    if (count == STATUS_REPLY_SIZE) {
        ++state->acceptedReplies;
        state->lastReplyAtMs = nowMs();
        state->hold.quietSinceMs = state->lastReplyAtMs;
        const bool endsHold = std::exchange(state->hold.held, false);
        state->lastReplyTime = time(nullptr);
        printf("response is %s\n", reply);
        decodeStatusReply(reply, &state->status);
        reportStatus(&state->status, dataLog);
        stepChargeSchedule(state);
        if (!endsHold) {  // its low current is the hold's; the silence before it still counts
            watchChargeFlow(state);
        }
        saveState(state);  // a hold's end, before the current goes out again
        printf("\n****setting charge current to %f\n\n", state->chargeCurrent);
        if (linkReady(&state->supplyLink, state->supplyPort)) {
            if (xfrSetCurrent(state->supplyPort, state->chargeCurrent) == 0) {
                state->supplyAmpsSent = state->chargeCurrent;
            }
            noticeLoss(&state->supplyLink, state->supplyPort);
        }
        if (endsHold) {
            long seconds = (state->lastReplyAtMs - state->hold.heldAtMs) / 1000;
            fprintf(stderr,
                    "battery answers again: charge current back to %.1f A after %ld s held\n",
                    state->chargeCurrent, seconds);
            systemLog(LOG_NOTICE,
                      "ZOR battery answers again: charge current back to %.1f A after %ld s held",
                      state->chargeCurrent, seconds);
        }
    } else {
        if (count > 0) {
            ++state->otherReplies;
        }
        // A garbled answer is still an answer: only none, or a lost link, is silence.
        state->flow.repliesStopped |= count <= 0 || state->batteryLink.lost;
        holdIfSilent(state);
    }
    puts("going to sleep");
    fflush(stdout);  // the poll's report goes out before the pause, in one piece
    writeMetrics(state);
    saveState(state);  // what the flow watch found; a write that failed, again
    notifyStatus(state, "");
    sleepSeconds(POLL_SECONDS);
    puts("waking up");
}

}  // namespace

void stepChargeSchedule(ChargeState *state) {
    int balance = state->status.balanceRegister;
    switch (state->ChargeStage) {
        case 0:
        case 1:
            if (balance == 0) {
                return;
            }
            break;
        case 2:
            if (balance != BALANCED) {
                return;
            }
            break;
        default:
            if (balance == BALANCED) {
                puts("turning battery off at end of charge");
                state->endOfCharge = true;
                saveState(state);  // before "@AF": a restart never switches it on
                if (linkReady(&state->batteryLink, state->batteryPort)) {
                    sendStr(state->batteryPort, "@AF\n");
                    noticeLoss(&state->batteryLink, state->batteryPort);
                }
            }
            return;
    }
    ++state->ChargeStage;
    state->chargeCurrent = STAGE_CURRENT[state->ChargeStage];
    saveState(state);  // before the lower current goes out
    printf("\n****reducing charge current to %f\n", state->chargeCurrent);
}

std::string chargeStatusLine(const ChargeState *state, long nowMs) {
    char text[160];
    const bool held = state->hold.held;
    if (held) {
        // Not the current the schedule chose: the supply has 0 A, and why.
        const long silent = (nowMs - state->hold.quietSinceMs) / 1000;
        if (state->endOfCharge) {
            snprintf(text, sizeof text, "end of charge, charge held: no accepted reply for %ld s",
                     silent);
        } else {
            snprintf(text, sizeof text, "stage %d/4, charge held: no accepted reply for %ld s",
                     state->ChargeStage + 1, silent);
        }
    } else if (state->endOfCharge) {
        snprintf(text, sizeof text, "end of charge, %.1f A", state->chargeCurrent);
    } else if (state->flow.stopped) {
        // Not the current it cannot deliver: for how long, and why.
        snprintf(text, sizeof text,
                 "stage %d/4, no charge current for %ld s: ", state->ChargeStage + 1,
                 (nowMs - state->flow.sinceMs) / 1000);
    } else {
        snprintf(text, sizeof text, "stage %d/4, %.1f A", state->ChargeStage + 1,
                 state->chargeCurrent);
    }
    std::string line = text;
    if (!held && !state->endOfCharge && state->flow.stopped) {
        line += state->flow.cause;
    }
    if (state->acceptedReplies == 0) {
        line += ", no reply yet";
    } else {
        snprintf(text, sizeof text, ", gas gauge %.2f, last reply %ld s ago",
                 gasGaugeOf(&state->status), (nowMs - state->lastReplyAtMs) / 1000);
        line += text;
    }
    for (const LinkWatch *link : {&state->batteryLink, &state->supplyLink}) {
        if (link->lost) {
            snprintf(text, sizeof text, ", %s link lost %ld s ago", link->instrument,
                     (nowMs - link->lostAtMs) / 1000);
            line += text;
        }
    }
    return line;
}

namespace {

// Says at start which charge goes on, and how.
void sayResumed(const ChargeState *state) {
    char text[DATA_LOG_NAME_SIZE + 100];  // the name and the words around it
    if (state->endOfCharge) {
        snprintf(text, sizeof text,
                 "resuming the charge of %s, ended: the battery stays switched off",
                 state->dataLogName);
    } else if (state->hold.held) {
        snprintf(text, sizeof text,
                 "resuming the charge of %s at stage %d/4, held at 0 A until the battery answers",
                 state->dataLogName, state->ChargeStage + 1);
    } else {
        snprintf(text, sizeof text, "resuming the charge of %s at stage %d/4 (%.1f A)",
                 state->dataLogName, state->ChargeStage + 1, state->chargeCurrent);
    }
    puts(text);
    systemLog(LOG_NOTICE, "ZOR %s", text);
}

// At a stop asked for by a signal: what the outlets hold goes out, the
// charge is saved as it stands, and the next start is said.
void stopCharge(const ChargeState *state, FILE *dataLog, int signal) {
    writeOutDataLog(dataLog);
    saveState(state);
    if (stateFolder().empty()) {
        return;  // nothing is kept: the next start is a new charge, as always
    }
    char text[DATA_LOG_NAME_SIZE + 100];
    const char *name = sigabbrev_np(signal);
    if (newChargeAsked()) {
        snprintf(text, sizeof text,
                 "stopped by SIG%s: the next start begins a new charge, as asked", name);
    } else if (state->endOfCharge) {
        snprintf(text, sizeof text,
                 "stopped by SIG%s: the next start resumes the charge of %s, ended", name,
                 state->dataLogName);
    } else {
        snprintf(text, sizeof text,
                 "stopped by SIG%s: the next start resumes the charge of %s at stage %d/4", name,
                 state->dataLogName, state->ChargeStage + 1);
    }
    puts(text);
    systemLog(LOG_NOTICE, "ZOR %s", text);
}

// The run between the opening and the closing of its console.
int chargeOn(const ChargeRunOptions *options, long holdSeconds) {
    ChargeState state{};
    state.supplyLink.instrument = "supply";
    state.batteryLink.instrument = "battery";
    state.ChargeStage = 0;
    state.chargeCurrent = INITIAL_CURRENT;
    state.hold.seconds = holdSeconds;
    SavedCharge saved{};
    const ChargeStart start = openSavedCharge(stateFolder(), &saved);
    const bool resumed = start == ChargeStart::Resumed;

    FILE *dataLog = options->dataLog;
    bool ownDataLog = false;
    if (resumed) {
        snprintf(state.dataLogName, sizeof state.dataLogName, "%s", saved.dataLog.c_str());
    } else {
        snprintf(state.dataLogName, sizeof state.dataLogName, "%lldzor.log",
                 static_cast<long long>(time(nullptr)));
    }
    if (dataLog == nullptr) {
        bool wasGone = false;
        dataLog =
            resumed ? reopenDataLog(state.dataLogName, &wasGone) : openDataLog(state.dataLogName);
        if (dataLog == nullptr) {
            // An unattended charge must not run without its record.
            int openError = errno;
            std::string context = std::string("unable to open data log ") + state.dataLogName;
            errno = openError;
            perror(context.c_str());
            return -1;
        }
        ownDataLog = true;
        if (wasGone) {
            fprintf(stderr, "data log %s was not in the working folder: begun again\n",
                    state.dataLogName);
            systemLog(LOG_WARNING, "ZOR data log %s was not in the working folder: begun again",
                      state.dataLogName);
        }
    }
    state.chargeStartTime = static_cast<time_t>(atoll(state.dataLogName));
    if (resumed) {
        state.ChargeStage = saved.stage;
        state.chargeCurrent = STAGE_CURRENT[saved.stage];
        state.endOfCharge = saved.ended;
        state.supplyOff = saved.supplyOff;
        state.batteryOff = saved.batteryOff;
        state.hold.held = saved.held;  // until the first accepted reply
        state.hold.heldAtMs = nowMs();
        sayResumed(&state);
    } else {
        // Saved before any instrument is touched, so that a start that fails
        // is tried again on the same charge and its data log.
        saveState(&state);
        if (start == ChargeStart::Asked) {
            takeNewChargeMark();
            printf("beginning a new charge, as asked: %s\n", state.dataLogName);
            systemLog(LOG_NOTICE, "ZOR beginning a new charge, as asked: %s", state.dataLogName);
        }
    }

    auto stopAsked = [options] {
        return options->stopSignal != nullptr && *options->stopSignal != 0;
    };
    int result = 0;
    if (!openEndpoint(options->supplyEndpoint, &state.supplyPort)) {
        perror("unable to open connection to xantrex");
        result = -1;
    } else {
        if (resumed) {
            resumeSupply(&state, state.hold.held ? 0.0 : state.chargeCurrent);
        } else {
            setUpSupply(&state, state.chargeCurrent);
        }
        fflush(stdout);
        options->sleepSeconds(SETTLE_SECONDS);

        if (!openEndpoint(options->batteryEndpoint, &state.batteryPort)) {
            // The supply stays as set up, output on.
            perror("unable to open connection to battery");
            result = -1;
        } else {
            // A charge that ended, or a battery a hand or its protection
            // switched off, stays off.
            if (!state.endOfCharge && !state.batteryOff) {
                sendStr(state.batteryPort, "@AC\n");
            }
            state.hold.quietSinceMs = nowMs();
            writeMetrics(&state);
            notifyStatus(&state, "READY=1\n");
            while (!stopAsked() && (options->pollLimit < 0 || state.polls < options->pollLimit)) {
                pollOnce(&state, dataLog, options->sleepSeconds);
                if (options->afterPoll != nullptr) {
                    options->afterPoll(&state, options->context);
                }
            }
            closePort(state.batteryPort);
        }
        // Closing the link leaves the supply at its last setting.
        closePort(state.supplyPort);
    }
    if (stopAsked()) {
        stopCharge(&state, dataLog, *options->stopSignal);
    }
    if (ownDataLog) {
        fclose(dataLog);
    }
    return result;
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

}  // namespace

int runCharge(const ChargeRunOptions *options) {
    long holdSeconds = 0;
    if (!readSilenceHold(&holdSeconds)) {
        return SETTING_REFUSED;  // before the data log, and before either instrument
    }
    runClock = options->clockMs != nullptr ? options->clockMs : monotonicMs;
    openConsole();
    openServiceNotify();
    openMetrics();
    int result = chargeOn(options, holdSeconds);
    closeServiceNotify();
    closeConsole();  // its last flush may still say a stall or a return in the system log
    closeSystemLog();
    return result;
}
