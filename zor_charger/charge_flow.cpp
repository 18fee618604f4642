// Why a charge stopped flowing, judged from what the instruments say.
#include <math.h>

#include <string>

#include "zor_charger/zor_charger.h"

namespace {

constexpr int BATTERY_ENABLE = 0x8000;
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

NoCurrentVerdict judgeNoCurrent(const NoCurrentFindings &found) {
    NoCurrentVerdict verdict{};
    if (found.supplyAnswered && found.supply.output == 0) {
        const XfrState &supply = found.supply;
        if (supply.fault & XFR_FAULT_OVER_VOLTAGE) {
            add(&verdict, SUPPLY_OVER_VOLTAGE, "supply over-voltage protection tripped");
        } else if (supply.fault == 0 && (!supplySetTo(supply.voltsSet, found.setUpVolts) ||
                                         !supplySetTo(supply.ampsSet, found.ampsSent))) {
            // Its output off and our set points gone: it came up in its power-up state.
            verdict.setUpSupply = true;
            add(&verdict, SUPPLY_RESTARTED, "supply restarted; set up again");
        } else {
            add(&verdict, SUPPLY_OUTPUT_OFF, "supply output off");
        }
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
        if (found.afterSilence) {
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
