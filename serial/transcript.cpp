// A port's transcript: the file that records every string sent on the port
// with its time. The records themselves are written by sendStr.
#include "serial/serial_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "util/util.h"

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
