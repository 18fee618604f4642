// How reports leave the charger: the console (the standard output and the
// standard error stream) and the system log. The poll loop must never wait on
// a reader or a logger that has stopped, so each gets a short wait per poll,
// shared by all, and what is not taken then is kept or dropped, counted, and
// said once.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdarg.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <string>

#include "util/util.h"
#include "zor_charger/zor_charger.h"

namespace {

// Bytes the stdio stream gathers between flushes: a whole poll's report.
constexpr size_t CONSOLE_BUFFER_BYTES = 8192;
// A write of at most PIPE_BUF bytes to a pipe that polls writable does not
// block, and is never interleaved with another writer's.
constexpr size_t CONSOLE_WRITE_BYTES = PIPE_BUF;
constexpr size_t SYSTEM_LOG_MESSAGE_BYTES = 2048;

// Milliseconds this poll may still spend waiting for a reader or the logger.
long waitLeftMs = REPORT_WAIT_MS;

// Whether fd is ready for output now or, when `mayWait`, within what is left
// of this poll's wait. An error or hang-up counts as ready: the write that
// follows tells it.
bool readyForOutput(int fd, bool mayWait) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 0) > 0) {
        return true;
    }
    if (!mayWait || waitLeftMs <= 0) {
        return false;
    }
    long start = monotonicMs();
    int ready = poll(&p, 1, static_cast<int>(waitLeftMs));
    waitLeftMs -= monotonicMs() - start;
    return ready > 0;
}

// One console descriptor and the whole lines it has not taken yet.
struct Outlet {
    int fd = -1;
    bool ownFd = false;  // a descriptor of our own for the same file
    bool isSocket = false;
    std::string open;               // text of a line not ended yet
    std::deque<std::string> lines;  // kept lines, oldest first
    size_t bytes = 0;               // in `lines`, less what is out of the first
    size_t headWritten = 0;         // bytes of the first line already written
    bool stalled = false;           // said "not taking", not yet "again"
    long dropped = 0;
};

struct Console {
    std::recursive_mutex mutex;  // the charger has one thread; a test may have more
    FILE *savedOut = nullptr, *savedErr = nullptr;
    FILE *out = nullptr, *err = nullptr;
    Outlet outOutlet, errOutlet;
    Outlet *errTarget = &errOutlet;  // the standard output's when both are one file
};
Console console;

struct SystemLog {
    int fd = -1;
    bool stalled = false;
    long dropped = 0;
};
SystemLog systemLogState;

// Dropped since the process started, for monitors; the counts above are an outage's.
long consoleLinesDroppedTotal = 0;
long systemLogMessagesDroppedTotal = 0;

void keepText(Outlet &outlet, const char *text, size_t size) {
    outlet.open.append(text, size);
    size_t start = 0;
    for (size_t end; (end = outlet.open.find('\n', start)) != std::string::npos; start = end + 1) {
        outlet.lines.emplace_back(outlet.open, start, end + 1 - start);
        outlet.bytes += end + 1 - start;
    }
    outlet.open.erase(0, start);
}

void drain(Outlet &outlet);

// A line of the charger's own about its outlets, on the standard error stream.
void sayOnErr(const std::string &line) {
    Outlet &err = *console.errTarget;
    if (err.fd < 0) {  // no console of ours: the plain descriptor, never waited on
        if (readyForOutput(STDERR_FILENO, false)) {
            ssize_t wrote = write(STDERR_FILENO, line.data(), line.size());
            (void)wrote;  // a line the stream does not take is lost, as any failed report
        }
        return;
    }
    keepText(err, line.data(), line.size());
    drain(err);
}

// Drops the oldest whole lines beyond the bound; a line partly written stays,
// so that its rest follows what is already out.
void dropBeyondBound(Outlet &outlet) {
    while (outlet.bytes > CONSOLE_KEEP_BYTES && outlet.lines.size() > 1) {
        auto oldest = outlet.lines.begin() + (outlet.headWritten > 0 ? 1 : 0);
        outlet.bytes -= oldest->size();
        outlet.lines.erase(oldest);
        ++outlet.dropped;
        ++consoleLinesDroppedTotal;
    }
}

