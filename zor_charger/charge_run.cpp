// The charge run: start-up of both instruments, the poll loop and the
// four-stage charge-current schedule.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "serial/serial.h"
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

// Polls the battery once: discards stale input, asks, takes one reply and,
// when it is a status reply, reports it, steps the schedule and sends the
// chosen current.
void pollOnce(ChargeState *state, FILE *dataLog, unsigned (*sleepSeconds)(unsigned)) {
    char reply[RECEIVE_BUFFER_SIZE];
    puts("sending status request");
    // A late reply, or the rest of a broken one, must not be read as the
    // answer to this request.
    flushRecv(state->batteryPort);
    sendStr(state->batteryPort, "@RQ\n");
    ++state->polls;
    puts("waiting for reply");
    int count = recvStr(state->batteryPort, reply, sizeof reply);
    printf("status is %d\n", count);
    if (count == STATUS_REPLY_SIZE) {
        ++state->acceptedReplies;
        printf("response is %s\n", reply);
        decodeStatusReply(reply, &state->status);
        reportStatus(&state->status, dataLog);
        stepChargeSchedule(state);
        printf("\n****setting charge current to %f\n\n", state->chargeCurrent);
        xfrSetCurrent(state->supplyPort, state->chargeCurrent);
    }
    puts("going to sleep");
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
                sendStr(state->batteryPort, "@AF\n");
            }
            return;
    }
    ++state->ChargeStage;
    state->chargeCurrent = STAGE_CURRENT[state->ChargeStage];
    printf("\n****reducing charge current to %f\n", state->chargeCurrent);
}

int runCharge(const ChargeRunOptions *options) {
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
    state.ChargeStage = 0;
    state.chargeCurrent = INITIAL_CURRENT;
    int result = 0;
    if (!openEndpoint(options->supplyEndpoint, &state.supplyPort)) {
        perror("unable to open connection to xantrex");
        result = -1;
    } else {
        xfrInit(state.supplyPort);
        xfrDisableOutput(state.supplyPort);
        xfrSetVolts(state.supplyPort, SETUP_VOLTS);
        xfrSetCurrent(state.supplyPort, state.chargeCurrent);
        xfrEnableOutput(state.supplyPort);
        options->sleepSeconds(SETTLE_SECONDS);

        if (!openEndpoint(options->batteryEndpoint, &state.batteryPort)) {
            // The supply stays as set up, output on.
            perror("unable to open connection to battery");
            result = -1;
        } else {
            sendStr(state.batteryPort, "@AC\n");
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
