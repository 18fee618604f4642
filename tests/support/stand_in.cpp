#include "tests/support/stand_in.h"

#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace zortest {

using namespace std::chrono_literals;

StandIn::StandIn(Link link, char terminator, Answer answer)
    : terminator_(terminator), answer_(std::move(answer)) {
    std::string why;
    if (link == Link::Pty) {
        ready_ = pair_.open(&why);
        endpoint_ = pair_.slavePath;
        fd_ = pair_.master.get();
    } else {
        ready_ = listener_.listen();
        endpoint_ = listener_.endpoint();
        int on = 1;  // accepted connections inherit the stamping
        setsockopt(listener_.fd.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    if (ready_) {
        thread_ = std::thread([this] { serve(); });
    }
}

void StandIn::answer(const std::string &line, std::vector<std::string> pieces, int gapMs) {
    std::lock_guard lock(mutex_);
    set_[line] = Pieces{std::move(pieces), gapMs};
}

void StandIn::inject(const std::string &text) {
    writeAll(fd_, text);
}

std::string StandIn::wire() {
    std::this_thread::sleep_for(50ms);
    std::lock_guard lock(mutex_);
    return wire_;
}

std::string StandIn::take(const std::string &tail, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (wire_.ends_with(tail) || std::chrono::steady_clock::now() > deadline) {
                return wire_.substr(std::exchange(taken_, wire_.size()));
            }
        }
        std::this_thread::sleep_for(2ms);
    }
}

void StandIn::finish() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (client_.valid()) {  // done: the connection goes with the thread
        client_.reset();
        fd_ = -1;
    }
}

std::vector<std::string> StandIn::lines() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto &[stamp, line] : lines_) {
        texts.push_back(line);
    }
    return texts;
}

std::vector<std::pair<long long, std::string>> StandIn::stampedLines() {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<long long, std::string>> stamped;
    for (const auto &line : lines_) {
        if (line.first >= 0) {
            stamped.push_back(line);
        }
    }
    return stamped;
}

void StandIn::serve() {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        const bool listening = fd_ < 0;
        pollfd p{listening ? listener_.fd.get() : fd_.load(), POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            if (stop_) {
                return;  // quiet: all that was sent is in
            }
            continue;
        }
        if (listening) {
            client_ = listener_.accept(0);
            fd_ = client_.get();
            connections_ += client_.valid();
            continue;
        }
        // One byte a read from a socket, so that the read's stamp is that of
        // the segment that carried the byte.
        char buf[256];
        iovec data{buf, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n =
            client_.valid() ? recvmsg(fd_, &message, MSG_DONTWAIT) : read(fd_, buf, sizeof buf);
        if (n <= 0) {
            if (stop_) {
                return;
            }
            if (client_.valid()) {  // peer gone: wait for the next one
                client_.reset();
                fd_ = -1;
            } else {
                std::this_thread::sleep_for(10ms);  // a pty's hang-up gives EIO: idle
            }
            continue;
        }
        long long stamp = -1;
        cmsghdr *header = client_.valid() ? CMSG_FIRSTHDR(&message) : nullptr;
        if (header != nullptr && header->cmsg_level == SOL_SOCKET &&
            header->cmsg_type == SCM_TIMESTAMPNS) {
            timespec at;
            memcpy(&at, CMSG_DATA(header), sizeof at);
            stamp = at.tv_sec * 1000000000LL + at.tv_nsec;
        }
        received(buf, static_cast<size_t>(n), stamp);
    }
}

void StandIn::received(const char *bytes, size_t n, long long stamp) {
    std::vector<std::string> reply;
    int gapMs = 0;
    {
        std::lock_guard lock(mutex_);
        wire_.append(bytes, n);
        pending_.append(bytes, n);
        for (size_t end; (end = pending_.find(terminator_)) != std::string::npos;) {
            lines_.emplace_back(stamp, pending_.substr(0, end + 1));
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (terminator_ == '\n' && line.ends_with('\r')) {
                line.pop_back();
            }
            if (auto found = set_.find(line); found != set_.end()) {
                reply.insert(reply.end(), found->second.pieces.begin(), found->second.pieces.end());
                gapMs = found->second.gapMs;
            } else if (answer_) {
                reply.push_back(answer_(line));
            }
        }
    }
    for (size_t i = 0; i < reply.size(); ++i) {
        if (reply[i] == HANG_UP) {
            client_.reset();
            fd_ = -1;
            return;
        }
        if (reply[i].empty()) {
            continue;
        }
        if (i > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        }
        // A peer that is gone must not end the test with SIGPIPE.
        if (client_.valid()) {
            send(fd_, reply[i].data(), reply[i].size(), MSG_NOSIGNAL);
        } else {
            writeAll(fd_, reply[i]);
        }
    }
}

}  // namespace zortest