// Writes the kept lines, oldest first, in writes that cannot block, for as
// long as the descriptor takes them.
void drain(Outlet &outlet) {
    bool tookSome = false;  // a write of this call took text
    while (!outlet.lines.empty()) {
        std::string chunk = outlet.lines.front().substr(outlet.headWritten);
        for (size_t i = 1; i < outlet.lines.size() &&
                           chunk.size() + outlet.lines[i].size() <= CONSOLE_WRITE_BYTES;
             ++i) {
            chunk += outlet.lines[i];
        }
        if (chunk.size() > CONSOLE_WRITE_BYTES) {
            chunk.resize(CONSOLE_WRITE_BYTES);  // a long line goes out in pieces, whole in the end
        }
        if (!readyForOutput(outlet.fd, !outlet.stalled)) {
            break;
        }
        ssize_t wrote = outlet.isSocket
                            ? send(outlet.fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                            : write(outlet.fd, chunk.data(), chunk.size());
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0 && errno == EAGAIN) {
            // Full after all: a terminal polls writable while full. A live
            // reader gets what is left of the wait, a little at a time.
            if (outlet.stalled || waitLeftMs <= 0) {
                break;
            }
            long pause = waitLeftMs < 10 ? waitLeftMs : 10;
            usleep(static_cast<useconds_t>(pause) * 1000);
            waitLeftMs -= pause;
            continue;
        }
        if (wrote <= 0) {
            // The reader is gone for good (a closed pipe, a bad descriptor):
            // the text is lost as any failed write's is, and nothing waits.
            // Nothing was taken either: a stall said stays so.
            outlet.lines.clear();
            outlet.bytes = outlet.headWritten = 0;
            return;
        }
        tookSome = true;
        for (size_t left = static_cast<size_t>(wrote); left > 0;) {
            size_t rest = outlet.lines.front().size() - outlet.headWritten;
            size_t taken = left < rest ? left : rest;
            outlet.headWritten += taken;
            outlet.bytes -= taken;
            left -= taken;
            if (outlet.headWritten == outlet.lines.front().size()) {
                outlet.lines.pop_front();
                outlet.headWritten = 0;
            }
        }
    }
    const bool isStandardOutput = &outlet == &console.outOutlet;
    if (outlet.lines.empty()) {
        if (outlet.stalled && tookSome) {
            outlet.stalled = false;
            if (isStandardOutput) {
                long dropped = outlet.dropped;
                sayOnErr("console taking output again: " + std::to_string(dropped) +
                         " lines dropped\n");
                systemLog(LOG_ERR, "console taking output again: %ld lines dropped", dropped);
            }
            outlet.dropped = 0;
        }
        return;
    }
    dropBeyondBound(outlet);
    if (!outlet.stalled) {
        outlet.stalled = true;
        if (isStandardOutput) {
            if (console.errTarget != &outlet) {
                sayOnErr("console not taking output\n");
            } else {  // the same stalled reader: kept in order, said when it reads again
                keepText(outlet, "console not taking output\n", 26);
            }
            systemLog(LOG_ERR, "console not taking output");
        }
    }
}

ssize_t writeStandardOutput(void *, const char *text, size_t size) {
    std::lock_guard<std::recursive_mutex> hold(console.mutex);
    keepText(console.outOutlet, text, size);
    drain(console.outOutlet);
    return static_cast<ssize_t>(size);  // taken: kept, written or counted
}

ssize_t writeStandardError(void *, const char *text, size_t size) {
    // What the standard output has gathered went first, so it goes out first.
    fflush(console.out);
    std::lock_guard<std::recursive_mutex> hold(console.mutex);
    keepText(*console.errTarget, text, size);
    drain(*console.errTarget);
    return static_cast<ssize_t>(size);
}

void attach(Outlet &outlet, int fd) {
    outlet = Outlet();
    outlet.fd = fd;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return;
    }
    outlet.isSocket = S_ISSOCK(st.st_mode);
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A pipe or a terminal holds a writer up once its reader stops, even
        // after a poll said writable, and its descriptor is the shell's too:
        // a non-blocking one of our own for the same file takes what fits
        // and never waits, and leaves the shell's as it was.
        char path[32];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            outlet.fd = own;
            outlet.ownFd = true;
        }
    }
}

void detach(Outlet &outlet) {
    if (outlet.ownFd) {
        close(outlet.fd);
    }
    outlet = Outlet();
}

bool sameFile(int a, int b) {
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Connects to the logger's socket; false when there is none.
bool connectSystemLog() {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, _PATH_LOG, sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return false;
    }
    systemLogState.fd = fd;
    return true;
}

