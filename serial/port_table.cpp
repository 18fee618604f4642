// The list of open ports, the lookup from handle to record, and the state of
// each port's link: found lost, and why.
#include "serial/serial_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "util/util.h"

PortRecord *ports = nullptr;

namespace {

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

}  // namespace

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
    rec->lookupNoted = 0;  // a lookup that fails in this outage is said afresh
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
