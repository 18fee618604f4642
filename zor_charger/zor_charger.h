// Charge control: the battery's status reply, the three reports made of each
// accepted reply, and the charge run itself.
//
// Principles of operation. The battery electronics answer "@RQ\n" with a
// 77-byte reply of fixed-width hexadecimal fields; a receive that returned
// exactly STATUS_REPLY_SIZE bytes is a status reply, anything else is not.
// decodeStatusReply scans an accepted reply field by field into the one
// BatteryStatus record, which keeps its values from one accepted reply to the
// next. reportStatus prints the record as a readable report, appends one line
// to the data log and sends two system-log messages. runCharge sets up the
// supply, wakes the battery, polls it and steps the charge-current schedule
// 45.0 -> 22.5 -> 12.5 -> 7.5 A on the balance register. A link to either
// instrument that drops is reported and reopened at its next use, so a
// server restart or an unplugged adapter costs polls, never the charge. A
// battery silent for $ZOR_SILENCE_HOLD_SECONDS, when it is set, has its charge
// current held at 0 A until its next accepted reply.
//
// Reports never hold up the polls: the console and the system log get a short
// wait per poll, and what a stalled reader or logger does not take is kept or
// dropped, counted and said once. A service manager that started the charger
// is told when it is ready, how the charge stands after each poll and, when
// it asks, that the poll loop still goes round.
#pragma once

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <string>

#include "xfr/xfr.h"

constexpr int STATUS_REPLY_SIZE = 77;    // bytes in a status reply
constexpr int RECEIVE_BUFFER_SIZE = 80;  // bytes in the battery's receive buffer
constexpr int DATA_LOG_NAME_SIZE = 80;   // bytes for the data log's file name
constexpr int DATA_LOG_LINE_SIZE = 128;  // bytes for one data log line, more than the widest
constexpr size_t DATA_LOG_KEEP_BYTES = 1 << 20;  // data log lines kept while the file takes none
constexpr int REPORT_WAIT_MS = 100;  // a poll's wait, in all, for a busy reader or logger
constexpr size_t CONSOLE_KEEP_BYTES = 64 * 1024;  // console lines kept while the reader takes none

// The decoded status reply. Every field starts at zero and holds the value
// its hexadecimal text gave on the latest accepted reply that converted it.
struct BatteryStatus {
    int32_t gasGauge;        // hundredths
    int32_t cellVoltage[8];  // thousandths; entry 0 is cell V1
    int32_t current;         // 16-bit two's complement, hundredths
    int32_t temperature[9];  // layers 8 down to 1, then the heatsink
    int32_t relativeHumidity;
    int32_t balanceRegister;  // one bit per balanced cell
    int32_t tempAlertRegister;
    int32_t voltAlertRegister;
    int32_t statusRegister;
};

// Scans an accepted reply (the 77 received bytes and a terminating NUL) into
// *status, field by field in layout order, each from its own offset even
// past a NUL among the 77 bytes. A field whose text does not convert keeps
// its previous value. A caller with a shorter text passes its `length`: the
// scan then reads nothing past reply[length], which must be a NUL.
void decodeStatusReply(const char *reply, BatteryStatus *status, size_t length = STATUS_REPLY_SIZE);

// Quantities derived from the record, in the units the reports print.
double gasGaugeOf(const BatteryStatus *status);               // gasGauge / 100
double cellVoltageOf(const BatteryStatus *status, int cell);  // cell 1..8, volts
double stackVoltageOf(const BatteryStatus *status);           // sum of cells / 1000
double batteryCurrentOf(const BatteryStatus *status);         // signed, amperes

// The word for bit `bit` (3 to 15) of the status register: "On"/"Off" or
// "Fault"/"Good".
const char *statusBitWord(int statusRegister, int bit);

// Opens the data log "<start time>zor.log" in the working folder for
// appending. Returns the stream, or null (with errno set) on failure;
// `fileName`, when given, receives the name (DATA_LOG_NAME_SIZE bytes).
FILE *openDataLog(char *fileName = nullptr);

// Reports one accepted reply: the console report on standard output, one line
// for the data log (as writeDataLogLine; none when dataLog is null), two
// system-log messages. A data log that takes no lines stops none of them.
void reportStatus(const BatteryStatus *status, FILE *dataLog);

