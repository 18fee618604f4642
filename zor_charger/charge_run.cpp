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
#include "zor_charger/charge_internal.h"
#include "zor_charger/zor_charger.h"

namespace {

constexpr int BAUD = 9600;
constexpr int DATA_BITS = 8;
constexpr int STOP_BITS = 1;
constexpr const char *PARITY = "none";

constexpr unsigned SETTLE_SECONDS = 5;  // after switching the supply on
constexpr unsigned POLL_SECONDS = 5;    // between polls
constexpr int BALANCED = 0xFF;          // every cell balanced
constexpr int SETTING_REFUSED = 2;      // the exit status of a setting the charger refuses

// The endpoint is open when openPort gave a positive handle.
bool openEndpoint(const char *endpoint, int *handle) {
    return openPort(endpoint, handle, BAUD, DATA_BITS, STOP_BITS, PARITY) > 0;
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
    if (state->supplyUnjudged) {
        resumeSupply(state, state->hold.held || state->hold.wanted ? 0.0 : state->chargeCurrent);
    }
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
        state->hold.wanted = false;  // a hold whose 0 A was never taken ends unsaid
        state->lastReplyTime = time(nullptr);
        printf("response is %s\n", reply);
        decodeStatusReply(reply, &state->status);
        reportStatus(&state->status, dataLog);
        stepChargeSchedule(state);
        checkChargeLimit(state, true);
        if (!endsHold) {  // its low current is the hold's; the silence before it still counts
            watchChargeFlow(state);
        }
        saveState(state);  // a hold's end, before the current goes out again
        printf("\n****setting charge current to %f\n\n", state->chargeCurrent);
        if (linkReady(&state->supplyLink, state->supplyPort)) {
            sendAmps(state, state->chargeCurrent);
            noticeLoss(&state->supplyLink, state->supplyPort);
        }
        if (endsHold && !state->limit.reached) {  // the limit's 0 A is no hold's end
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
        checkChargeLimit(state, false);
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
    if (state->limit.reached) {
        return;  // its current stays 0 A; its "@AF" is the limit's
    }
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
    if (state->limit.reached) {
        const long minutes = state->limit.minutes;
        snprintf(
            text, sizeof text,
            minutes > 0 ? "ended by the time limit after %ld h %ld min" : "ended by the time limit",
            minutes / 60, minutes % 60);
    } else if (held) {
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
    // What a restart would do otherwise than go on with this charge.
    if (!chargeStateSaved()) {
        line += ", charge state not saved: a restart resumes an older one";
    }
    if (newChargeAsked()) {
        line += ", new charge asked: the next start begins it";
    }
    return line;
}

namespace {

// Says at start which charge goes on, and how.
void sayResumed(const ChargeState *state) {
    char text[DATA_LOG_NAME_SIZE + 100];  // the name and the words around it
    if (state->limit.reached) {
        snprintf(text, sizeof text,
                 "resuming the charge of %s, ended by the time limit: charge current 0 A, the "
                 "battery stays switched off",
                 state->dataLogName);
    } else if (state->endOfCharge) {
        snprintf(text, sizeof text,
                 "resuming the charge of %s, ended: the battery stays switched off",
                 state->dataLogName);
    } else if (state->hold.wanted) {
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

// The run's monotonic milliseconds of the charge's last accepted reply, as
// the time at the start of the data log's last data line gives it: a line
// that begins with the time, a comma after it, not before the charge began
// nor past now (a line cut by a power failure is passed over). Now when the
// log gives none.
long lastReplyAtMs(const char *dataLogName) {
    const long now = nowMs();
    char tail[2 * DATA_LOG_LINE_SIZE + 1] = "";
    size_t size = 0;
    if (FILE *log = fopen(dataLogName, "r")) {
        if (fseek(log, -static_cast<long>(sizeof tail - 1), SEEK_END) != 0) {
            rewind(log);  // a shorter file
        }
        size = fread(tail, 1, sizeof tail - 1, log);
        fclose(log);
    }
    const std::string text(tail, size);
    const long long began = atoll(dataLogName), seconds = time(nullptr);
    for (size_t end = text.rfind('\n'); end != std::string::npos && end > 0;
         end = text.rfind('\n', end - 1)) {
        const size_t start = text.rfind('\n', end - 1);
        const char *line = text.c_str() + (start == std::string::npos ? 0 : start + 1);
        char *after = nullptr;
        const long long at = strtoll(line, &after, 10);
        if (after != line && *after == ',' && at >= began && at <= seconds) {
            return now - static_cast<long>((seconds - at) * 1000);
        }
        if (start == std::string::npos) {
            break;
        }
    }
    return now;
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
    } else if (!chargeStateSaved()) {
        snprintf(text, sizeof text,
                 "stopped by SIG%s: the charge state is not saved: the next start resumes an "
                 "older one",
                 name);
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
int chargeOn(const ChargeRunOptions *options, long holdSeconds, long limitMinutes) {
    ChargeState state{};
    state.supplyAmpsSent = -1;  // not known until the supply takes one
    state.supplyLink.instrument = "supply";
    state.batteryLink.instrument = "battery";
    state.ChargeStage = 0;
    state.chargeCurrent = INITIAL_CURRENT;
    state.hold.seconds = holdSeconds;
    state.limit.minutes = limitMinutes;
    state.limit.startMs = nowMs();  // a new charge is 0 s old
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
        state.supplyAmpsSent = saved.ampsTaken;
        state.supplySettingUp = saved.settingUp;
        resumeChargeLimit(&state, saved.limitEnded);
        // Never charged blind across a restart: with the hold set, or held as
        // it stopped, held until the first accepted reply of this run; its
        // silence counts from the charge's last. A charge the limit ended
        // has nothing to hold.
        state.hold.wanted = !state.limit.reached && (saved.held || holdSeconds > 0);
        state.hold.quietSinceMs = state.hold.heldAtMs = lastReplyAtMs(state.dataLogName);
        saveState(&state);  // held, before its 0 A goes out
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
        if (state.limit.reached) {
            zeroSupplyCurrent(&state);  // and nothing else, whatever it would answer
        } else if (resumed) {
            resumeSupply(&state, state.hold.wanted ? 0.0 : state.chargeCurrent);
        } else {
            setUpSupply(&state, state.chargeCurrent);
        }
        fflush(stdout);
        options->sleepSeconds(SETTLE_SECONDS);

        if (stopAsked()) {
            // A stop during the start ends it before "@AC" and READY=1.
        } else if (!openEndpoint(options->batteryEndpoint, &state.batteryPort)) {
            // Without the hold, the supply stays as set up, output on.
            perror("unable to open connection to battery");
            if (holdSeconds > 0 && !state.limit.reached) {
                holdUnreachable(&state);
            }
            result = -1;
        } else if (stopAsked()) {
            closePort(state.batteryPort);
        } else {
            // A charge that ended, or a battery a hand or its protection
            // switched off, stays off.
            if (state.limit.reached) {
                switchBatteryOff(&state);
            } else if (!state.endOfCharge && !state.batteryOff) {
                sendStr(state.batteryPort, "@AC\n");
            }
            if (!resumed) {
                state.hold.quietSinceMs = nowMs();  // a resume's counts from the last reply
            }
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

}  // namespace

int runCharge(const ChargeRunOptions *options) {
    long holdSeconds = 0, limitMinutes = 0;
    if (!readSilenceHold(&holdSeconds) || !readChargeLimit(&limitMinutes)) {
        return SETTING_REFUSED;  // before the data log, and before either instrument
    }
    runClock = options->clockMs != nullptr ? options->clockMs : monotonicMs;
    openConsole();
    openServiceNotify();
    openMetrics();
    int result = chargeOn(options, holdSeconds, limitMinutes);
    closeServiceNotify();
    closeConsole();  // its last flush may still say a stall or a return in the system log
    closeSystemLog();
    return result;
}
