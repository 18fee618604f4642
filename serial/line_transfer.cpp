// Moving text over an open port of either kind: a command sent whole, a reply
// taken in its pieces, input left over discarded.
#include "serial/serial_internal.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "util/util.h"

namespace {

// Input that a flush of a network port discards at most in one call.
constexpr size_t FLUSH_LIMIT_BYTES = 64 * 1024;

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

bool moreWithin(int fd, int ms) {
    return waitReady(fd, POLLIN, ms) > 0;
}

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

}  // namespace

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
