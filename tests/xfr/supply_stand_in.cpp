#include "tests/xfr/supply_stand_in.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>

using namespace std::chrono_literals;

SupplyStandIn::SupplyStandIn(zortest::UniqueFd fd)
    : fd_(std::move(fd)), thread_([this] { serve(); }) {}

SupplyStandIn::~SupplyStandIn() {
    stop_ = true;
    thread_.join();
}

void SupplyStandIn::answer(const std::string &keyword, std::vector<std::string> pieces, int gapMs) {
    std::lock_guard lock(mutex_);
    replies_[keyword] = Reply{std::move(pieces), gapMs};
}

void SupplyStandIn::inject(const std::string &text) {
    zortest::writeAll(fd_.get(), text);
}

std::string SupplyStandIn::take(const std::string &tail, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (received_.ends_with(tail) || std::chrono::steady_clock::now() > deadline) {
                return std::exchange(received_, {});
            }
        }
        std::this_thread::sleep_for(2ms);
    }
}

void SupplyStandIn::serve() {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        char buf[256];
        const ssize_t n = read(fd_.get(), buf, sizeof buf);
        if (n <= 0) {
            std::this_thread::sleep_for(20ms);  // peer gone (pty hang-up gives EIO): idle
            continue;
        }
        std::vector<std::string> reply;
        int gapMs = kPieceGapMs;
        {
            std::lock_guard lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
            pending_.append(buf, static_cast<size_t>(n));
            // Commands end in a carriage return; questions end in "?\r".
            for (size_t end; (end = pending_.find('\r')) != std::string::npos;) {
                const std::string command = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                const auto found = replies_.find(command.substr(0, command.size() - 1));
                if (command.ends_with('?') && found != replies_.end()) {
                    reply.insert(reply.end(), found->second.pieces.begin(),
                                 found->second.pieces.end());
                    gapMs = found->second.gapMs;
                }
            }
        }
        for (size_t i = 0; i < reply.size(); ++i) {
            if (i > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            }
            zortest::writeAll(fd_.get(), reply[i]);
        }
    }
}
