#include "sim/bench.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include "sim/shaping.h"

namespace zorsim {
namespace {

constexpr size_t LINE_LIMIT = 256;          // bytes of one received line
constexpr size_t OUTPUT_LIMIT = 64 * 1024;  // queued reply bytes per link
constexpr size_t LINKS_PER_INSTRUMENT = 8;
constexpr Instrument INSTRUMENTS[] = {Instrument::Supply, Instrument::Battery};

// Where an instrument's things stand in the bench's arrays of two.
constexpr size_t slotOf(Instrument which) {
    return which == Instrument::Supply ? 0 : 1;
}

const char *nameOf(Instrument which) {
    return which == Instrument::Supply ? "supply" : "battery";
}

std::string errorText(const char *what) {
    return std::string(what) + ": " + strerror(errno);
}

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
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

}  // namespace

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

    bool openEndpoint(Instrument which, bool pty, int port, std::string *why);
    bool openTcp(Endpoint &e, int port, std::string *why);
    bool openPty(Endpoint &e, std::string *why);
    void closeAll();
    std::string endpoint(Instrument which) const;
    void loop();
    void accept(Instrument which);
    void readLink(Link &link);
    void takeLine(Link &link, const std::string &line);
    bool playEvents(Instrument which);
    std::string queueReply(Link &link, std::string bytes);
    void flush(Link &link);
    void log(const char *format, ...) __attribute__((format(printf, 2, 3)));
};

Bench::Bench(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Bench::~Bench() {
    stop();
}

// Opens an instrument's endpoint; a pty is served by one link from the start.
bool Bench::Impl::openEndpoint(Instrument which, bool pty, int port, std::string *why) {
    Endpoint &e = ends[slotOf(which)];
    if (!(pty ? openPty(e, why) : openTcp(e, port, why))) {
        return false;
    }
    if (pty) {
        Link link(which);
        link.fd = e.ptyMaster;
        link.pty = true;
        link.peer = e.ptyPath;
        links.push_back(std::move(link));
    }
    return true;
}

bool Bench::Impl::openTcp(Endpoint &e, int port, std::string *why) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, opt.host.c_str(), &addr.sin_addr) != 1) {
        *why = "bad listening address " + opt.host;
        return false;
    }
    e.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (e.listenFd < 0) {
        *why = errorText("socket");
        return false;
    }
    int one = 1;
    setsockopt(e.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(e.listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        *why = errorText(("bind " + opt.host + ":" + std::to_string(port)).c_str());
        return false;
    }
    if (listen(e.listenFd, 8) != 0) {
        *why = errorText("listen");
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(e.listenFd, reinterpret_cast<sockaddr *>(&addr), &len);
    e.port = ntohs(addr.sin_port);
    return true;
}

bool Bench::Impl::openPty(Endpoint &e, std::string *why) {
    e.ptyMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (e.ptyMaster < 0) {
        *why = errorText("posix_openpt");
        return false;
    }
    fcntl(e.ptyMaster, F_SETFD, FD_CLOEXEC);
    char name[128];
    if (grantpt(e.ptyMaster) != 0 || unlockpt(e.ptyMaster) != 0 ||
        ptsname_r(e.ptyMaster, name, sizeof name) != 0) {
        *why = errorText("pseudo-terminal set-up");
        return false;
    }
    e.ptyPath = name;
    e.ptyHold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (e.ptyHold < 0) {
        *why = errorText(("open " + e.ptyPath).c_str());
        return false;
    }
    termios t{};
    if (tcgetattr(e.ptyHold, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(e.ptyHold, TCSANOW, &t);
    }
    setNonBlocking(e.ptyMaster);
    return true;
}

bool Bench::start(std::string *why) {
    std::string ignored;
    if (why == nullptr) {
        why = &ignored;
    }
    Impl &d = *impl_;
    if (d.running) {
        *why = "already running";
        return false;
    }
    bool ok = d.openEndpoint(Instrument::Supply, d.opt.supplyPty, d.opt.supplyPort, why) &&
              d.openEndpoint(Instrument::Battery, d.opt.batteryPty, d.opt.batteryPort, why);
    if (ok && pipe2(d.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = errorText("pipe");
        ok = false;
    }
    if (!ok) {
        d.closeAll();
        return false;
    }
    if (d.opt.underWay) {
        d.model.startUnderWay();
    }
    d.started = d.lastAdvance = Clock::now();
    d.running = true;
    d.thread = std::thread([&d] { d.loop(); });
    return true;
}

void Bench::stop() {
    Impl &d = *impl_;
    if (d.thread.joinable()) {
        d.running = false;
        char byte = 0;
        ssize_t n = write(d.wake[1], &byte, 1);
        (void)n;
        d.thread.join();
    }
    d.closeAll();
}

void Bench::Impl::closeAll() {
    for (Link &link : links) {
        if (!link.pty) {
            close(link.fd);
        }
    }
    links.clear();
    for (Endpoint &e : ends) {
        for (int *fd : {&e.listenFd, &e.ptyMaster, &e.ptyHold}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
    }
    for (int &fd : wake) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

std::string Bench::Impl::endpoint(Instrument which) const {
    const Endpoint &e = ends[slotOf(which)];
    return e.ptyPath.empty() ? "tcp:" + opt.host + ":" + std::to_string(e.port) : e.ptyPath;
}

std::string Bench::supplyEndpoint() const {
    return impl_->endpoint(Instrument::Supply);
}

std::string Bench::batteryEndpoint() const {
    return impl_->endpoint(Instrument::Battery);
}

Counters Bench::counters() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Counters c = impl_->counters;
    c.supplyErrors = impl_->model.errorsRaised();
    return c;
}

std::vector<std::string> Bench::received(Instrument which) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    const auto &h = impl_->history[slotOf(which)];
    return {h.begin(), h.end()};
}

std::vector<std::string> Bench::statusReplies() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return {impl_->replies.begin(), impl_->replies.end()};
}

Model Bench::model() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->model;
}

void Bench::Impl::log(const char *format, ...) {
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

void Bench::Impl::accept(Instrument which) {
    Endpoint &e = ends[slotOf(which)];
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int fd = accept4(e.listenFd, reinterpret_cast<sockaddr *>(&addr), &len,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    int one = 1;
    // A reply goes out in one segment, so the charger reads it in one read.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    size_t count = std::count_if(links.begin(), links.end(),
                                 [&](const Link &l) { return l.which == which && !l.dead; });
    if (count >= LINKS_PER_INSTRUMENT) {
        for (Link &l : links) {
            if (l.which == which && !l.dead) {
                l.dead = true;  // the oldest gives way
                break;
            }
        }
    }
    Link link(which);
    link.fd = fd;
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    link.peer = std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
    {
        std::lock_guard<std::mutex> lock(mu);
        ++counters.connections;
    }
    log("%-7s link opened (%s)", nameOf(which), link.peer.c_str());
    links.push_back(std::move(link));
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
                    escape(link.line.substr(0, 32)).c_str());
            }
            link.discarding = true;
            link.line.clear();
        }
    }
}