// Opens the data log `name` in the working folder for appending, as a
// resumed charge goes on in its own file; *wasGone says the file was not
// there and is begun again. A last line without its end (a write cut by a
// power failure) gets one first. Returns the stream, or null with errno set.
FILE *reopenDataLog(const char *name, bool *wasGone);

// Gives the data log lines kept in memory one last chance, at a stop; what
// the file does not take is said and lost.
void writeOutDataLog(FILE *dataLog);

// The three parts of reportStatus, each for a given report time.
void writeConsoleReport(FILE *out, const BatteryStatus *status, time_t reportTime);
void writeSystemLog(const BatteryStatus *status);

// Appends the data log line of `status` at `reportTime`, whole or not at all:
// a line the file does not take in full, or whose sync fails, is cut back out
// of the file and kept in memory. Kept lines go first, oldest first, each
// whole and once, at the next call that the file takes them, so the file only
// ever holds whole lines in report order; every written line is synced before
// the call returns. Up to DATA_LOG_KEEP_BYTES of lines are kept; newer lines
// beyond that are dropped and counted. The first failure of an outage is
// reported once ("data log write failed: ..."), and so is its end ("data log
// written again: N lines kept, M lost"), each on standard error and in the
// system log. Never fails: the caller goes on as if the line were written.
// Lines are kept for one stream (the process has one data log): lines kept
// for another stream are forgotten when a new one is given.
void writeDataLogLine(FILE *dataLog, const BatteryStatus *status, time_t reportTime);

// The console: from openConsole to closeConsole the standard output and the
// standard error stream go out through the charger's own writer. Text leaves
// in whole lines, the standard output's gathered until a flush (fflush) or a
// write to the standard error stream, so the two keep their order on one
// terminal or journal. A descriptor that does not take text within what is
// left of the poll's wait gets none: its lines are kept, oldest first, and
// written when it takes them again; past CONSOLE_KEEP_BYTES the oldest whole
// lines are dropped and counted. A standard output that stalls is said once
// ("console not taking output") and so is its return ("console taking output
// again: N lines dropped"), on the standard error stream and in the system
// log. closeConsole gives what is kept one last chance, then drops it.
void openConsole();
void closeConsole();

// Starts a poll's wait: REPORT_WAIT_MS in all for the console and the system
// log until the next call.
void startReportWait();

// Sends one message to the system log as syslog(3) formats it, at `priority`
// with the logger's default facility when it names none, or drops it whole:
// when the logger's queue stays full for what is left of the poll's wait.
// The first drop is said once on the standard error stream ("system log not
// taking messages"), and so is the next message taken ("system log taking
// messages again: N dropped"). Without a logger, messages go nowhere.
void systemLog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
void closeSystemLog();

// The service manager, when $NOTIFY_SOCKET names one: openServiceNotify reads
// the environment ($NOTIFY_SOCKET, $WATCHDOG_USEC, $WATCHDOG_PID);
// notifyService sends one datagram of "KEY=value" lines without waiting.
// Without $NOTIFY_SOCKET nothing is sent; a socket that cannot be reached is
// said once on the standard error stream for the run.
void openServiceNotify();
void notifyService(const std::string &state);
bool serviceWatchdogRequested();  // the manager wants WATCHDOG=1 from us
void closeServiceNotify();

// What the outlets have cost since the process started: system-log messages
// and console lines dropped (the standard output's and the standard error
// stream's), data log lines held in memory now for a file that takes none,
// and data log lines lost past DATA_LOG_KEEP_BYTES.
long systemLogMessagesDropped();
long consoleLinesDropped();
long dataLogLinesKept();
long dataLogLinesLost();

// An instrument's link as the charge run watches it. A link found lost is
// reported once and reopened at its next use, at most once per use.
struct LinkWatch {
    const char *instrument;  // "battery" or "supply", as the reports name it
    bool lost;
    long lostAtMs;  // monotonic milliseconds when it was found lost
    long losses;    // times it was found lost
};

// A charge that stopped flowing: before the end of charge, NO_CURRENT_REPLIES
// accepted replies in a row whose battery current is below NO_CURRENT_AMPS
// (every stage asks 7.5 A or more). Replies that are not accepted neither
// start nor end one.
constexpr double NO_CURRENT_AMPS = 1.0;
constexpr int NO_CURRENT_REPLIES = 3;
constexpr long NO_CURRENT_ASK_POLLS = 6;  // polls between looks for a cause still unknown
// The status register's Battery Enable and limit bits: a change of these
// during an episode is judged again.
constexpr int BATTERY_STATE_BITS = 0xF000;

