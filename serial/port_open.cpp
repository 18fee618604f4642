// Opening a port of either kind under a handle of its own, opening it again
// under the same handle once its link is lost, and closing it.
#include "serial/serial_internal.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "util/util.h"

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

int reopenPort(int port) {
    PortRecord *rec = findPort(port);
    if (rec == nullptr) {
        return -1;
    }
    int fd;
    if (rec->isSocket) {
        fd = reconnectNetworkPort(rec);
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
