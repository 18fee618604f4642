#include "bench/bench_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zorbench {

namespace {

// A socket file that refuses connections was left by a logger that is gone
// (a stand-in killed before it could clean up).
bool staleSocket(const sockaddr_un &addr) {
    struct stat st;
    if (lstat(addr.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool refused = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 &&
                   errno == ECONNREFUSED;
    close(fd);
    return refused;
}

}  // namespace

bool SystemLogSink::start(std::string *note) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", SYSTEM_LOG_PATH);
    if (staleSocket(addr)) {
        unlink(SYSTEM_LOG_PATH);
    }
    struct stat st;
    if (lstat(SYSTEM_LOG_PATH, &st) == 0) {
        *note = std::string("system log: the machine's own logger at ") + SYSTEM_LOG_PATH;
        return true;
    }
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        *note = std::string("system log: socket: ") + strerror(errno);
        return false;
    }
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        *note = std::string("system log: bind ") + SYSTEM_LOG_PATH + ": " + strerror(errno);
        close(fd_);
        fd_ = -1;
        return false;
    }
    // Anyone may log, as with the real logger's socket.
    chmod(SYSTEM_LOG_PATH, 0666);
    bound_ = true;
    running_ = true;
    thread_ = std::thread([this] { drain(); });
    *note = std::string("system log: a stand-in logger bound at ") + SYSTEM_LOG_PATH;
    return true;
}

void SystemLogSink::drain() {
    char buf[2048];
    while (running_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
            ++messages_;
        }
    }
}

void SystemLogSink::stop() {
    if (thread_.joinable()) {
        running_ = false;
        thread_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (bound_) {
        unlink(SYSTEM_LOG_PATH);
        bound_ = false;
    }
}

double monotonicSeconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double threadCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

long procStatusKb(const char *key) {
    FILE *f = fopen("/proc/self/status", "r");
    if (f == nullptr) {
        return -1;
    }
    char line[256];
    long value = -1;
    size_t keyLen = strlen(key);
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
            value = strtol(line + keyLen + 1, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return value;
}

}  // namespace zorbench
