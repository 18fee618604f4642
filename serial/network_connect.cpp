// The network side of opening a port: a TCP connection to a network serial
// server, "tcp:HOST:PORT", bounded in time and watched for a vanished host.
#include "serial/serial_internal.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <new>
#include <string>

#include "serial/endpoint.h"
#include "util/util.h"

namespace {

// How long a connect may take before it counts as failed: a host that does
// not answer must not hold up a caller that retries it between polls.
constexpr int CONNECT_TIMEOUT_MS = 2000;

// A host that vanishes without a word is found out by the connection's own
// time-outs rather than the system's default of about 15 minutes. Keepalive
// covers an idle connection (found dead after 10 s + 3 probes 5 s apart);
// it never ends one with data outstanding, which the bound on unacknowledged
// data covers instead.
constexpr int KEEPALIVE_IDLE_S = 10;
constexpr int KEEPALIVE_INTERVAL_S = 5;
constexpr int KEEPALIVE_PROBES = 3;
constexpr unsigned UNACKNOWLEDGED_LIMIT_MS = 20000;

// The resolver reports by its own codes, which strerror cannot name; the
// caller's message needs an errno that says why the host gave no address.
int lookupErrno(int code) {
    switch (code) {
        case EAI_AGAIN:
            return EAGAIN;  // the name server did not answer in time
        case EAI_MEMORY:
            return ENOMEM;
        default:
            return ENXIO;  // no such host, or no address for it
    }
}

// Connects within CONNECT_TIMEOUT_MS; the socket is blocking again after.
// Returns 0, or -1 with errno set (ETIMEDOUT when the time ran out).
int connectWithin(int sd, const sockaddr_in &addr) {
    int flags = fcntl(sd, F_GETFL);
    if (flags < 0 || fcntl(sd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return -1;
    }
    int result = connect(sd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    if (result != 0 && errno == EINPROGRESS) {
        int ready = waitReady(sd, POLLOUT, CONNECT_TIMEOUT_MS);
        int error = ready == 0 ? ETIMEDOUT : errno;
        socklen_t size = sizeof error;
        if (ready > 0 && getsockopt(sd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            error = errno;
        }
        errno = error;
        result = error == 0 ? 0 : -1;
    }
    if (result == 0 && fcntl(sd, F_SETFL, flags) != 0) {
        result = -1;
    }
    return result;
}

// Has the connection's own time-outs find a host that has vanished. Each is
// a refinement: a system that refuses one still has a working link.
void watchForVanishedHost(int sd) {
    int on = 1;
    setsockopt(sd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(sd, IPPROTO_TCP, TCP_KEEPIDLE, &KEEPALIVE_IDLE_S, sizeof KEEPALIVE_IDLE_S);
    setsockopt(sd, IPPROTO_TCP, TCP_KEEPINTVL, &KEEPALIVE_INTERVAL_S, sizeof KEEPALIVE_INTERVAL_S);
    setsockopt(sd, IPPROTO_TCP, TCP_KEEPCNT, &KEEPALIVE_PROBES, sizeof KEEPALIVE_PROBES);
    setsockopt(sd, IPPROTO_TCP, TCP_USER_TIMEOUT, &UNACKNOWLEDGED_LIMIT_MS,
               sizeof UNACKNOWLEDGED_LIMIT_MS);
}

// The socket connected to `addr` with the time-outs of every network port.
// Returns it, or -1 with errno set.
int connectAddress(const sockaddr_in &addr) {
    int sd = offDescriptorZero(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (sd < 0) {
        return -1;
    }
    timeval timeout{2, 0};
    if (setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        int savedErrno = errno;
        puts("unable to set socket receive timeout");
        close(sd);
        errno = savedErrno;
        return -1;
    }
    watchForVanishedHost(sd);
    if (connectWithin(sd, addr) != 0) {
        int savedErrno = errno;
        close(sd);
        errno = savedErrno;
        return -1;
    }
    if (DEBUG_LEVEL > 0) {
        fprintf(stderr, "sd is %d\n", sd);
    }
    return sd;
}

}  // namespace

// Connects to the endpoint named by `copy`, "tcp:HOST:PORT", which the split
// cuts up in place; *fields receives the parts. A name without host or port
// text fails like a refused connection (EDESTADDRREQ) rather than handing
// null fields on. Returns the socket, or -1 with errno set.
int connectNamed(char *copy, EndpointFields *fields) {
    splitEndpointName(copy, fields);
    if (fields->protocol == nullptr || fields->host == nullptr || fields->portText == nullptr) {
        errno = EDESTADDRREQ;
        return -1;
    }
    return connectAtPort(fields->protocol, fields->host, fields->portNumber);
}

// Network branch of openPort: "tcp:HOST:PORT".
int openNetworkPort(PortRecord *rec, const char *name, int *handle) {
    rec->isSocket = 1;
    size_t size = strlen(name) + 1;
    char *copy = new (std::nothrow) char[size];
    if (copy == nullptr) {
        REPORT_LOCATION();
        fprintf(stderr, "err: openPort: out of memory for a copy of \"%s\"\n", name);
        dropRecord(rec);
        return -1;
    }
    memcpy(copy, name, size);
    if (DEBUG_LEVEL > 0) {
        fprintf(stderr, "server string is %s\n", copy);
    }
    EndpointFields fields;
    int fd = connectNamed(copy, &fields);
    rec->fd = fd;
    *handle = fd;
    if (fd < 0) {
        // The caller reports the cause from errno after this report.
        int savedErrno = errno;
        REPORT_LOCATION();
        fprintf(stderr, "open of protocol '%s' on server '%s' on port '%d' failed\n",
                fields.protocol != nullptr ? fields.protocol : "",
                fields.host != nullptr ? fields.host : "", fields.portNumber);
        delete[] copy;
        dropRecord(rec);
        *handle = 0;
        errno = savedErrno;
        return -1;
    }
    delete[] copy;
    sockaddr_in peer;
    socklen_t peerSize = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerSize) == 0) {
        rec->lastAddress = peer.sin_addr.s_addr;  // what a reopen falls back on
    }
    return fd;
}

int connectAtPort(const char * /*protocol*/, const char *host, int tcpPort) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(tcpPort & 0xFFFF));
    if (host == nullptr) {
        errno = EDESTADDRREQ;
        return -1;
    } else if (isdigit(static_cast<unsigned char>(host[0]))) {
        addr.sin_addr.s_addr = inet_addr(host);
    } else {
        // Nothing to fall back on here: the lookup takes as long as the
        // resolver does, as it always has at start-up.
        int code = lookUpHost(host, -1, &addr.sin_addr);
        if (code != 0) {
            errno = lookupErrno(code);
            return -1;
        }
    }
    return connectAddress(addr);
}

int reconnectNetworkPort(PortRecord *rec) {
    std::string copy = rec->name;  // the split cuts it up
    EndpointFields fields;
    splitEndpointName(copy.data(), &fields);
    rec->lookupError = 0;
    const char *host = fields.portText != nullptr ? fields.host : nullptr;
    if (host == nullptr || isdigit(static_cast<unsigned char>(host[0]))) {
        return connectAtPort(fields.protocol, host, fields.portNumber);  // never looked up
    }
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(fields.tcpPort);
    int code = lookUpHost(host, LOOKUP_BOUND_MS, &addr.sin_addr);
    if (code != 0) {
        rec->lookupError = code;
        if (rec->lastAddress == 0) {
            errno = lookupErrno(code);
            return -1;
        }
        addr.sin_addr.s_addr = rec->lastAddress;
    }
    int sd = connectAddress(addr);
    if (sd >= 0) {
        rec->lastAddress = addr.sin_addr.s_addr;
    }
    return sd;
}

const char *takeLookupNote(int port) {
    PortRecord *rec = findPort(port);
    if (rec == nullptr || rec->lookupError == 0 || rec->lookupNoted) {
        return nullptr;
    }
    rec->lookupNoted = 1;
    std::string copy = rec->name;
    EndpointFields fields;
    splitEndpointName(copy.data(), &fields);
    static char note[512];
    int length = snprintf(note, sizeof note, "%s not resolved (%s)", fields.host,
                          gai_strerror(rec->lookupError));
    if (rec->lastAddress != 0 && length > 0 && static_cast<size_t>(length) < sizeof note) {
        in_addr last{rec->lastAddress};
        snprintf(note + length, sizeof note - static_cast<size_t>(length), "; using %s",
                 inet_ntoa(last));
    }
    return note;
}
