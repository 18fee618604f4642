// A stand-in for the XFR supply on the instrument side of a port (the pty
// master or the accepted TCP socket). It records every byte it receives and
// answers each question "KEYWORD?\r" with the reply set for that keyword.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

class SupplyStandIn {
  public:
    explicit SupplyStandIn(zortest::UniqueFd fd);
    ~SupplyStandIn();  // stops the server; it also stops by itself after a minute
    SupplyStandIn(const SupplyStandIn &) = delete;
    SupplyStandIn &operator=(const SupplyStandIn &) = delete;

    // Answers "KEYWORD?\r" with `pieces`, written one by one `gapMs` apart;
    // the default is long enough that a reader takes each piece on its own.
    void answer(const std::string &keyword, std::vector<std::string> pieces,
                int gapMs = kPieceGapMs);
    // Writes `text` unasked.
    void inject(const std::string &text);
    // Waits up to `timeoutMs` until the bytes received end with `tail`;
    // returns everything received since the last take, and starts over.
    std::string take(const std::string &tail, int timeoutMs = 3000);

    static constexpr int kPieceGapMs = 300;

  private:
    void serve();

    zortest::UniqueFd fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    struct Reply {
        std::vector<std::string> pieces;
        int gapMs;
    };
    std::map<std::string, Reply> replies_;
    std::string received_, pending_;
    std::thread thread_;
};