// Plays the events that are due, under the lock. Returns false while the
// instrument `which` is silent (the battery restarting): it takes no line.
bool Bench::Impl::playEvents(Instrument which) {
    const Events &e = opt.events;
    const double now = std::chrono::duration<double>(Clock::now() - started).count();
    struct Play {
        double at, seconds;
        std::function<void(bool starts)> act;
        const char *what;
    };
    const Play plays[] = {
        {e.supplyRestartAt, 0, [&](bool) { model.restartSupply(); }, "supply restarted"},
        {e.batteryRestartAt, e.batteryRestartSeconds,
         [&](bool starts) {
             if (!starts) {
                 model.restartBattery();
             }
         },
         "battery restarting"},
        {e.outputOffAt, e.outputOffSeconds, [&](bool starts) { model.switchOutput(!starts); },
         "supply output switched off by hand"},
        {e.overVoltageAt, e.overVoltageSeconds,
         [&](bool starts) { starts ? model.tripOverVoltage() : model.clearProtection(); },
         "supply over-voltage protection tripped"},
        {e.heatsinkHotAt, e.heatsinkHotSeconds,
         [&](bool starts) { model.holdHeatsinkLimit(starts); },
         "battery at its heatsink hot limit"},
    };
    for (size_t i = 0; i < std::size(plays); ++i) {
        const Play &p = plays[i];
        for (int edge = 0; edge < (p.seconds > 0 ? 2 : 1); ++edge) {
            const uint32_t bit = 1u << (2 * i + static_cast<size_t>(edge));
            if (p.at >= 0 && now >= p.at + edge * p.seconds && !(eventsPlayed & bit)) {
                eventsPlayed |= bit;
                ++counters.events;
                p.act(edge == 0);
                eventNotes.push_back(std::string(edge == 0 ? "event: " : "event over: ") + p.what);
            }
        }
    }
    const bool batterySilent = e.batteryRestartAt >= 0 && now >= e.batteryRestartAt &&
                               now < e.batteryRestartAt + e.batteryRestartSeconds;
    return !(which == Instrument::Battery && batterySilent);
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
        if (!playEvents(link.which)) {
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
    log("%-7s <- \"%s\"%s", nameOf(link.which), escape(line).c_str(), note.c_str());
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
