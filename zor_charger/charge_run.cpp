// The charge run: start-up of both instruments, the poll loop and the
// four-stage charge-current schedule.
#include <errno.h>
#include <stdio.h>
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
    link->lostAtMs = monotonicMs();
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
    long seconds = (monotonicMs() - link->lostAtMs) / 1000;
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

// Tells the service manager how the charge stands, and that the loop goes
// round when it watches for that.
void notifyStatus(const ChargeState *state, const char *more) {
    std::string message = more;
    if (serviceWatchdogRequested()) {
        message += "WATCHDOG=1\n";
    }
    notifyService(message + "STATUS=" + chargeStatusLine(state, monotonicMs()));
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
        state->lastReplyAtMs = monotonicMs();
        state->lastReplyTime = time(nullptr);
        printf("response is %s\n", reply);
        decodeStatusReply(reply, &state->status);
        reportStatus(&state->status, dataLog);
        stepChargeSchedule(state);
        watchChargeFlow(state);
        printf("\n****setting charge current to %f\n\n", state->chargeCurrent);
        if (linkReady(&state->supplyLink, state->supplyPort)) {
            if (xfrSetCurrent(state->supplyPort, state->chargeCurrent) == 0) {
                state->supplyAmpsSent = state->chargeCurrent;
            }
            noticeLoss(&state->supplyLink, state->supplyPort);
        }
    } else {
        if (count > 0) {
            ++state->otherReplies;
        }
        // A garbled answer is still an answer: only none, or a lost link, is silence.
        state->flow.repliesStopped |= count <= 0 || state->batteryLink.lost;
    }
    puts("going to sleep");
    fflush(stdout);  // the poll's report goes out before the pause, in one piece
    writeMetrics(state);
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
                if (linkReady(&state->batteryLink, state->batteryPort)) {
                    sendStr(state->batteryPort, "@AF\n");
                    noticeLoss(&state->batteryLink, state->batteryPort);
                }
            }
            return;
    }
    ++state->ChargeStage;
    state->chargeCurrent = STAGE_CURRENT[state->ChargeStage];
    printf("\n****reducing charge current to %f\n", state->chargeCurrent);
}

std::string chargeStatusLine(const ChargeState *state, long nowMs) {
    char text[160];
    if (state->endOfCharge) {
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
    if (!state->endOfCharge && state->flow.stopped) {
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

// The run between the opening and the closing of its console.
int chargeOn(const ChargeRunOptions *options) {
    FILE *dataLog = options->dataLog;
    bool ownDataLog = false;
    if (dataLog == nullptr) {
        char name[DATA_LOG_NAME_SIZE] = "";
        dataLog = openDataLog(name);
        if (dataLog == nullptr) {
            // An unattended charge must not run without its record.
            int openError = errno;
            std::string context = std::string("unable to open data log ") + name;
            errno = openError;
            perror(context.c_str());
            return -1;
        }
        ownDataLog = true;
    }

    ChargeState state{};
    state.supplyLink.instrument = "supply";
    state.batteryLink.instrument = "battery";
    state.ChargeStage = 0;
    state.chargeCurrent = INITIAL_CURRENT;
    int result = 0;
    if (!openEndpoint(options->supplyEndpoint, &state.supplyPort)) {
        perror("unable to open connection to xantrex");
        result = -1;
    } else {
        setUpSupply(&state, state.chargeCurrent);
        fflush(stdout);
        options->sleepSeconds(SETTLE_SECONDS);

        if (!openEndpoint(options->batteryEndpoint, &state.batteryPort)) {
            // The supply stays as set up, output on.
            perror("unable to open connection to battery");
            result = -1;
        } else {
            sendStr(state.batteryPort, "@AC\n");
            writeMetrics(&state);
            notifyStatus(&state, "READY=1\n");
            while (options->pollLimit < 0 || state.polls < options->pollLimit) {
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
    if (ownDataLog) {
        fclose(dataLog);
    }
    return result;
}

}  // namespace

int runCharge(const ChargeRunOptions *options) {
    openConsole();
    openServiceNotify();
    openMetrics();
    int result = chargeOn(options);
    closeServiceNotify();
    closeConsole();  // its last flush may still say a stall or a return in the system log
    closeSystemLog();
    return result;
}
