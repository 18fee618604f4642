// Shared by the charge run's files, below every one of them: the schedule's
// figures, the run's clock, the watch on both links, the supply's set-up and
// the saving of the charge (charge_shared.cpp); the flow watch, which judges
// a charge that stopped flowing and a resumed supply (charge_flow.cpp); the
// silence hold (silence_hold.cpp); and the charge time limit
// (charge_limit.cpp). The charge run (charge_run.cpp) calls into them; none
// of them calls it back.
#pragma once

#include <initializer_list>

#include "zor_charger/zor_charger.h"

constexpr double SETUP_VOLTS = 35.9;
constexpr double INITIAL_CURRENT = 45.0;
constexpr double STAGE_CURRENT[] = {INITIAL_CURRENT, 22.5, 12.5, 7.5};
constexpr int BATTERY_ENABLE = 0x8000;  // the status register's Battery Enable bit

// The run's monotonic milliseconds: monotonicMs unless a test drives time.
extern long (*runClock)();
long nowMs();

// Reports a link the first time the port layer finds it lost.
void noticeLoss(LinkWatch *link, int port);
// Whether the link can be used now: open, or lost and reopened by this one
// attempt.
bool linkReady(LinkWatch *link, int port);

// The start-up's set-up of the supply at `amps`, marked under way in the
// saved charge from before its OUT 0 to after its OUT 1.
void setUpSupply(ChargeState *state, double amps);
// Sends the supply `amps`; true, with it recorded as taken, when its link
// took it.
bool sendAmps(ChargeState *state, double amps);
// What a restart must know of the charge, and its saving where a state
// folder keeps it.
SavedCharge savedOf(const ChargeState *state);
void saveState(const ChargeState *state);
// Reads the setting `name` from the environment into *value (0: unset or
// empty). False, after saying why, for anything but plain digits from `low`
// to `high`: a setting the operator meant must not be guessed at.
bool readSetting(const char *name, long low, long high, const char *unit, long *value);

// The supply's half of the flow watch's judgement, which needs no battery
// reply: 0 with its output on, else SUPPLY_OVER_VOLTAGE, SUPPLY_RESTARTED
// (its power-up state: none of `ampsOurs` nor `volts` set, no fault, and not
// `foundOff` before) or SUPPLY_OUTPUT_OFF.
unsigned judgeSupply(const XfrState &supply, bool foundOff, double volts,
                     std::initializer_list<double> ampsOurs);
// After a restart of the charger: the supply judged before it is commanded,
// never set above `amps`; asked again at each poll while supplyUnjudged.
void resumeSupply(ChargeState *state, double amps);
// Follows the charge current of each accepted reply before the end of
// charge; looks for the cause of a stop and undoes what a restart lost.
void watchChargeFlow(ChargeState *state);

// At a poll without an accepted reply: the hold, once the battery has been
// silent for the setting's seconds, or at once for a hold begun whose 0 A
// was not taken yet.
void holdIfSilent(ChargeState *state);
// A battery that cannot be reached: the charge saved held, then 0 A sent.
void holdUnreachable(ChargeState *state);
// Reads $ZOR_SILENCE_HOLD_SECONDS into *seconds (0: unset or empty); false,
// after saying why, for a value it refuses.
bool readSilenceHold(long *seconds);

// Reads $ZOR_CHARGE_LIMIT_MINUTES into *minutes (0: unset or empty); false,
// after saying why, for a value it refuses.
bool readChargeLimit(long *minutes);
// At a resume, once the charge is known: takes its age at this run's start
// and ends it at once, before any command goes out, when the limit ended it
// (`endedByLimit`, as saved) or it is past the limit.
void resumeChargeLimit(ChargeState *state, bool endedByLimit);
// At each poll after the schedule's step, with or without an accepted reply:
// ends the charge once past its limit; once ended, tries again what a link
// did not take, and tells the battery off again at each reply that shows it
// switched on.
void checkChargeLimit(ChargeState *state, bool replied);
// A charge the limit ended: "ISET 0.0000A" until the supply's link takes it;
// "@AF" until the battery's link takes it.
void zeroSupplyCurrent(ChargeState *state);
void switchBatteryOff(ChargeState *state);
