#include "sim/shaping.h"

#include <algorithm>
#include <string_view>

namespace zorsim {
namespace {

// Characters that end a hexadecimal scan where they stand: no digit, no
// blank, no sign and no 'x' that could make a "0x" prefix.
constexpr std::string_view GARBAGE = "GHIJKLMNOPQRSTUVWYZghijklmnopqrstuvwyz#*?!@$%&";
constexpr size_t FIELD_CHARS = 74;  // the status reply's hexadecimal fields

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

ReplyShaper::ReplyShaper(const Options &options)
    : faults_(options.faults),
      lineRate_(options.lineRate),
      chunkBytes_(options.chunkBytes),
      rng_(options.seed ^ 0x5eedfa17u) {}

bool ReplyShaper::strikes(FaultKind kind, const FaultRate &rate) {
    long chance = ++chances_[kind];
    bool strike = rate.every > 0 ? chance % rate.every == 0
                                 : rate.probability > 0.0 && std::uniform_real_distribution<double>(
                                                                 0.0, 1.0)(rng_) < rate.probability;
    if (!strike || (rate.limit > 0 && strikes_[kind] >= rate.limit)) {
        return false;
    }
    ++strikes_[kind];
    return true;
}

size_t ReplyShaper::pick(size_t low, size_t high) {
    return std::uniform_int_distribution<size_t>(low, high)(rng_);
}

ShapedReply ReplyShaper::shape(Instrument which, std::string bytes, Clock::time_point now) {
    ShapedReply out;
    out.due = now;
    const Faults &f = faults_;
    if (which == Instrument::Supply) {
        out.bytes = std::move(bytes);
        return out;
    }
    if (strikes(FAULT_DROP, f.drop)) {
        out.struck[FAULT_DROP] = true;
        out.note = " dropped";
        return out;
    }
    if (strikes(FAULT_RESIZE, f.resize) && !f.lengths.empty() && !bytes.empty()) {
        size_t length = f.lengths[pick(0, f.lengths.size() - 1)];
        std::string resized;
        while (resized.size() < length) {
            resized += bytes;  // padding repeats the reply, as an echo would
        }
        resized.resize(length);
        bytes = std::move(resized);
        out.struck[FAULT_RESIZE] = true;
        out.note += " resized to " + std::to_string(length);
    }
    if (strikes(FAULT_GARBLE, f.garble) && !bytes.empty()) {
        size_t span = std::min(bytes.size(), FIELD_CHARS);
        for (size_t n = pick(1, 3); n > 0; --n) {
            bytes[pick(0, span - 1)] = GARBAGE[pick(0, GARBAGE.size() - 1)];
        }
        out.struck[FAULT_GARBLE] = true;
        out.note += " garbled";
    }
    if (strikes(FAULT_DELAY, f.delay)) {
        out.due += seconds(f.delaySeconds);
        out.struck[FAULT_DELAY] = true;
        out.note += " delayed";
    }
    if (strikes(FAULT_SPLIT, f.split) && bytes.size() >= 2) {
        out.splitAt = pick(1, bytes.size() - 1);
        out.pause = seconds(f.splitPause);
        out.struck[FAULT_SPLIT] = true;
        out.note += " split at " + std::to_string(out.splitAt);
    }
    out.bytes = std::move(bytes);
    return out;
}

PacedReply ReplyShaper::pace(const ShapedReply &reply, Clock::time_point lineFree) const {
    PacedReply paced{{}, lineFree};
    std::string_view bytes = reply.bytes;
    size_t cut = reply.splitAt > 0 ? std::min(reply.splitAt, bytes.size()) : bytes.size();
    const std::chrono::duration<double> byteTime(lineRate_ > 0 ? 10.0 / lineRate_ : 0.0);
    const size_t chunk = std::max<size_t>(chunkBytes_, 1);
    Clock::time_point due = reply.due;
    for (std::string_view part : {bytes.substr(0, cut), bytes.substr(cut)}) {
        if (part.empty()) {
            continue;
        }
        // Bytes leave in order: nothing starts before what was queued earlier has left.
        Clock::time_point start = std::max(due, paced.lineFree);
        if (lineRate_ <= 0) {
            paced.pieces.push_back({start, std::string(part)});
            paced.lineFree = start;
        } else {
            auto arrival = [&](size_t bytesSent) {
                return start + std::chrono::duration_cast<Clock::duration>(byteTime * bytesSent);
            };
            // Each piece is handed over once its last byte has come off the line.
            for (size_t at = 0; at < part.size(); at += chunk) {
                size_t n = std::min(chunk, part.size() - at);
                paced.pieces.push_back({arrival(at + n), std::string(part.substr(at, n))});
            }
            paced.lineFree = arrival(part.size());
        }
        // A second piece's pause counts from the end of the first on the line.
        due = paced.lineFree + reply.pause;
    }
    return paced;
}

}  // namespace zorsim
