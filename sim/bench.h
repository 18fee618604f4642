// The simulated bench: the supply and the battery of the model served to the
// charger over loopback TCP or pseudo-terminals, on a thread of its own.
//
// Principles of operation. start() opens both endpoints and runs one event
// loop on a background thread until stop() (or the destructor). The loop
// splits what each instrument receives into lines (the supply's end in a
// carriage return, the battery's in a line feed; a stray "\r" before "\n" is
// dropped), hands each line to the model and queues its reply. Every reply
// leaves through one place (Bench::Impl::queueReply), where a ReplyShaper
// (sim/shaping.h) decides which bytes leave and when: the faults and the line
// rate act there, and the loop only sends. Simulated time follows the wall
// clock times `speed`, or, with `secondsPerPoll` above zero, moves on by that
// fixed step per status request, so a run without sleeps still charges.
// Memory stays bounded however long it runs: line buffers, output queues and
// the history of received lines all have caps.
//
// Faults. Options::faults makes the instruments misbehave the way a serial
// line, a network serial server or an instrument can: battery replies lost,
// late, in two pieces, of the wrong length or with garbage in their fields,
// links that close (the listener stays, so a new client is served again) and
// a supply that stops answering queries. Every choice comes from the seed,
// and every fault that strikes is counted in Counters.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/model.h"

namespace zorsim {

enum class Instrument { Supply, Battery };

// How often a fault strikes: with `every` N above zero, on the Nth, 2Nth, ...
// reply it could strike; otherwise on each with `probability`, drawn from
// the bench's seed. Both zero: never.
struct FaultRate {
    long every = 0;
    double probability = 0.0;
    long limit = 0;  // strikes at most this many times; 0: no limit
};

// Faults of the battery's replies, tried in this order on each reply: a
// dropped reply is gone; a resized one may then also be garbled, split and
// delayed. Bytes leave in order, so whatever follows a late piece waits
// behind it, as on a serial line. Every field has a default, so a designated
// initializer such as Faults{.split = {1}} names only what it changes.
struct Faults {
    FaultRate drop{};    // the reply is never sent
    FaultRate resize{};  // cut short or padded with field characters to one of `lengths`
    std::vector<size_t> lengths = {1, 40, 76, 78, 79, 100, 154};
    FaultRate garble{};  // 1 to 3 field characters become characters no hex scan takes
    FaultRate split{};   // sent in two pieces, `splitPause` seconds apart on the line
    double splitPause = 0.05;
    FaultRate delay{};  // sent `delaySeconds` late: past the charger's 2-second wait
    double delaySeconds = 2.5;
    // Above zero: a TCP link closes once it has received this many lines
    // (after its replies went out); the listener accepts the next client.
    long closeBatteryAfter = 0;
    long closeSupplyAfter = 0;
    // Zero or more: queries the supply answers before it goes quiet for good.
    long supplyQueriesAnswered = -1;
};

// What happens to real instruments, each played once at a given second of
// wall-clock time after the bench started (negative: never), and put right
// by itself after its length, as a person or the instrument would.
struct Events {
    double supplyRestartAt = -1;   // back in its power-up state (output off, 0 V, 0 A), link kept
    double batteryRestartAt = -1;  // its electronics restart: silent, then up switched off
    double batteryRestartSeconds = 8;
    double outputOffAt = -1;         // the supply's output switched off at its front panel...
    double outputOffSeconds = 35;    // ...and on again after this
    double overVoltageAt = -1;       // the over-voltage protection trips and stays latched...
    double overVoltageSeconds = 40;  // ...until cleared by hand and the output switched on
    double heatsinkHotAt = -1;       // the battery switches itself off at its heatsink hot limit...
    double heatsinkHotSeconds = 30;  // ...and back on once it has cooled
    double batteryMuteAt = -1;       // the battery's electronics leave "@RQ" unanswered...
    double batteryMuteSeconds = 30;  // ...for this long, its link kept up
    double balanceStuckAt = -1;      // the balance register keeps its value from then on
};

struct Options {
    std::string host = "127.0.0.1";
    int supplyPort = 2001;  // 0: a port the system chooses
    int batteryPort = 10001;
    bool supplyPty = false;  // serve the instrument on a pseudo-terminal instead
    bool batteryPty = false;
    // Above zero: every reply leaves at this serial line rate in bits per
    // second, ten bits a byte, as from an instrument behind a real line.
    int lineRate = 0;
    // With a line rate: bytes handed over together once the last of them has
    // come off the line, as a network serial server forwards its buffer;
    // 0 or 1 passes each byte on by itself.
    size_t chunkBytes = 0;
    double speed = 1.0;           // simulated seconds per real second
    double secondsPerPoll = 0.0;  // > 0: simulated seconds per "@RQ", clock ignored
    uint32_t seed = 1;
    FILE *log = nullptr;         // one line per received line and link event; may be null
    size_t historyLines = 4096;  // received lines kept per instrument
    Faults faults{};
    Events events{};
    // Start as a charge already under way, as a charger that restarts finds
    // it: the supply set up and on, the battery switched on.
    bool underWay = false;
};

struct Counters {
    long supplyLines = 0;     // lines the supply received
    long supplyErrors = 0;    // of them, lines that set its error code
    long statusRequests = 0;  // "@RQ"
    long enables = 0;         // "@AC"
    long disables = 0;        // "@AF"
    long unknownBattery = 0;  // other battery lines
    long overlongLines = 0;   // lines cut off at the buffer limit
    long connections = 0;     // TCP clients accepted
    long droppedReplies = 0;  // replies discarded because nobody read them
    // Faults that struck.
    long faultDrops = 0;
    long faultResizes = 0;
    long faultGarbles = 0;
    long faultSplits = 0;
    long faultDelays = 0;
    long faultCloses = 0;    // links closed, either instrument
    long silentQueries = 0;  // supply queries left unanswered
    long events = 0;         // events played, starts and ends each counted
};

class Bench {
  public:
    explicit Bench(Options options);
    ~Bench();
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    // Opens both endpoints and starts serving. Returns false, with the reason
    // in *why, when an endpoint cannot be opened; nothing is left open then.
    bool start(std::string *why);
    // Stops serving and closes every descriptor. Safe to call more than once.
    void stop();

    // Where the charger finds each instrument: "tcp:HOST:PORT" or a pty path.
    std::string supplyEndpoint() const;
    std::string batteryEndpoint() const;

    Counters counters() const;
    // The most recent received lines of an instrument, oldest first, each with
    // its terminator as received.
    std::vector<std::string> received(Instrument which) const;
    // The battery's answer to each recent status request, oldest first, as it
    // left (faults included; empty when dropped), at most historyLines.
    std::vector<std::string> statusReplies() const;
    // A copy of the model as it stands.
    Model model() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zorsim
