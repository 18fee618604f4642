// Host names looked up with a bound on the wait. glibc's getaddrinfo_a runs a
// lookup on a thread of its own, so the caller can stop waiting for it; the
// resolver's own time-outs (5 s a try, two tries by default) are no bound.
#include "serial/serial_internal.h"

#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <new>

#include "util/util.h"

namespace {

// How long an answer that came after its caller gave up stays good for the
// next call for that host.
constexpr long ANSWER_KEEP_MS = 60 * 1000;

// A lookup under way. glibc writes its answer into the request until it has
// completed, and gai_cancel cannot stop a lookup that has started, so one
// given up on stays in `underWay` until it completes: nothing it writes to is
// freed beneath it.
struct Lookup {
    gaicb request;
    addrinfo hints;
    char *host;
    long startedAtMs;
    Lookup *next;
};

Lookup *underWay = nullptr;

void forget(Lookup *lookup) {
    for (Lookup **at = &underWay; *at != nullptr; at = &(*at)->next) {
        if (*at == lookup) {
            *at = lookup->next;
            break;
        }
    }
    if (lookup->request.ar_result != nullptr) {
        freeaddrinfo(lookup->request.ar_result);
    }
    delete[] lookup->host;
    delete lookup;
}

// Starts looking `host` up, IPv4 only. Returns the lookup, or null with the
// resolver's error in *code.
Lookup *startLookup(const char *host, int *code) {
    Lookup *lookup = new (std::nothrow) Lookup{};
    size_t size = strlen(host) + 1;
    char *copy = lookup != nullptr ? new (std::nothrow) char[size] : nullptr;
    if (copy == nullptr) {
        delete lookup;
        *code = EAI_MEMORY;
        return nullptr;
    }
    memcpy(copy, host, size);
    lookup->host = copy;
    lookup->hints.ai_family = AF_INET;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->request.ar_name = copy;
    lookup->request.ar_request = &lookup->hints;
    lookup->startedAtMs = monotonicMs();
    gaicb *list[] = {&lookup->request};
    *code = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
    if (*code != 0) {
        forget(lookup);
        return nullptr;
    }
    lookup->next = underWay;
    underWay = lookup;
    return lookup;
}

// Waits for the lookup to complete, at most `boundMs` (below 0: for as long
// as it takes). Returns its result, or EAI_INPROGRESS when the time ran out.
int waitForLookup(Lookup *lookup, int boundMs) {
    const long deadline = monotonicMs() + boundMs;
    const gaicb *list[] = {&lookup->request};
    int code;
    while ((code = gai_error(&lookup->request)) == EAI_INPROGRESS) {
        long left = deadline - monotonicMs();
        if (boundMs >= 0 && left <= 0) {
            break;
        }
        timespec wait{left / 1000, (left % 1000) * 1000000};
        // A wait cut short by a signal is simply taken again.
        gai_suspend(list, 1, boundMs >= 0 ? &wait : nullptr);
    }
    return code;
}

}  // namespace

int lookUpHost(const char *host, int boundMs, in_addr *address) {
    // A lookup given up on for this host is waited on again rather than asked
    // anew, so a silent name server holds one lookup, not one a call; one
    // that has found an address since, asked within ANSWER_KEEP_MS, gives it
    // at once, so a name server slower than the bound still has a moved name
    // followed. Such an answer for another host is kept for that host's next
    // call; any other lookup that has completed is done with.
    Lookup *lookup = nullptr;
    const long now = monotonicMs();
    for (Lookup *at = underWay, *next; at != nullptr; at = next) {
        next = at->next;
        const int code = gai_error(&at->request);
        const bool kept =
            code == EAI_INPROGRESS || (code == 0 && now - at->startedAtMs <= ANSWER_KEEP_MS);
        if (kept && strcmp(at->host, host) == 0) {
            lookup = at;
        } else if (!kept) {
            forget(at);
        }
    }
    int code = 0;
    if (lookup == nullptr && (lookup = startLookup(host, &code)) == nullptr) {
        return code;
    }
    code = waitForLookup(lookup, boundMs);
    if (code == EAI_INPROGRESS) {
        int cancel = gai_cancel(&lookup->request);
        if (cancel == EAI_NOTCANCELED) {
            return EAI_AGAIN;  // no answer in time, as the resolver's own time-outs say it
        }
        code = cancel == EAI_ALLDONE ? gai_error(&lookup->request) : EAI_AGAIN;
    }
    const addrinfo *found = code == 0 ? lookup->request.ar_result : nullptr;
    while (found != nullptr && found->ai_family != AF_INET) {
        found = found->ai_next;
    }
    if (found != nullptr) {
        *address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    } else if (code == 0) {
        code = EAI_NODATA;
    }
    forget(lookup);
    return code;
}
