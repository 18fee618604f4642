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

// The resolver reports through h_errno, which strerror cannot name; the
// caller's message needs an errno that says why the host gave no address.
int resolverErrno() {
    switch (h_errno) {
        case TRY_AGAIN:
            return EAGAIN;  // the name server did not answer in time
        case NETDB_INTERNAL:
            return errno != 0 ? errno : ENXIO;
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
        hostent *entry = gethostbyname(host);
        if (entry == nullptr) {
            errno = resolverErrno();
            return -1;
        }
        if (entry->h_addrtype != AF_INET || entry->h_length != 4 ||
            entry->h_addr_list[0] == nullptr) {
            errno = EAFNOSUPPORT;
            return -1;
        }
        memcpy(&addr.sin_addr, entry->h_addr_list[0], 4);
    }

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
