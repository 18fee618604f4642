#include "util/util.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int DEBUG_LEVEL = 0;

void msleep(int ms) {
    // The product is a 32-bit quantity by contract; callers stay below 2147483.
    usleep(static_cast<useconds_t>(ms) * 1000u);
}

long monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int ahextoi(const char *text) {
    uint32_t value = 0;  // unsigned, so that overflow wraps instead of being undefined
    for (const char *p = text; *p != '\0'; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9') {
            digit = static_cast<unsigned>(*p - '0');
        } else if (*p >= 'a' && *p <= 'f') {
            digit = static_cast<unsigned>(*p - 'a' + 10);
        } else if (*p >= 'A' && *p <= 'F') {
            digit = static_cast<unsigned>(*p - 'A' + 10);
        } else {
            break;
        }
        value = value * 16u + digit;
    }
    return static_cast<int>(value);
}

void reportLocation(const char *file, int line) {
    // stderr is unbuffered: one fprintf is one write, ahead of the message's.
    fprintf(stderr, "%s:%d:", file, line);
}

int writeAll(int fd, const char *data, size_t size, size_t *written) {
    size_t done = 0;
    int error = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return error;
}
