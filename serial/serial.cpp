#include "serial/serial.h"
#include "serial/endpoint.h"
#include "serial/line_settings.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>

#include "util/util.h"

PortRecord *ports = nullptr;

namespace {

// Input that a flush of a network port discards at most in one call.
constexpr size_t FLUSH_LIMIT_BYTES = 64 * 1024;

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

// The one way from a handle to its record: the first record from the head
// whose fd matches. A handle that is not there is reported here, once, so
// that every operation can simply give up with -1 on a null result.
PortRecord *findPort(int port) {
    for (PortRecord *rec = ports; rec != nullptr; rec = rec->next) {
        if (rec->fd == port) {
            return rec;
        }
    }
    REPORT_LOCATION();
    fprintf(stderr, "err: port %d is not open\n", port);
    return nullptr;
}

const char *lossText(const PortRecord *rec) {
    return rec->lossErrno == 0 ? "connection closed by peer" : strerror(rec->lossErrno);
}

// The record of a port whose link can carry bytes; a lost link is refused
// here, once, as an unknown handle is by findPort.
PortRecord *findLivePort(int port) {
    PortRecord *rec = findPort(port);
    if (rec != nullptr && rec->lost) {
        REPORT_LOCATION();
        fprintf(stderr, "err: port %d has lost its link: %s\n", port, lossText(rec));
        errno = rec->lossErrno != 0 ? rec->lossErrno : ENOTCONN;
        return nullptr;
    }
    return rec;
}

// The failures after which a link can never carry another byte: the peer
// reset or dropped the connection, it timed out, or the device has gone (an
// unplugged USB adapter, a pseudo-terminal whose other side closed).
bool endsLink(int error) {
    switch (error) {
        case ECONNRESET:
        case ECONNABORTED:
        case EPIPE:
        case ENOTCONN:
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ENETDOWN:
        case EIO:
        case ENXIO:
        case ENODEV:
            return true;
        default:
            return false;
    }
}

// Takes a lost link out of service; `error` is why, 0 for a peer's close.
// The link's descriptor is closed at once, so that a connection is released
// and a replugged adapter gets its device name back, but its number is held
// by a placeholder that carries no link: the port keeps its handle through
// reopenPort, and no other file takes the number meanwhile. errno is kept.
void markLost(PortRecord *rec, int error) {
    if (rec->lost) {
        return;
    }
    int savedErrno = errno;
    rec->lost = 1;
    rec->lossErrno = error;
    int placeholder = socket(AF_UNIX, SOCK_STREAM, 0);
    if (placeholder >= 0) {
        dup2(placeholder, rec->fd);
        close(placeholder);
    }  // without one the dead descriptor stays until a reopen replaces it
    errno = savedErrno;
}

// Marks the link lost when `error` ends it.
void lostBy(PortRecord *rec, int error) {
    if (endsLink(error)) {
        markLost(rec, error);
    }
}

// Looks, without reading or waiting, for a hang-up already waiting on the
// link: a peer's close or reset, an error the connection has timed out with,
// a device that has gone. Marks the link lost when there is one.
void lookForHangUp(PortRecord *rec) {
    if (rec->lost) {
        return;
    }
    pollfd look{rec->fd, POLLRDHUP, 0};
    if (poll(&look, 1, 0) <= 0 || (look.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) {
        return;
    }
    int error = EIO;  // a terminal that hangs up reads as EIO
    if (rec->isSocket) {
        error = 0;  // the peer's orderly close
        socklen_t size = sizeof error;
        if ((look.revents & POLLERR) != 0 &&
            (getsockopt(rec->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error == 0)) {
            error = ECONNRESET;
        }
    }
    markLost(rec, error);
}

void appendRecord(PortRecord *rec) {
    rec->next = nullptr;
    if (ports == nullptr) {
        rec->prev = nullptr;
        ports = rec;
        return;
    }
    PortRecord *last = ports;
    while (last->next != nullptr) {
        last = last->next;
    }
    last->next = rec;
    rec->prev = last;
}

// Unlinks the record and frees it; errno is kept for the caller's report.
void dropRecord(PortRecord *rec) {
    int savedErrno = errno;
    if (rec->prev != nullptr) {
        rec->prev->next = rec->next;
    } else {
        ports = rec->next;
    }
    if (rec->next != nullptr) {
        rec->next->prev = rec->prev;
    }
    delete[] rec->name;
    delete rec;
    errno = savedErrno;
}

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

// Descriptor 0 means "none" in a port record. A file that the system opens
// there, because standard input is closed, is moved to a free number above.
// Returns the descriptor to keep, or -1 with errno set (the file is closed).
int offDescriptorZero(int fd) {
    if (fd != 0) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD, 1);
    int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    return moved;
}

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

// The step at which a serial device could not be opened and set up.
enum class LineStep { OPEN, GET_ATTRIBUTES, SETTINGS, SET_ATTRIBUTES };

struct LineFailure {
    LineStep step;
    LineRefusal refusal;  // with SETTINGS: the setting refused
};

// Opens a serial device and sets it up for raw transfer, without a word of
// its own. Returns the descriptor; or, with *failure saying where and errno
// why, open's own result (0 or below) or -1 after a later step, with the
// device closed again, so that a refused setting leaves nothing behind.
int openRawLine(const char *name, int baud, int dataBits, int stopBits, const char *parity,
                LineFailure *failure) {
    failure->step = LineStep::OPEN;
    failure->refusal = LineRefusal::NONE;
    int fd = open(name, O_RDWR | O_NOCTTY | O_SYNC);
    if (fd <= 0) {
        if (fd == 0) {
            close(fd);  // descriptor 0 is no handle; do not keep it open behind the caller
        }
        return fd;
    }
    auto fail = [&](LineStep step) {
        int savedErrno = errno;
        close(fd);
        failure->step = step;
        errno = savedErrno;
        return -1;
    };

    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return fail(LineStep::GET_ATTRIBUTES);
    }
    tcflush(fd, TCIOFLUSH);

    // Checked only after the flush: a line whose settings are refused still
    // has its pending data discarded.
    failure->refusal = rawLineAttributes(&tio, baud, dataBits, stopBits, parity);
    if (failure->refusal != LineRefusal::NONE) {
        errno = EINVAL;
        return fail(LineStep::SETTINGS);
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return fail(LineStep::SET_ATTRIBUTES);
    }
    return fd;
}

// Serial branch of openPort. A failure drops the record.
int openSerialPort(PortRecord *rec, const char *name, int *handle, int baud, int dataBits,
                   int stopBits, const char *parity) {
    rec->isSocket = 0;
    LineFailure failure;
    int fd = openRawLine(name, baud, dataBits, stopBits, parity, &failure);
    if (fd > 0) {
        rec->fd = fd;
        *handle = fd;
        return fd;
    }
    int savedErrno = errno;
    *handle = 0;
    dropRecord(rec);
    REPORT_LOCATION();
    switch (failure.step) {
        case LineStep::OPEN:
            fprintf(stderr, "err: openPort: could not open \"%s\": %s\n", name,
                    strerror(savedErrno));
            return fd;
        case LineStep::GET_ATTRIBUTES:
            fprintf(stderr, "err: openPort: could not tcgetattr on \"%s\": %s\n", name,
                    strerror(savedErrno));
            break;
        case LineStep::SET_ATTRIBUTES:
            fprintf(stderr, "err: openPort: tcsetattr failed on \"%s\": %s\n", name,
                    strerror(savedErrno));
            break;
        case LineStep::SETTINGS:
            if (failure.refusal == LineRefusal::BAUD) {
                fprintf(stderr, "err: openPort: port \"%s\" has bad baud=%d\n", name, baud);
            } else if (failure.refusal == LineRefusal::DATA_BITS) {
                fprintf(stderr, "err: openPort: port \"%s\" has bad databits=%d\n", name, dataBits);
            } else {
                fprintf(stderr, "err: openPort: port \"%s\" has bad parity=%s\n", name,
                        parity != nullptr ? parity : "(null)");
            }
            break;
    }
    errno = savedErrno;
    return -1;
}

// Waits until a serial line has sent its output; a socket has nothing to drain.
// A signal that cuts the wait short leaves the output still going: wait again.
int flushSend(const PortRecord *rec) {
    if (rec->isSocket) {
        return 0;
    }
    int result;
    do {
        result = tcdrain(rec->fd);
    } while (result < 0 && errno == EINTR);
    return result;
}

// Writes all of the text. A socket is written with MSG_NOSIGNAL so that a
// peer that has gone away yields EPIPE instead of killing the process.
// Returns the length, or the failing write's result (never the length).
ssize_t writeWhole(const PortRecord *rec, const char *text, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = rec->isSocket ? send(rec->fd, text + done, len - done, MSG_NOSIGNAL)
                                  : write(rec->fd, text + done, len - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Waits up to `ms` milliseconds for `events` on fd. An interrupted wait
// starts again with the whole time, which can only lengthen it. Returns the
// result of poll: above 0 when ready, 0 when the time ran out, -1 on failure.
int waitReady(int fd, short events, int ms) {
    pollfd wait{fd, events, 0};
    int ready;
    do {
        ready = poll(&wait, 1, ms);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

// True when input arrives on fd within `ms` milliseconds.
bool moreWithin(int fd, int ms) {
    return waitReady(fd, POLLIN, ms) > 0;
}

// Reads and drops what is waiting on a connection, without waiting for more.
// A peer that keeps sending is cut off after a bound, so the caller is never
// held. Returns 0, or -1 when a read fails or finds that the peer has closed
// (errno 0 then).
int discardPending(int fd) {
    char sink[512];
    for (size_t dropped = 0; dropped < FLUSH_LIMIT_BYTES;) {
        errno = 0;
        ssize_t got = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 0;
        }
        if (got <= 0) {
            return -1;
        }
        dropped += static_cast<size_t>(got);
    }
    return 0;
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

int openPort(const char *name, int *handle, int baud, int dataBits, int stopBits,
             const char *parity) {
    *handle = 0;
    PortRecord *rec = new (std::nothrow) PortRecord{};
    if (rec == nullptr) {
        REPORT_LOCATION();
        fprintf(stderr, "err: openPort: out of memory for the record of \"%s\"\n", name);
        return -1;
    }
    appendRecord(rec);
    // Kept for reopenPort: the same endpoint, reached the same way.
    size_t size = strlen(name) + 1;
    rec->name = new (std::nothrow) char[size];
    if (rec->name == nullptr) {
        REPORT_LOCATION();
        fprintf(stderr, "err: openPort: out of memory for a copy of \"%s\"\n", name);
        dropRecord(rec);
        return -1;
    }
    memcpy(rec->name, name, size);
    rec->baud = baud;
    rec->dataBits = dataBits;
    rec->stopBits = stopBits;
    if (parity != nullptr && strlen(parity) < sizeof rec->parity) {
        strcpy(rec->parity, parity);  // any longer word is refused below anyway
    }
    if (isNetworkEndpoint(name)) {
        return openNetworkPort(rec, name, handle);
    }
    return openSerialPort(rec, name, handle, baud, dataBits, stopBits, parity);
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

int closePort(int port) {
    PortRecord *rec = findPort(port);
    if (rec == nullptr) {
        return -1;
    }
    if (rec->logFd != 0) {
        close(rec->logFd);
    }
    int result = close(rec->fd);
    dropRecord(rec);
    return result;
}

int sendStr(int port, const char *str) {
    PortRecord *rec = findLivePort(port);
    if (rec == nullptr) {
        return -1;
    }
    int len = static_cast<int>(strlen(str));
    if (DEBUG_LEVEL > 3) {
        fprintf(stderr, "sendStr: Sending %d chars to serial port %d:%s\n", len, port, str);
    }
    // A connection whose peer has closed takes a first write without a word
    // and loses it: look before writing.
    lookForHangUp(rec);
    if (rec->lost) {
        REPORT_LOCATION();
        fprintf(stderr, "err: sendStr found the link lost: %s\n", lossText(rec));
        errno = rec->lossErrno != 0 ? rec->lossErrno : EPIPE;
        return -1;
    }
    ssize_t wrote = writeWhole(rec, str, static_cast<size_t>(len));
    if (wrote < len) {
        int savedErrno = errno;
        if (wrote < 0) {
            lostBy(rec, savedErrno);
        }
        REPORT_LOCATION();
        fprintf(stderr, "err: sendStr wrote %d of %d bytes: %s\n", static_cast<int>(wrote), len,
                strerror(savedErrno));
        return wrote < 0 ? static_cast<int>(wrote) : -1;
    }
    int drained = flushSend(rec);
    if (drained < 0) {
        int savedErrno = errno;
        lostBy(rec, savedErrno);
        REPORT_LOCATION();
        fprintf(stderr, "err: sendStr tcdrain failed: %s\n", strerror(savedErrno));
        return drained;
    }
    if (rec->logFd != 0) {
        // Prefix and text in one gathered write: the record stays whole in
        // the file however long the text is, without a buffer to size.
        char prefix[32];
        int prefixLen = snprintf(prefix, sizeof prefix, "S%ld: ", static_cast<long>(time(nullptr)));
        iovec parts[2] = {{prefix, static_cast<size_t>(prefixLen)},
                          {const_cast<char *>(str), static_cast<size_t>(len)}};
        ssize_t ignored = writev(rec->logFd, parts, 2);
        (void)ignored;
    }
    msleep(10);
    return 0;
}

int recvStr(int port, char *buf, int len) {
    if (buf != nullptr && len > 0) {
        buf[0] = '\0';
    }
    PortRecord *rec = findLivePort(port);
    if (rec == nullptr) {
        return -1;
    }
    if (buf == nullptr || len < 2) {
        REPORT_LOCATION();
        fprintf(stderr, "err: recvStr buffer of %d bytes has no room for data\n", len);
        return -1;
    }
    if (DEBUG_LEVEL > 4) {
        fprintf(stderr, "recvStr: Starting while select loop...\n");
    }
    // poll rather than select: a descriptor at or above FD_SETSIZE would
    // overflow a select set. The progress texts stay those of the select wait.
    pollfd wait{port, POLLIN, 0};
    puts("calling select");
    fflush(stdout);  // what announces the wait is out before it
    int ready = poll(&wait, 1, 2000);
    if (ready > 0 && (wait.revents & POLLNVAL) != 0) {
        errno = EBADF;  // as select reports a descriptor that is not open
        ready = -1;
    }
    if (ready < 0) {
        int savedErrno = errno;
        perror("select returned error: ");
        REPORT_LOCATION();
        fprintf(stderr, "err: recvStr select failed %d: %s\n", ready, strerror(savedErrno));
        return -1;
    }
    if (ready == 0) {
        puts("no bytes ready");
        return 0;
    }
    printf("select returned %d\n", ready);
    memset(buf, 0, static_cast<size_t>(len));
    // A reply comes in pieces: a serial line delivers it byte by byte, a
    // network serial server forwards it in chunks. Take pieces until the
    // buffer is full or the line has been quiet for the gap.
    const size_t room = static_cast<size_t>(len - 1);
    size_t stored = 0;
    for (;;) {
        ssize_t got = read(port, buf + stored, room - stored);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // A connection read empty has been closed by its peer; a terminal
        // read empty may have hung up, which its hang-up flag tells.
        if (got < 0) {
            lostBy(rec, errno);
        } else if (got == 0 && rec->isSocket) {
            markLost(rec, 0);
        } else if (got == 0) {
            lookForHangUp(rec);
        }
        if (got <= 0 && stored > 0) {
            break;  // the bytes are the caller's; the loss is the link's state
        }
        if (got < 0) {
            int savedErrno = errno;
            REPORT_LOCATION();
            fprintf(stderr, "err: recvStr failed with %s", strerror(savedErrno));
            return -1;
        }
        if (got == 0) {
            REPORT_LOCATION();
            fprintf(stderr, "err: recvStr failed with no bytes\n");
            return 0;
        }
        stored += static_cast<size_t>(got);
        if (stored == room || !moreWithin(port, RECEIVE_QUIET_GAP_MS)) {
            break;
        }
    }
    return static_cast<int>(stored);
}

int flushRecv(int port) {
    PortRecord *rec = findLivePort(port);
    if (rec == nullptr) {
        return -1;
    }
    int result = rec->isSocket ? discardPending(rec->fd) : tcflush(rec->fd, TCIFLUSH);
    if (result != 0) {
        int savedErrno = errno;  // 0: the peer has closed the connection
        if (savedErrno == 0) {
            markLost(rec, 0);
        } else {
            lostBy(rec, savedErrno);
        }
        REPORT_LOCATION();
        fprintf(stderr, "err: flushRecv failed: %s\n",
                savedErrno == 0 ? lossText(rec) : strerror(savedErrno));
    }
    return result;
}

int openLogFile(int port, const char *prefix) {
    PortRecord *rec = findPort(port);
    if (rec == nullptr) {
        return -1;
    }
    long now = static_cast<long>(time(nullptr));
    char name[256];
    int nameLen = snprintf(name, sizeof name, "%s_%ld.log", prefix, now);
    int fd = -1;
    if (nameLen < 0 || static_cast<size_t>(nameLen) >= sizeof name) {
        errno = ENAMETOOLONG;  // never open a cut-off name
    } else {
        // Appending: a name that exists (two opens within one second) is
        // continued, not overwritten from its start.
        fd = offDescriptorZero(open(name, O_WRONLY | O_CREAT | O_APPEND, 0666));
    }
    // The transcript this one replaces, or that a failed open leaves the
    // port without, gets no further records: nothing else would close it.
    if (rec->logFd != 0) {
        int savedErrno = errno;
        close(rec->logFd);
        rec->logFd = 0;
        errno = savedErrno;
    }
    if (fd < 0) {
        int savedErrno = errno;
        REPORT_LOCATION();
        fprintf(stderr, "openLogFile: cannot create '%s_%ld.log' for writing:%s\n", prefix, now,
                strerror(savedErrno));
        return -1;
    }
    printf("Opened log file '%s' for port fd=%d\n", name, port);
    rec->logFd = fd;
    return fd;
}

int closeLogFile(int port) {
    PortRecord *rec = findPort(port);
    if (rec == nullptr) {
        return -1;
    }
    if (rec->logFd == 0) {
        REPORT_LOCATION();
        fprintf(stderr, "err: closeLogFile: port %d has no log file\n", port);
        return -1;
    }
    int result = close(rec->logFd);
    rec->logFd = 0;
    return result;
}

int linkLost(int port) {
    PortRecord *rec = findPort(port);
    if (rec == nullptr) {
        return -1;
    }
    lookForHangUp(rec);
    return rec->lost;
}

const char *linkLossText(int port) {
    PortRecord *rec = findPort(port);
    if (rec == nullptr || !rec->lost) {
        return nullptr;
    }
    return lossText(rec);
}

int reopenPort(int port) {
    PortRecord *rec = findPort(port);
    if (rec == nullptr) {
        return -1;
    }
    int fd;
    if (rec->isSocket) {
        std::string copy = rec->name;  // the split cuts it up
        EndpointFields fields;
        fd = connectNamed(copy.data(), &fields);
    } else {
        LineFailure failure;
        fd = openRawLine(rec->name, rec->baud, rec->dataBits, rec->stopBits, rec->parity, &failure);
        if (fd == 0) {
            errno = EBADF;  // descriptor 0 is no handle
        }
    }
    if (fd <= 0) {
        return -1;
    }
    // The new link takes the port's own number, so the handle stays valid.
    if (dup2(fd, rec->fd) < 0) {
        int savedErrno = errno;
        close(fd);
        errno = savedErrno;
        return -1;
    }
    close(fd);
    rec->lost = 0;
    rec->lossErrno = 0;
    return rec->fd;
}
