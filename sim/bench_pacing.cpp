// Every reply on its way out: shaped (faults) and paced (the line rate) onto
// its link's queue, then sent when due.
#include "sim/bench_internal.h"

#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace zorsim {
namespace {

constexpr size_t OUTPUT_LIMIT = 64 * 1024;  // queued reply bytes per link

}  // namespace

// Every reply to the charger passes through here: the shaper decides what
// leaves and when, this only queues it. Returns the bytes as they leave;
// empty when dropped.
std::string Bench::Impl::queueReply(Link &link, std::string bytes) {
    ShapedReply shaped = shaper.shape(link.which, std::move(bytes), Clock::now());
    if (link.outBytes + shaped.bytes.size() > OUTPUT_LIMIT) {
        // Nobody reads this link: forget what is queued rather than grow.
        std::lock_guard<std::mutex> lock(mu);
        counters.droppedReplies += static_cast<long>(link.out.size());
        link.out.clear();
        link.outBytes = 0;
        link.lineFree = {};
    }
    PacedReply paced = shaper.pace(shaped, link.lineFree);
    for (TimedPiece &piece : paced.pieces) {
        link.out.push_back(Pending{piece.due, std::move(piece.bytes)});
    }
    link.outBytes += shaped.bytes.size();
    link.lineFree = paced.lineFree;
    if (!shaped.note.empty()) {
        static constexpr long Counters::*COUNTED[FAULT_KINDS] = {
            &Counters::faultDrops, &Counters::faultResizes, &Counters::faultGarbles,
            &Counters::faultSplits, &Counters::faultDelays};
        {
            std::lock_guard<std::mutex> lock(mu);
            for (size_t kind = 0; kind < FAULT_KINDS; ++kind) {
                if (shaped.struck[kind]) {
                    ++(counters.*COUNTED[kind]);
                }
            }
        }
        log("%-7s -> reply%s", nameOf(link.which), shaped.note.c_str());
    }
    return std::move(shaped.bytes);
}

void Bench::Impl::flush(Link &link) {
    auto now = Clock::now();
    while (!link.out.empty() && link.out.front().due <= now) {
        Pending &p = link.out.front();
        const char *data = p.bytes.data() + p.sent;
        size_t left = p.bytes.size() - p.sent;
        ssize_t n = link.pty ? write(link.fd, data, left) : send(link.fd, data, left, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR && !link.pty) {
                link.dead = true;
            }
            return;
        }
        p.sent += static_cast<size_t>(n);
        if (p.sent < p.bytes.size()) {
            return;
        }
        link.outBytes -= p.bytes.size();
        link.out.pop_front();
    }
}

}  // namespace zorsim
