// The serial side of opening a port: a device opened and set up for raw
// transfer at the given line settings.
#include "serial/serial_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "serial/line_settings.h"
#include "util/util.h"

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