// Why no charge current flows, as the instruments tell it: a set of these.
enum NoCurrentCause : unsigned {
    SUPPLY_RESTARTED = 1u << 0,      // output off in its power-up state: set up again
    SUPPLY_OUTPUT_OFF = 1u << 1,     // output off with our set points: a hand or a protection
    SUPPLY_OVER_VOLTAGE = 1u << 2,   // its over-voltage protection tripped
    SUPPLY_NOT_ANSWERING = 1u << 3,  // its state could not be read
    BATTERY_RESTARTED = 1u << 4,     // came up switched off after its replies had stopped
    BATTERY_SWITCHED_OFF = 1u << 5,  // switched off while it kept answering
    BATTERY_PROTECTION = 1u << 6,    // switched off by one of its limits
};
constexpr unsigned NO_CURRENT_CAUSES = 7;  // bits in use, for those who list them

// A cause's name for machines, one word of a fixed set ("supply_restarted");
// null for anything but one NoCurrentCause bit.
const char *noCurrentCauseName(unsigned cause);

// What the instruments said when the charge was found stopped.
struct NoCurrentFindings {
    int batteryStatus;    // status register of the latest accepted reply
    bool afterSilence;    // the battery's state came about right after replies had stopped
    bool supplyAnswered;  // `supply` holds the supply's answers
    XfrState supply;
    double setUpVolts;  // what the charger set: its voltage and the current the supply last took
    double ampsSent;
    // Found before and not seen changed since, in this run or the last: an
    // output off is then a hand's or a protection's, a battery off no restart.
    bool supplyFoundOff;
    bool batteryFoundOff;
};

// What is to be done about it, and what to say.
struct NoCurrentVerdict {
    unsigned causes;       // NoCurrentCause bits; 0: cause unknown
    bool setUpSupply;      // the supply restarted: send the set-up again
    bool switchBatteryOn;  // the battery restarted: send "@AC" again
    std::string text;      // the causes in words, "cause unknown" for none
};

// Whether a set point the supply answered is `wanted`.
bool supplySetTo(double answered, double wanted);

// Judges the findings: a restart is what lost the settings, and only that is
// ours to undo; a hand or a protection is said, never overridden.
NoCurrentVerdict judgeNoCurrent(const NoCurrentFindings &found);

// An episode of no charge current, from its first low reply to the accepted
// reply that shows the current back.
struct ChargeFlow {
    int lowReplies;       // accepted replies in a row below NO_CURRENT_AMPS
    bool stopped;         // NO_CURRENT_REPLIES of them: the charge has stopped
    long sinceMs;         // monotonic milliseconds of the episode's first reply
    int batteryBits;      // BATTERY_STATE_BITS of the latest reply
    bool afterSilence;    // they took their value right after replies had stopped
    bool repliesStopped;  // a poll since the last accepted reply went without one
    unsigned causes;      // as last judged
    bool causeKnown;      // judged with the supply's answers and some cause found
    std::string cause;    // as last said
    long askedAtPoll;     // the poll of the last look for the cause
    // The supply's link was lost before or during that look.
    bool askFoundSupplyLost;
    // Set up again, or "@AC" sent again, for the restart found, until a
    // look finds that instrument not restarted.
    bool supplySetUp;
    bool batterySwitchedOn;
};

// The charge current held at 0 A while the battery gives no accepted reply,
// as ZOR_SILENCE_HOLD_SECONDS asks: whoever protects the cells may be what
// stopped answering. Off (seconds 0) unless the setting is given.
constexpr long SILENCE_HOLD_MIN_SECONDS = 15;
constexpr long SILENCE_HOLD_MAX_SECONDS = 3600;
struct SilenceHold {
    long seconds;       // the silence that starts a hold; 0: never held
    long quietSinceMs;  // monotonic milliseconds of the last accepted reply, or of "@AC"
    bool held;          // the supply's link took "ISET 0.0000A"; ends at an accepted reply
    // Begun, and saved as held, but its 0 A not taken yet: tried again at each poll.
    bool wanted;
    long heldAtMs;  // when it began
};

