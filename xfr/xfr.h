// The XFR programmable DC supply's text command set.
//
// Principles of operation. Every operation takes the supply's port handle
// (serial/serial.h) first. A setting sends one command line: keyword, one
// blank, a number with four decimals and its unit letter, and a lone carriage
// return ("VSET 35.9000V\r"); numbers are range-checked before anything is
// sent, and a refused number is reported on the standard error stream. A
// setting reads no reply. A query discards stale input, asks, and takes the
// first reply text that arrives, trying up to XFR_QUERY_TRIES times; the
// supply answers as "KEYWORD VALUE" and the reply is parsed with sscanf.
// The module keeps no state between calls.
#pragma once

constexpr double XFR_VOLT_LIMIT = 45.0;     // volts: bounds OVSET, VMAX and VSET
constexpr double XFR_CURRENT_LIMIT = 60.0;  // amperes: bounds IMAX and ISET
constexpr int XFR_QUERY_TRIES = 10;         // questions asked before a query gives up
constexpr int XFR_REPLY_SIZE = 20;          // bytes in a query's reply buffer

// Fixed commands. Each returns sendStr's result: 0 when the text was sent,
// negative on failure.
int xfrInit(int port);           // "CLR\r": clears the supply's errors
int xfrEnableOutput(int port);   // "OUT 1\r"
int xfrDisableOutput(int port);  // "OUT 0\r"
int xfrReset(int port);          // "RST\r"
int xfrTrigger(int port);        // "TRG\r"

// Voltage settings, in volts. Each returns sendStr's result when the value
// is accepted; -1, with nothing sent, when it is below 0, above
// XFR_VOLT_LIMIT (at or above it for xfrSetVolts) or not a number.
int xfrOverVoltSet(int port, double volts);  // "OVSET %0.4fV\r"
int xfrVMax(int port, double volts);         // "VMAX %0.4fV\r"
int xfrSetVolts(int port, double volts);     // "VSET %0.4fV\r"

// Current settings, in amperes. Each returns sendStr's result when the value
// is accepted; -2, with nothing sent, unless 0 <= amps <= XFR_CURRENT_LIMIT.
int xfrIMax(int port, double amps);        // "IMAX %0.4fA\r"
int xfrSetCurrent(int port, double amps);  // "ISET %0.4fA\r"

// Queries. Each asks until some reply text arrives (at most XFR_QUERY_TRIES
// times, each receive waiting up to 2 seconds), parses the first 19 bytes of
// that text, and returns the parse's result: 1 when the value was read into
// the out-parameter, 0 when the reply did not start with the keyword (the
// out-parameter is left as it was), -1 when it ended before a number, as when
// no reply came at all; or sendStr's negative result, at once, when a question
// could not be sent. At DEBUG_LEVEL above 0 each parse is logged on stderr.
int xfrGetIOut(int port, double *amps);   // measured output current
int xfrGetISet(int port, double *amps);   // current set point
int xfrGetOut(int port, int *state);      // output state
int xfrGetVOut(int port, double *volts);  // measured output voltage
int xfrGetVSet(int port, double *volts);  // voltage set point
int xfrGetErr(int port, int *code);       // error code

// Reads the ASTS, STS and FAULT registers in turn. Returns the result of the
// FAULT parse, or sendStr's negative result, after which later questions
// are not asked.
int xfrGetStatus(int port, int *asts, int *sts, int *fault);

// Bit of the FAULT register: the over-voltage protection tripped, which
// switched the output off and keeps it off until it is cleared.
constexpr int XFR_FAULT_OVER_VOLTAGE = 0x04;

// What the supply says of its own state: enough to tell a supply that came
// up again in its power-up state from one switched off by hand or by its
// protection.
struct XfrState {
    int output;       // OUT?: 1 on, 0 off
    double voltsSet;  // VSET?
    double ampsSet;   // ISET?
    int fault;        // FAULT?: the protections that tripped, 0 for none
};

// Asks OUT?, VSET?, ISET? and FAULT? in turn, each once, so that a supply
// that does not answer costs one receive wait, not the queries' tries; the
// asking stops at the first question without a readable answer. Returns 1
// when all four were read into *state; -1 otherwise (the fields read so far
// are filled in), or sendStr's negative result when a question could not be
// sent.
int xfrReadState(int port, XfrState *state);
