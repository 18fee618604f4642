// What happens to the instruments at a given second of the bench's run.
#include "sim/bench_internal.h"

#include <functional>
#include <iterator>

namespace zorsim {

// Plays the events that are due, under the lock. Returns what the instrument
// `which` leaves unanswered now: everything while the battery restarts, its
// status requests while it is muted.
Unanswered Bench::Impl::playEvents(Instrument which) {
    const Events &e = opt.events;
    const double now = std::chrono::duration<double>(Clock::now() - started).count();
    struct Play {
        double at, seconds;
        std::function<void(bool starts)> act;
        const char *what;
    };
    const Play plays[] = {
        {e.supplyRestartAt, 0, [&](bool) { model.restartSupply(); }, "supply restarted"},
        {e.batteryRestartAt, e.batteryRestartSeconds,
         [&](bool starts) {
             if (!starts) {
                 model.restartBattery();
             }
         },
         "battery restarting"},
        {e.outputOffAt, e.outputOffSeconds, [&](bool starts) { model.switchOutput(!starts); },
         "supply output switched off by hand"},
        {e.overVoltageAt, e.overVoltageSeconds,
         [&](bool starts) { starts ? model.tripOverVoltage() : model.clearProtection(); },
         "supply over-voltage protection tripped"},
        {e.heatsinkHotAt, e.heatsinkHotSeconds,
         [&](bool starts) { model.holdHeatsinkLimit(starts); },
         "battery at its heatsink hot limit"},
        {e.batteryMuteAt, e.batteryMuteSeconds, [](bool) {},
         "battery not answering status requests"},
        {e.balanceStuckAt, 0, [&](bool) { model.holdBalance(); }, "balance register stuck"},
    };
    for (size_t i = 0; i < std::size(plays); ++i) {
        const Play &p = plays[i];
        for (int edge = 0; edge < (p.seconds > 0 ? 2 : 1); ++edge) {
            const uint32_t bit = 1u << (2 * i + static_cast<size_t>(edge));
            if (p.at >= 0 && now >= p.at + edge * p.seconds && !(eventsPlayed & bit)) {
                eventsPlayed |= bit;
                ++counters.events;
                p.act(edge == 0);
                eventNotes.push_back(std::string(edge == 0 ? "event: " : "event over: ") + p.what);
            }
        }
    }
    auto lasting = [now](double at, double seconds) {
        return at >= 0 && now >= at && now < at + seconds;
    };
    if (which != Instrument::Battery) {
        return Unanswered::Nothing;
    }
    return lasting(e.batteryRestartAt, e.batteryRestartSeconds) ? Unanswered::Everything
           : lasting(e.batteryMuteAt, e.batteryMuteSeconds)     ? Unanswered::StatusRequests
                                                                : Unanswered::Nothing;
}

}  // namespace zorsim
