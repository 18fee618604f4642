// The service manager's notification protocol, spoken directly: each
// notification is one datagram of "KEY=value" lines to the AF_UNIX socket
// named in $NOTIFY_SOCKET, a leading "@" naming an abstract socket. Nothing
// here waits: a manager that does not take a datagram at once loses it.
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "zor_charger/zor_charger.h"

namespace {

struct ServiceNotify {
    std::string name;  // as $NOTIFY_SOCKET gave it
    int fd = -1;
    sockaddr_un addr{};
    socklen_t addrSize = 0;
    bool watchdog = false;
    bool failureSaid = false;  // a run says once that the manager cannot be told
};
ServiceNotify service;

void sayFailure(const char *why) {
    if (!service.failureSaid) {
        service.failureSaid = true;
        fprintf(stderr, "service manager not told: %s: %s\n", service.name.c_str(), why);
    }
}

}  // namespace

void openServiceNotify() {
    closeServiceNotify();
    service = ServiceNotify();
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') {
        return;
    }
    service.name = name;
    size_t length = strlen(name);
    if ((name[0] != '/' && name[0] != '@') || length >= sizeof service.addr.sun_path) {
        sayFailure("not a socket path or abstract name");
        return;
    }
    service.addr.sun_family = AF_UNIX;
    memcpy(service.addr.sun_path, name, length);
    if (name[0] == '@') {
        service.addr.sun_path[0] = '\0';  // abstract: the name is the bytes after the NUL
    } else {
        ++length;  // a path is counted with its NUL
    }
    service.addrSize = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    service.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (service.fd < 0) {
        sayFailure(strerror(errno));
        return;
    }
    // The watchdog is ours when the manager asks for it and names no other process.
    const char *usec = getenv("WATCHDOG_USEC");
    const char *pid = getenv("WATCHDOG_PID");
    service.watchdog = usec != nullptr && strtoull(usec, nullptr, 10) > 0 &&
                       (pid == nullptr || strtol(pid, nullptr, 10) == getpid());
}

bool serviceWatchdogRequested() {
    return service.fd >= 0 && service.watchdog;
}

void notifyService(const std::string &state) {
    if (service.fd < 0) {
        return;
    }
    if (sendto(service.fd, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr *>(&service.addr), service.addrSize) < 0) {
        sayFailure(strerror(errno));
    }
}

void closeServiceNotify() {
    if (service.fd >= 0) {
        close(service.fd);
        service.fd = -1;
    }
}
