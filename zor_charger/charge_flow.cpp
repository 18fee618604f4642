// Why a charge stopped flowing, judged from what the instruments say.
#include <math.h>
#include <stdio.h>
#include <syslog.h>

#include <string>
#include <utility>

#include "serial/serial.h"
#include "xfr/xfr.h"
#include "zor_charger/charge_internal.h"
#include "zor_charger/zor_charger.h"

namespace {

// The battery's own limits, each switching it off, in the order of their bits.
struct Limit {
    int bit;
    const char *name;
};
constexpr Limit LIMITS[] = {
    {0x1000, "battery cold limit"}, {0x2000, "heatsink hot limit"}, {0x4000, "battery hot limit"}};

void add(NoCurrentVerdict *verdict, unsigned cause, const std::string &text) {
    verdict->causes |= cause;
    verdict->text += (verdict->text.empty() ? "" : "; ") + text;
}

}  // namespace

bool supplySetTo(double answered, double wanted) {
    constexpr double SET_POINT_TOLERANCE = 0.0005;  // it answers with four decimals
    return fabs(answered - wanted) <= SET_POINT_TOLERANCE;
}

const char *noCurrentCauseName(unsigned cause) {
    static constexpr const char *NAMES[NO_CURRENT_CAUSES] = {
        "supply_restarted",  "supply_output_off",    "supply_over_voltage", "supply_not_answering",
        "battery_restarted", "battery_switched_off", "battery_protection"};
    for (unsigned bit = 0; bit < NO_CURRENT_CAUSES; ++bit) {
        if (cause == 1u << bit) {
            return NAMES[bit];
        }
    }
    return nullptr;
}

unsigned judgeSupply(const XfrState &supply, bool foundOff, double volts,
                     std::initializer_list<double> ampsOurs) {
    if (supply.output != 0) {
        return 0;
    }
    if (supply.fault & XFR_FAULT_OVER_VOLTAGE) {
        return SUPPLY_OVER_VOLTAGE;
    }
    bool ours = false;
    for (double amps : ampsOurs) {
        ours = ours || supplySetTo(supply.ampsSet, amps);
    }
    // Its output off and our set points gone: it came up in its power-up
    // state, unless a hand or a protection was found before.
    const bool restarted =
        !foundOff && supply.fault == 0 && !(ours && supplySetTo(supply.voltsSet, volts));
    return restarted ? SUPPLY_RESTARTED : SUPPLY_OUTPUT_OFF;
}

NoCurrentVerdict judgeNoCurrent(const NoCurrentFindings &found) {
    NoCurrentVerdict verdict{};
    const unsigned supply = found.supplyAnswered ? judgeSupply(found.supply, found.supplyFoundOff,
                                                               found.setUpVolts, {found.ampsSent})
                                                 : 0;
    if (supply == SUPPLY_OVER_VOLTAGE) {
        add(&verdict, supply, "supply over-voltage protection tripped");
    } else if (supply == SUPPLY_RESTARTED) {
        verdict.setUpSupply = true;
        add(&verdict, supply, "supply restarted; set up again");
    } else if (supply == SUPPLY_OUTPUT_OFF) {
        add(&verdict, supply, "supply output off");
    }
    const Limit *limit = nullptr;
    for (const Limit &each : LIMITS) {
        if (limit == nullptr && (found.batteryStatus & each.bit)) {
            limit = &each;
        }
    }
    if (limit != nullptr) {
        add(&verdict, BATTERY_PROTECTION,
            std::string("battery switched off by its own protection (") + limit->name + ")");
    } else if (!(found.batteryStatus & BATTERY_ENABLE)) {
        if (found.afterSilence && !found.batteryFoundOff) {
            // Its electronics restarted: they come up switched off.
            verdict.switchBatteryOn = true;
            add(&verdict, BATTERY_RESTARTED, "battery restarted; switched on again");
        } else {
            add(&verdict, BATTERY_SWITCHED_OFF, "battery switched off");
        }
    }
    if (!found.supplyAnswered && verdict.causes == 0) {
        add(&verdict, SUPPLY_NOT_ANSWERING, "supply not answering");
    } else if (verdict.causes == 0) {
        verdict.text = "cause unknown";
    }
    return verdict;
}

// After a restart of the charger: asks the supply how it stands and judges
// it as the flow watch does, with what the last run found. Output on: the
// resume's current `amps`, and the set-up voltage when it lost it; off in
// its power-up state, nothing found before: the set-up at `amps`; anything
// else, a hand's or a protection's, stays as it is. Without a full answer at
// most `amps` goes out, nothing is switched on, and the supply is asked
// again at the next poll. A set-up the last run left under way is completed.
void resumeSupply(ChargeState *state, double amps) {
    const int port = state->supplyPort;
    if (!linkReady(&state->supplyLink, port)) {
        state->supplyUnjudged = true;
        return;
    }
    if (state->supplySettingUp) {
        state->supplyUnjudged = false;
        setUpSupply(state, amps);
        return;
    }
    XfrState supply{};
    state->supplyUnjudged = xfrReadState(port, &supply) != 1;
    noticeLoss(&state->supplyLink, port);
    if (state->supplyUnjudged) {
        sendAmps(state, amps);
        return;
    }
    // Ours: the current it last took, the resume's, the stage's or the one
    // before it (the charger stopped between saving a stage and sending it).
    const int stage = state->ChargeStage;
    const unsigned cause = judgeSupply(supply, state->supplyOff, SETUP_VOLTS,
                                       {state->supplyAmpsSent, amps, STAGE_CURRENT[stage],
                                        STAGE_CURRENT[stage > 0 ? stage - 1 : 0]});
    state->supplyOff = (cause & (SUPPLY_OUTPUT_OFF | SUPPLY_OVER_VOLTAGE)) != 0;
    if (cause == 0) {
        if (!supplySetTo(supply.voltsSet, SETUP_VOLTS)) {
            xfrSetVolts(port, SETUP_VOLTS);
        }
        sendAmps(state, amps);
    } else if (cause == SUPPLY_RESTARTED) {
        setUpSupply(state, amps);
    } else {
        state->supplyAmpsSent = supply.ampsSet;  // the flow watch's measure of ours
    }
    noticeLoss(&state->supplyLink, port);
}

namespace {

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
    found.supplyFoundOff = state->supplyOff;
    found.batteryFoundOff = state->batteryOff;
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

}  // namespace

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
