// The bench's loop: one thread polls the listeners and links, splits what
// arrives into lines and answers each through the model.
#include "sim/bench_internal.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace zorsim {
namespace {

constexpr size_t LINE_LIMIT = 256;  // bytes of one received line
constexpr Instrument INSTRUMENTS[] = {Instrument::Supply, Instrument::Battery};

}  // namespace

void Bench::Impl::loop() {
    std::vector<pollfd> fds;
    std::vector<Instrument> listening;  // whose listener each of fds[1...] is
    while (running) {
        fds.clear();
        fds.push_back({wake[0], POLLIN, 0});
        listening.clear();
        for (Instrument which : INSTRUMENTS) {
            if (int fd = ends[slotOf(which)].listenFd; fd >= 0) {
                fds.push_back({fd, POLLIN, 0});
                listening.push_back(which);
            }
        }
        size_t firstLink = fds.size();
        auto now = Clock::now();
        int timeoutMs = 1000;
        for (const Link &link : links) {
            short events = POLLIN;
            if (!link.out.empty()) {
                if (link.out.front().due <= now) {
                    events |= POLLOUT;
                } else {
                    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    link.out.front().due - now)
                                    .count() +
                                1;
                    timeoutMs = std::min<int>(timeoutMs, static_cast<int>(wait));
                }
            }
            fds.push_back({link.fd, events, 0});
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            log("poll failed: %s", strerror(errno));
            break;
        }
        if (fds[0].revents != 0) {
            char buf[16];
            while (read(wake[0], buf, sizeof buf) > 0) {
            }
            continue;  // running was cleared, or a new reply wants writing
        }
        for (size_t i = 1; i < firstLink; ++i) {
            if (fds[i].revents & POLLIN) {
                accept(listening[i - 1]);
            }
        }
        // Links added by accept() come after the ones polled.
        for (size_t i = firstLink; i < fds.size(); ++i) {
            Link &link = links[i - firstLink];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                readLink(link);
            }
            if (!link.dead) {
                flush(link);
            }
            if (link.closing && link.out.empty() && !link.dead) {
                link.dead = true;
                std::lock_guard<std::mutex> lock(mu);
                ++counters.faultCloses;
            }
        }
        for (Link &link : links) {
            if (link.dead && !link.pty) {
                close(link.fd);
                log("%-7s link closed (%s)%s", nameOf(link.which), link.peer.c_str(),
                    link.closing ? " by a fault" : "");
            }
        }
        std::erase_if(links, [](const Link &l) { return l.dead; });
    }
}

void Bench::Impl::readLink(Link &link) {
    char buf[512];
    ssize_t n = read(link.fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        // A pty master reads EIO while no one holds the slave; ours always does.
        if (!link.pty) {
            link.dead = true;
        }
        return;
    }
    if (!link.pty) {
        // Acknowledge at once (the kernel forgets this after a while): a client
        // that sends two short commands back to back, as the charger does with
        // "@AF" and the next "@RQ", would otherwise wait for a delayed ACK.
        int one = 1;
        setsockopt(link.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
    bool supply = link.which == Instrument::Supply;
    for (ssize_t i = 0; i < n; ++i) {
        char c = buf[i];
        bool end = c == '\n' || (supply && c == '\r');
        link.line += c;
        if (end) {
            if (!link.discarding) {
                takeLine(link, link.line);
            }
            link.line.clear();
            link.discarding = false;
        } else if (link.line.size() >= LINE_LIMIT) {
            if (!link.discarding) {
                std::lock_guard<std::mutex> lock(mu);
                ++counters.overlongLines;
                if (supply) {
                    model.fail(ERR_TOO_LONG);
                }
                log("%-7s <- overlong line dropped (\"%s...\")", nameOf(link.which),
                    zortext::escape(link.line.substr(0, 32)).c_str());
            }
            link.discarding = true;
            link.line.clear();
        }
    }
}

void Bench::Impl::takeLine(Link &link, const std::string &line) {
    if (link.closing) {
        return;  // the link is going: what comes after the last line is lost
    }
    std::string reply;
    std::string note;
    bool supply = link.which == Instrument::Supply;
    bool statusRequest = false;
    bool silent = false;
    long closeAfter = supply ? opt.faults.closeSupplyAfter : opt.faults.closeBatteryAfter;
    if (closeAfter > 0 && !link.pty && ++link.lines >= closeAfter) {
        link.closing = true;
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        auto &h = history[slotOf(link.which)];
        h.push_back(line);
        while (h.size() > opt.historyLines) {
            h.pop_front();
        }
        if (opt.secondsPerPoll <= 0.0) {
            auto now = Clock::now();
            model.advance(std::chrono::duration<double>(now - lastAdvance).count() * opt.speed);
            lastAdvance = now;
        }
        const Unanswered unanswered = playEvents(link.which);
        if (unanswered == Unanswered::Everything) {
            note = "  [restarting: not answered]";
            silent = true;
        }
        std::string_view text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.remove_suffix(1);
        }
        if (link.which == Instrument::Supply) {
            ++counters.supplyLines;
            long before = model.errorsRaised();
            reply = model.supplyCommand(text);
            if (model.errorsRaised() != before) {
                note = "  [ERR " + std::to_string(model.supply().err) + "]";
            }
            long answers = opt.faults.supplyQueriesAnswered;
            if (!reply.empty() && answers >= 0 && queriesAnswered++ >= answers) {
                reply.clear();
                ++counters.silentQueries;
                note += "  [not answered]";
            }
        } else {
            statusRequest = text == "@RQ";
            if (statusRequest && unanswered == Unanswered::StatusRequests) {
                note = "  [muted: not answered]";
                silent = true;
            }
            if (statusRequest) {
                ++counters.statusRequests;
                if (opt.secondsPerPoll > 0.0) {
                    model.advance(opt.secondsPerPoll);
                }
            } else if (text == "@AC") {
                ++counters.enables;
            } else if (text == "@AF") {
                ++counters.disables;
            } else if (!text.empty()) {
                ++counters.unknownBattery;
            }
            reply = silent ? "" : model.batteryCommand(text);
            if (text == "@RQ" && opt.log != nullptr && !silent) {
                long s = static_cast<long>(model.simSeconds());
                char buf[160];
                snprintf(buf, sizeof buf,
                         "  [sim %ld:%02ld:%02ld  %.2f A  %.2f V  gauge %.2f %%  balance %02X]",
                         s / 3600, s / 60 % 60, s % 60, model.outputAmps(), model.stackVolts(),
                         model.gasGaugePercent(), model.balanceRegister());
                note = buf;
            }
        }
    }
    for (const std::string &event : std::exchange(eventNotes, {})) {
        log("%s", event.c_str());
    }
    log("%-7s <- \"%s\"%s", nameOf(link.which), zortext::escape(line).c_str(), note.c_str());
    if (!reply.empty()) {
        reply = queueReply(link, std::move(reply));
    }
    if (statusRequest) {
        std::lock_guard<std::mutex> lock(mu);
        replies.push_back(std::move(reply));
        while (replies.size() > opt.historyLines) {
            replies.pop_front();
        }
    }
}

}  // namespace zorsim