// The charge time limit, as ZOR_CHARGE_LIMIT_MINUTES asks: a backstop for
// an end of charge that hangs on one register of the battery. A charge whose
// end has not come within the limit is ended: the supply at 0 A, the battery
// told to switch off. Its age counts from the time that names its data log,
// over restarts and the time the charger was down; within a run on the run's
// monotonic clock, so that a clock set meanwhile changes nothing. Off
// (minutes 0) unless the setting is given.
constexpr long CHARGE_LIMIT_MIN_MINUTES = 1;
constexpr long CHARGE_LIMIT_MAX_MINUTES = 10080;  // a week
struct ChargeLimit {
    long minutes;       // 0: no limit
    long ageAtStartMs;  // the charge's calendar age at this run's start, never below 0
    long startMs;       // the run's clock then
    bool reached;       // the charge was ended by the limit; saved
    bool batteryOwed;   // "@AF" that the battery's link has not taken yet
};

// The state of one charge run.
struct ChargeState {
    int supplyPort;
    int batteryPort;
    LinkWatch supplyLink;
    LinkWatch batteryLink;
    int ChargeStage;        // 0 to 3
    double chargeCurrent;   // amperes the schedule last chose
    double supplyAmpsSent;  // the current the supply's link last took; negative: not known
    bool supplySettingUp;   // a set-up of the supply under way
    bool supplyUnjudged;    // resumed without the supply's full answer: asked at each poll
    BatteryStatus status;
    long polls;                            // status requests sent
    long acceptedReplies;                  // replies of exactly 77 bytes
    long otherReplies;                     // replies of any other length but none
    long lastReplyAtMs;                    // monotonic milliseconds of the latest accepted reply
    time_t lastReplyTime;                  // and its calendar time
    bool endOfCharge;                      // the battery has been told to switch off
    ChargeFlow flow;                       // whether the charge current flows, and why not
    char dataLogName[DATA_LOG_NAME_SIZE];  // "<start time>zor.log", which names the charge
    time_t chargeStartTime;                // when the charge began, seconds since the epoch
    bool supplyOff;                        // found switched off by a hand or its protection
    bool batteryOff;                       // found switched off by a hand or its own protection
    SilenceHold hold;   // whether the charge current is held for a silent battery
    ChargeLimit limit;  // whether the charge time limit ended the charge
};

// One line on how the charge stands, for the service manager's status: the
// stage and its current (or the end of charge; or, while the charge has
// stopped, for how long and why; or, while it is held, for how long the
// battery has been silent), the gas gauge and the time since the last
// accepted reply, and each lost link with how long ago.
std::string chargeStatusLine(const ChargeState *state, long nowMs);

// The charge's state for monitors, in Prometheus's text format: one file,
// replaced whole (a temporary file beside it, then rename) each time, so a
// reader such as the node exporter's textfile collector never sees half of
// it. openMetrics reads the environment: $ZOR_METRICS_FILE names the file,
// else it is "zor_charger.prom" in the first folder of $RUNTIME_DIRECTORY;
// with neither, writeMetrics writes nothing. writeMetrics never waits on a
// reader and never fails the caller: a file that cannot be written is said
// once on the standard error stream and in the system log ("metrics file not
// written: PATH: error"), and so is the next one written ("metrics file
// written again"). The battery's values appear once a reply was accepted.
void openMetrics();
void writeMetrics(const ChargeState *state);

// The charge as it must outlive the process, so that a restart of any kind
// goes on where the charge stood. It is kept in the service's state folder
// ($STATE_DIRECTORY); without one nothing is read or written and every
// start is a new charge.
struct SavedCharge {
    std::string dataLog;    // "<start time>zor.log": which charge this is
    int stage;              // ChargeStage, 0 to 3
    bool ended;             // the battery was told to switch off
    bool held;              // the charge current is held at 0 A for silence
    bool supplyOff;         // found switched off by a hand or its protection
    bool batteryOff;        // found switched off by a hand or its own protection
    double ampsTaken = -1;  // the current the supply's link last took; negative: not known
    // A set-up of the supply under way: saved before its OUT 0, cleared after its OUT 1.
    bool settingUp = false;
    bool limitEnded = false;  // ended by the charge time limit
};

