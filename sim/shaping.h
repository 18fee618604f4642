// Shaping of the bench's replies: which bytes leave for the charger, in which
// pieces and when. It reads no clock and touches no descriptor, so what a
// fault or the line pace does to a reply can be worked out, and checked, on
// its own.
//
// Principles of operation. A reply goes through two steps. shape() lets the
// battery's faults act on it (the supply's replies pass untouched): dropped,
// resized, garbled, delayed or split, by the rates in Options::faults, every
// choice drawn from the shaper's own generator seeded from Options::seed, so
// the same seed and the same replies give the same results. pace() then puts
// the bytes on the line: at Options::lineRate, ten bits a byte, handed over in
// Options::chunkBytes pieces once their last byte has come off the line. The
// caller owns the line: it says when the line is free and keeps the time
// pace() returns, so nothing starts before what was queued earlier has left.
#pragma once

#include <stddef.h>

#include <array>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "sim/bench.h"

namespace zorsim {

using Clock = std::chrono::steady_clock;

enum FaultKind { FAULT_DROP, FAULT_RESIZE, FAULT_GARBLE, FAULT_SPLIT, FAULT_DELAY, FAULT_KINDS };

// A reply as the faults leave it.
struct ShapedReply {
    std::string bytes;                       // as it leaves; empty when dropped
    Clock::time_point due;                   // its first byte leaves no earlier
    size_t splitAt = 0;                      // above zero: a second piece starts at this byte,
    Clock::duration pause{};                 // this long after the first has come off the line
    std::array<bool, FAULT_KINDS> struck{};  // the faults that struck, by FaultKind
    std::string note;  // what struck, for the log (" resized to 76 delayed"); empty when none
};

// Bytes handed over together at `due`.
struct TimedPiece {
    Clock::time_point due;
    std::string bytes;
};

struct PacedReply {
    std::vector<TimedPiece> pieces;  // in the order they leave; none for no bytes
    Clock::time_point lineFree;      // when the last of them has left
};

class ReplyShaper {
  public:
    // Takes the faults, the line rate, the chunk size and the seed.
    explicit ReplyShaper(const Options &options);

    // The reply to `which`, made at `now`, after the faults. Every battery
    // reply is a chance for a drop; one not dropped is a chance for each of
    // the other kinds too, even where that kind cannot act on it.
    ShapedReply shape(Instrument which, std::string reply, Clock::time_point now);
    // The pieces of a shaped reply on a line that is free from `lineFree`,
    // and when the line is free again.
    PacedReply pace(const ShapedReply &reply, Clock::time_point lineFree) const;

  private:
    bool strikes(FaultKind kind, const FaultRate &rate);
    size_t pick(size_t low, size_t high);

    Faults faults_;
    int lineRate_;
    size_t chunkBytes_;
    std::mt19937 rng_;
    std::array<long, FAULT_KINDS> chances_{}, strikes_{};
};

}  // namespace zorsim
