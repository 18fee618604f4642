// A stand-in for an instrument, the supply or the battery, on the far side of
// a link: a loopback TCP listener or the master side of a pseudo-terminal.
// Its thread records every byte and every line that comes in, each TCP line
// with the time the kernel stamped on its last byte (SO_TIMESTAMPNS), so that
// the order across two stand-ins does not depend on which thread read first;
// and it answers each line. It stops by itself after a minute.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

namespace zortest {

enum class Link { Tcp, Pty };

class StandIn : Pinned {
  public:
    // What to write back for a line (its terminator and a "\r" before a "\n"
    // dropped); empty for nothing, HANG_UP to close the connection.
    using Answer = std::function<std::string(const std::string &line)>;
    static constexpr const char *HANG_UP = "\x04hang up";
    // Long enough that a reader takes each piece of an answer on its own.
    static constexpr int PIECE_GAP_MS = 300;

    StandIn(Link link, char terminator, Answer answer = {});
    ~StandIn() { finish(); }

    bool ready() const { return ready_; }
    // "tcp:127.0.0.1:PORT" or the pseudo-terminal's slave path.
    const std::string &endpoint() const { return endpoint_; }
    int connections() const { return connections_; }

    // Answers `line` with `pieces`, written `gapMs` apart, instead.
    void answer(const std::string &line, std::vector<std::string> pieces, int gapMs = PIECE_GAP_MS);
    // Writes `text` unasked.
    void inject(const std::string &text);
    // What came in so far, once the link has been quiet for a moment.
    std::string wire();
    // Waits up to `timeoutMs` until the bytes received end with `tail`;
    // returns everything received since the last take.
    std::string take(const std::string &tail, int timeoutMs = 3000);
    // Reads on until the link is quiet, then stops: every line is in.
    void finish();
    // The lines received, terminators kept; with the arrival time in
    // nanoseconds only those that carry a stamp.
    std::vector<std::string> lines();
    std::vector<std::pair<long long, std::string>> stampedLines();

  private:
    void serve();
    void received(const char *bytes, size_t n, long long stamp);

    char terminator_;
    Answer answer_;
    bool ready_ = false;
    PtyPair pair_;
    LoopbackListener listener_;
    UniqueFd client_;
    std::atomic<int> fd_{-1};  // where the instrument reads and writes; -1: no client
    std::string endpoint_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    struct Pieces {
        std::vector<std::string> pieces;
        int gapMs;
    };
    std::map<std::string, Pieces> set_;
    std::string wire_, pending_;
    size_t taken_ = 0;
    std::vector<std::pair<long long, std::string>> lines_;  // stamp -1: none
    std::thread thread_;
};

}  // namespace zortest