// How a run starts.
enum class ChargeStart {
    First,      // no state folder, or no charge saved in it
    Resumed,    // the saved charge goes on
    Asked,      // the operator asked for a new charge (zor_charger --new-charge)
    Untrusted,  // the saved charge could not be trusted: said, set aside, a new one
};

// The state folder the service manager names ($STATE_DIRECTORY's first
// folder), or empty.
std::string stateFolder();

// Takes the lock of `folder` for the life of the process, so that a second
// charger never works on the same charge. False, after one line naming the
// folder, when another process holds it; a lock that cannot be taken for
// another reason is said, and the charger goes on.
bool lockStateFolder(const std::string &folder);

// Reads the charge saved in `folder` (empty: none) into *charge: the newest
// of the file's two slots that passes its check, or a state as the charger
// wrote it before the slots. A file with no good slot, or that cannot be
// read, is said once and set aside beside it as
// "charge.state.untrusted-<time>" (where even that fails, its text goes to
// the system log).
ChargeStart openSavedCharge(const std::string &folder, SavedCharge *charge);

// Writes the charge, when it differs from what the file holds, before the
// command it records goes out, in place over the older slot, so that a full
// disk cannot stop it once the charge's first write has taken the file's
// room. Never fails the caller: a write that fails keeps the last good
// state and is said once ("charge state not written: PATH: error"); so is
// the next write that succeeds ("charge state written again"). Each call
// also looks for the operator's mark, said once when first seen.
void saveCharge(const SavedCharge &charge);

// False while the charge's state could not be written as it stands: a
// restart would resume an older one.
bool chargeStateSaved();

// The newest good slot's text in `folder`'s state file (or the file's text
// when none is good), for a person or a test to read.
std::string savedChargeText(const std::string &folder);

// Whether this run keeps its charge in a state folder.
bool keepingCharge();

// The operator's mark for a new charge: whether it is there, and its removal
// once the new charge is saved.
bool newChargeAsked();
void takeNewChargeMark();

// zor_charger --new-charge [FOLDER]: leaves the mark in FOLDER (else the
// state folder, else /var/lib/zor_charger, where a missing folder is no
// charge kept) for the next start, touching no instrument, and says what
// that start will do and whether a charger is running on the folder.
// Returns the exit status: 0, or 1 when the mark could not be left.
int requestNewCharge(const char *folder);

// How a charge run is driven. The program passes its fixed endpoints, the
// system's sleep and no poll limit; a test passes its own.
struct ChargeRunOptions {
    const char *supplyEndpoint;
    const char *batteryEndpoint;
    unsigned (*sleepSeconds)(unsigned seconds);  // the 5-second waits
    long pollLimit;                              // negative: poll for ever
    FILE *dataLog;                               // null: runCharge opens its own
    // Called after every poll with the run's state; may be null.
    void (*afterPoll)(const ChargeState *state, void *context);
    void *context;
    // The signal that asks the run to stop, as the program's waits take it;
    // null or 0: none. The run then ends after the poll under way, with what its
    // outlets hold written out.
    const volatile sig_atomic_t *stopSignal = nullptr;
    long (*clockMs)() = nullptr;  // the run's monotonic milliseconds; null: monotonicMs
};

// Takes one step of the charge-current schedule on the freshly decoded
// status; at the end of charge tells the battery to switch off.
void stepChargeSchedule(ChargeState *state);

// Runs the charge: data log, supply set-up, battery wake-up, then polls until
// pollLimit polls are done or a stop is asked for. Reads
// $ZOR_SILENCE_HOLD_SECONDS first: unset or empty, no hold;
// SILENCE_HOLD_MIN_SECONDS to SILENCE_HOLD_MAX_SECONDS in plain digits, the
// hold; anything else is refused with a message before anything is opened,
// and the run returns 2. $ZOR_CHARGE_LIMIT_MINUTES likewise: the charge time
// limit, CHARGE_LIMIT_MIN_MINUTES to CHARGE_LIMIT_MAX_MINUTES. With a state folder a saved charge
// is resumed instead of a new one begun: its data log, its stage, the supply judged before it is
// commanded. Returns -1 when the data log or either endpoint cannot be opened (after the start-up
// failure message), 0 after the last poll or at a stop. Whatever the run opened is closed before it
// returns.
int runCharge(const ChargeRunOptions *options);
