// What the files of the simulated bench share behind bench.h, and nothing a
// caller needs: callers include sim/bench.h only.
//
// The files, from the bottom up; each calls only into files below it:
//   bench_pacing.cpp     queueReply, flush: each reply shaped, paced and sent
//   bench_events.cpp     playEvents: what happens to the instruments at a second
//   bench_endpoints.cpp  the listeners and pseudo-terminals, and accepting links
//   bench_loop.cpp       the loop: lines read from each link and answered
//   bench.cpp            Bench's own calls: start, stop and what it tells
#pragma once

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/bench.h"
#include "sim/shaping.h"

namespace zorsim {

// Where an instrument's things stand in the bench's arrays of two.
constexpr size_t slotOf(Instrument which) {
    return which == Instrument::Supply ? 0 : 1;
}

inline const char *nameOf(Instrument which) {
    return which == Instrument::Supply ? "supply" : "battery";
}

inline std::string errorText(const char *what) {
    return std::string(what) + ": " + strerror(errno);
}

struct Pending {
    Clock::time_point due;
    std::string bytes;
    size_t sent = 0;
};

// One byte stream to the charger: an accepted TCP client or a pty master.
struct Link {
    explicit Link(Instrument w) : which(w) {}
    Instrument which;
    int fd = -1;
    bool pty = false;
    std::string peer;
    std::string line;
    bool discarding = false;  // inside an overlong line, until its terminator
    std::deque<Pending> out;
    size_t outBytes = 0;
    Clock::time_point lineFree;  // when the last queued byte has left
    long lines = 0;
    bool closing = false;  // a fault closes the link once its replies are out
    bool dead = false;
};

struct Endpoint {
    int listenFd = -1;
    int port = 0;
    int ptyMaster = -1;
    int ptyHold = -1;  // our own slave descriptor, so the master never sees a hang-up
    std::string ptyPath;
};

// What an instrument leaves unanswered while an event lasts.
enum class Unanswered { Nothing, Everything, StatusRequests };

// The bench's state, shared by its files; `mu` guards what Bench's calls
// read from other threads (the model, the counters, the histories).
struct Bench::Impl {
    Options opt;
    mutable std::mutex mu;
    Model model;
    Counters counters;
    std::deque<std::string> history[2];
    std::deque<std::string> replies;  // to the status requests
    Endpoint ends[2];
    std::vector<Link> links;
    int wake[2] = {-1, -1};
    std::thread thread;
    std::atomic<bool> running{false};
    Clock::time_point started, lastAdvance;
    ReplyShaper shaper;
    long queriesAnswered = 0;
    uint32_t eventsPlayed = 0;            // a bit for each start and end played
    std::vector<std::string> eventNotes;  // played, not logged yet

    explicit Impl(Options o) : opt(std::move(o)), model(opt.seed), shaper(opt) {}

    // bench_endpoints.cpp
    bool openEndpoint(Instrument which, bool pty, int port, std::string *why);
    bool openTcp(Endpoint &e, int port, std::string *why);
    bool openPty(Endpoint &e, std::string *why);
    void closeAll();
    std::string endpoint(Instrument which) const;
    void accept(Instrument which);
    // bench_loop.cpp
    void loop();
    void readLink(Link &link);
    void takeLine(Link &link, const std::string &line);
    // bench_events.cpp
    Unanswered playEvents(Instrument which);
    // bench_pacing.cpp
    std::string queueReply(Link &link, std::string bytes);
    void flush(Link &link);
    // here
    void log(const char *format, ...) __attribute__((format(printf, 2, 3)));
};

// One line of the bench's record, stamped with the seconds since its start.
inline void Bench::Impl::log(const char *format, ...) {
    if (opt.log == nullptr) {
        return;
    }
    double t = std::chrono::duration<double>(Clock::now() - started).count();
    fprintf(opt.log, "%9.3f ", t);
    va_list args;
    va_start(args, format);
    vfprintf(opt.log, format, args);
    va_end(args);
    fputc('\n', opt.log);
    fflush(opt.log);
}

}  // namespace zorsim
