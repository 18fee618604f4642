// The bench's endpoints: a TCP listener or a pseudo-terminal for each
// instrument, and the links the listeners accept.
#include "sim/bench_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

namespace zorsim {
namespace {

constexpr size_t LINKS_PER_INSTRUMENT = 8;

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

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

}  // namespace zorsim
