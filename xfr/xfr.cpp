#include "xfr/xfr.h"
#include "xfr/xfr_reply.h"

#include <stdio.h>

#include <string>
#include <type_traits>

#include "serial/serial.h"
#include "util/util.h"

namespace {

// Holds the longest accepted setting, "OVSET 45.0000V\r", and its NUL.
constexpr int XFR_COMMAND_SIZE = 20;

// Formats "KEYWORD VALUE UNIT\r" with four decimals and sends it whole.
int sendSetting(int port, const char *keyword, double value, char unit) {
    char command[XFR_COMMAND_SIZE];
    snprintf(command, sizeof command, "%s %0.4f%c\r", keyword, value, unit);
    return sendStr(port, command);
}

// A voltage must lie in [0, XFR_VOLT_LIMIT], or [0, XFR_VOLT_LIMIT) when the
// limit itself is refused. The test is written so that NaN, which fails every
// comparison, is refused too: it must never reach a supply charging a battery.
int setVoltage(int port, const char *name, const char *keyword, double volts, bool limitAllowed) {
    const bool accepted =
        volts >= 0.0 && (limitAllowed ? volts <= XFR_VOLT_LIMIT : volts < XFR_VOLT_LIMIT);
    if (!accepted) {
        REPORT_LOCATION();
        fprintf(stderr, "err: %s(%f) %s %f\n", name, volts,
                limitAllowed ? ">" : ">=", XFR_VOLT_LIMIT);
        return -1;
    }
    return sendSetting(port, keyword, volts, 'V');
}

int setCurrent(int port, const char *keyword, double amps) {
    if (!(amps >= 0.0 && amps <= XFR_CURRENT_LIMIT)) {
        // The message names the place again, so prefix and message share one line number.
        const int line = __LINE__;
        reportLocation(__FILE_NAME__, line);
        fprintf(stderr, "Assertion failed on line %d in file %s\n", line, __FILE_NAME__);
        return -2;
    }
    return sendSetting(port, keyword, amps, 'A');
}

// One question and the texts that go with it: the operation's name as its
// messages spell it, and the keyword that both the question and the reply use.
struct Query {
    const char *name;
    const char *keyword;
};

// Asks `keyword?` until some reply text arrives, at most `tries` times; a
// failed receive is reported and counts as a try. `reply` then holds the last
// receive's text, possibly empty. Returns 0, or sendStr's negative result as
// soon as a question cannot be sent.
int exchange(int port, const Query &query, char *reply, int tries = XFR_QUERY_TRIES) {
    char question[16];
    snprintf(question, sizeof question, "%s?\r", query.keyword);
    int last = -1;
    for (int asked = 0; asked < tries && last <= 0; ++asked) {
        flushRecv(port);  // a failure is reported by the port layer; asking goes on
        last = sendStr(port, question);
        if (last < 0) {
            REPORT_LOCATION();
            fprintf(stderr, "err: %s: sendStr returned %d\n", query.name, last);
            return last;
        }
        last = recvStr(port, reply, XFR_REPLY_SIZE);
        if (last < 0) {
            REPORT_LOCATION();
            fprintf(stderr, "err: %s: recvStr returned %d\n", query.name, last);
        }
    }
    return 0;
}

// Reads "KEYWORD VALUE" from the reply into *value; the value's type picks
// the conversion, so format and variable cannot disagree. Returns sscanf's
// result: 1 when read, 0 on another text (value untouched), -1 on no text.
template <typename T>
int parseReply(const Query &query, const char *reply, T *value) {
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, int>);
    const int parsed = parseXfrReply(query.keyword, reply, value);
    if (DEBUG_LEVEL > 0) {
        if constexpr (std::is_same_v<T, double>) {
            fprintf(stderr, "%s = %f, sscanf returned %d\n", query.name, *value, parsed);
        } else {
            fprintf(stderr, "%s = %d, sscanf returned %d\n", query.name, *value, parsed);
        }
    }
    return parsed;
}

// A whole single-value query: the exchange, then the parse of whatever came.
template <typename T>
int ask(int port, const Query &query, T *value, int tries = XFR_QUERY_TRIES) {
    char reply[XFR_REPLY_SIZE] = {};
    const int sent = exchange(port, query, reply, tries);
    if (sent < 0) {
        return sent;
    }
    return parseReply(query, reply, value);
}

}  // namespace

int parseXfrReply(const char *keyword, const char *reply, double *value) {
    return sscanf(reply, (std::string(keyword) + " %lf").c_str(), value);
}

int parseXfrReply(const char *keyword, const char *reply, int *value) {
    return sscanf(reply, (std::string(keyword) + " %d").c_str(), value);
}

int xfrInit(int port) {
    return sendStr(port, "CLR\r");
}
int xfrEnableOutput(int port) {
    return sendStr(port, "OUT 1\r");
}
int xfrDisableOutput(int port) {
    return sendStr(port, "OUT 0\r");
}
int xfrReset(int port) {
    return sendStr(port, "RST\r");
}
int xfrTrigger(int port) {
    return sendStr(port, "TRG\r");
}

int xfrOverVoltSet(int port, double volts) {
    return setVoltage(port, "xfrOverVoltSet", "OVSET", volts, true);
}

int xfrVMax(int port, double volts) {
    return setVoltage(port, "xfrVMax", "VMAX", volts, true);
}

int xfrSetVolts(int port, double volts) {
    return setVoltage(port, "xfrSetVolts", "VSET", volts, false);
}

int xfrIMax(int port, double amps) {
    return setCurrent(port, "IMAX", amps);
}
int xfrSetCurrent(int port, double amps) {
    return setCurrent(port, "ISET", amps);
}

int xfrGetIOut(int port, double *amps) {
    return ask(port, {"xfrGetIOut", "IOUT"}, amps);
}
int xfrGetISet(int port, double *amps) {
    return ask(port, {"xfrGetISet", "ISET"}, amps);
}
int xfrGetOut(int port, int *state) {
    return ask(port, {"xfrGetOut", "OUT"}, state);
}
int xfrGetVOut(int port, double *volts) {
    return ask(port, {"xfrGetVout", "VOUT"}, volts);
}
int xfrGetVSet(int port, double *volts) {
    return ask(port, {"xfrGetVset", "VSET"}, volts);
}
int xfrGetErr(int port, int *code) {
    return ask(port, {"xfrGetErr", "ERR"}, code);
}

int xfrGetStatus(int port, int *asts, int *sts, int *fault) {
    // One reply buffer for all three questions; each question gets its own tries.
    char reply[XFR_REPLY_SIZE] = {};
    const Query questions[] = {
        {"xfrGetStatus", "ASTS"}, {"xfrGetStatus", "STS"}, {"xfrGetStatus", "FAULT"}};
    int *const registers[] = {asts, sts, fault};
    int parsed = -1;
    for (int i = 0; i < 3; ++i) {
        const int sent = exchange(port, questions[i], reply);
        if (sent < 0) {
            return sent;
        }
        parsed = parseReply(questions[i], reply, registers[i]);  // only FAULT's result is kept
    }
    return parsed;
}

int xfrReadState(int port, XfrState *state) {
    const char *name = "xfrReadState";
    int read = ask(port, {name, "OUT"}, &state->output, 1);
    if (read == 1) {
        read = ask(port, {name, "VSET"}, &state->voltsSet, 1);
    }
    if (read == 1) {
        read = ask(port, {name, "ISET"}, &state->ampsSet, 1);
    }
    if (read == 1) {
        read = ask(port, {name, "FAULT"}, &state->fault, 1);
    }
    return read == 1 ? 1 : read < -1 ? read : -1;
}