ssize_t sendToSystemLog(const char *message, size_t size) {
    return send(systemLogState.fd, message, size, MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

void startReportWait() {
    waitLeftMs = REPORT_WAIT_MS;
}

void openConsole() {
    std::lock_guard<std::recursive_mutex> hold(console.mutex);
    if (console.out != nullptr) {
        return;
    }
    fflush(stdout);
    fflush(stderr);
    attach(console.outOutlet, STDOUT_FILENO);
    attach(console.errOutlet, STDERR_FILENO);
    console.errTarget = sameFile(STDOUT_FILENO, STDERR_FILENO) ? &console.outOutlet
                                                               : &console.errOutlet;
    console.out = fopencookie(nullptr, "w", {nullptr, writeStandardOutput, nullptr, nullptr});
    console.err = fopencookie(nullptr, "w", {nullptr, writeStandardError, nullptr, nullptr});
    if (console.out == nullptr || console.err == nullptr) {
        // Out of memory at start: the plain streams stay, as they were.
        for (FILE *stream : {console.out, console.err}) {
            if (stream != nullptr) {
                fclose(stream);
            }
        }
        console.out = console.err = nullptr;
        detach(console.outOutlet);
        detach(console.errOutlet);
        return;
    }
    setvbuf(console.out, nullptr, _IOFBF, CONSOLE_BUFFER_BYTES);
    setvbuf(console.err, nullptr, _IONBF, 0);
    console.savedOut = stdout;
    console.savedErr = stderr;
    stdout = console.out;
    stderr = console.err;
}

void closeConsole() {
    std::lock_guard<std::recursive_mutex> hold(console.mutex);
    if (console.out == nullptr) {
        return;
    }
    fflush(stdout);
    stdout = console.savedOut;
    stderr = console.savedErr;
    fclose(console.out);
    fclose(console.err);
    console.out = console.err = nullptr;
    // One last chance for what is kept, a line not ended included; then it is gone.
    for (Outlet *outlet : {&console.outOutlet, &console.errOutlet}) {
        if (!outlet->open.empty()) {
            outlet->lines.push_back(std::move(outlet->open));
            outlet->bytes += outlet->lines.back().size();
            outlet->open.clear();
        }
        drain(*outlet);
    }
    detach(console.outOutlet);
    detach(console.errOutlet);
    console.errTarget = &console.errOutlet;
}

void systemLog(int priority, const char *format, ...) {
    if ((setlogmask(0) & LOG_MASK(LOG_PRI(priority))) == 0) {
        return;
    }
    // The message as the C library's syslog() sends it: "<PRI>Mmm dd hh:mm:ss
    // TAG: text", its default facility where the priority names none.
    if ((priority & LOG_FACMASK) == 0) {
        priority |= LOG_USER;
    }
    char message[SYSTEM_LOG_MESSAGE_BYTES];
    time_t now = time(nullptr);
    tm local;
    char stamp[32] = "";
    if (localtime_r(&now, &local) != nullptr) {
        strftime(stamp, sizeof stamp, "%h %e %T", &local);
    }
    int head = snprintf(message, sizeof message, "<%d>%s %s: ", priority, stamp,
                        program_invocation_short_name);
    va_list args;
    va_start(args, format);
    int body = vsnprintf(message + head, sizeof message - static_cast<size_t>(head), format, args);
    va_end(args);
    size_t size = static_cast<size_t>(head) + static_cast<size_t>(body > 0 ? body : 0);
    if (size >= sizeof message) {
        size = sizeof message - 1;
    }

    std::lock_guard<std::recursive_mutex> hold(console.mutex);
    SystemLog &log = systemLogState;
    if (log.fd < 0 && !connectSystemLog()) {
        return;  // no logger on this machine: nothing to wait for, as with syslog()
    }
    ssize_t sent = sendToSystemLog(message, size);
    if (sent < 0 && errno == EAGAIN && readyForOutput(log.fd, !log.stalled)) {
        sent = sendToSystemLog(message, size);
    }
    if (sent < 0 && errno != EAGAIN) {
        // The logger restarted and its socket is a new one: connect once more.
        closeSystemLog();
        if (!connectSystemLog()) {
            return;
        }
        sent = sendToSystemLog(message, size);
    }
    if (sent < 0) {
        ++log.dropped;
        ++systemLogMessagesDroppedTotal;
        if (!log.stalled) {
            log.stalled = true;
            sayOnErr("system log not taking messages\n");
        }
        return;
    }
    if (log.stalled) {
        log.stalled = false;
        sayOnErr("system log taking messages again: " + std::to_string(log.dropped) +
                 " dropped\n");
        log.dropped = 0;
    }
}

void closeSystemLog() {
    if (systemLogState.fd >= 0) {
        close(systemLogState.fd);
        systemLogState.fd = -1;
    }
}

long systemLogMessagesDropped() {
    std::lock_guard<std::recursive_mutex> hold(console.mutex);
    return systemLogMessagesDroppedTotal;
}

long consoleLinesDropped() {
    std::lock_guard<std::recursive_mutex> hold(console.mutex);
    return consoleLinesDroppedTotal;
}
