// Shared pieces for the tests: owned descriptors, pseudo-terminal pairs,
// loopback TCP listeners, bounded reads and capture of the standard streams.
// Everything here uses the real system: real termios, real sockets.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zortest {

// A base for objects that own a resource: they are neither copied nor moved.
class Pinned {
  public:
    Pinned(const Pinned &) = delete;
    Pinned &operator=(const Pinned &) = delete;

  protected:
    Pinned() = default;
};

// A descriptor closed when it goes out of scope.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// A pseudo-terminal pair: the master side stands in for the instrument, the
// slave path is what the code under test opens as its serial device.
struct PtyPair {
    UniqueFd master;
    std::string slavePath;
    // Opens a new pair; returns false (with a reason in *why) when the
    // machine has no pseudo-terminals.
    bool open(std::string *why);
};

// A TCP listener on 127.0.0.1, at a port the system chooses unless one is given.
struct LoopbackListener {
    UniqueFd fd;
    int port = 0;
    bool listen(int at = 0);               // false on failure, a port taken too
    UniqueFd accept(int timeoutMs) const;  // invalid when no client came in time
    std::string endpoint() const;          // "tcp:127.0.0.1:PORT"
};

// A loopback port that nothing listens on (bound, then closed), for
// connection-refused cases.
int unusedLoopbackPort();

// The port of a "tcp:127.0.0.1:PORT" endpoint; 0 for any other endpoint.
int loopbackPortOf(const std::string &endpoint);

// True when something accepts connections at the loopback port.
bool loopbackAccepts(int port);

// Reads what arrives on fd until `want` bytes came or `timeoutMs` passed
// without any byte. Returns what was read.
std::string readFor(int fd, size_t want, int timeoutMs);

// Reads everything that arrives on fd until it has been quiet for `quietMs`.
std::string drain(int fd, int quietMs);

// How many times `what` occurs in `text`, overlaps included.
size_t occurrences(const std::string &text, const std::string &what);

// Stands in for sleep() where a test runs the charge loop without pauses.
unsigned noSleep(unsigned seconds);

// Writes all of `text` on fd; returns false on failure.
bool writeAll(int fd, const std::string &text);

// The text with each line number after "FILE:" written as `mark`, and the
// one an assertion message names when it is that prefix's own, so that
// expected diagnostics do not change when the source moves.
std::string withoutLineNumbers(const std::string &text, const std::string &file,
                               const std::string &mark);

// Captures what the process writes on its standard output and standard error
// stream (the descriptors, so unbuffered writes and child writes count too)
// between construction and stop(), in unlinked files under `folder`. The
// standard output is line-buffered from then on, as the charger's own is.
// The texts are read back only when asked for, so a benchmark pays nothing.
class StdCapture : Pinned {
  public:
    explicit StdCapture(const std::string &folder = "/tmp");
    ~StdCapture();
    bool valid() const { return fileOut_ >= 0 && fileErr_ >= 0; }
    void stop();               // restores the streams
    const std::string &out();  // what was captured; stops first
    const std::string &err();
    // The standard output as it was before the captures now in force; -1
    // when none is. A failed assertion's message goes there, not into one.
    static int realOut();

  private:
    int savedOut_ = -1, savedErr_ = -1;
    int fileOut_ = -1, fileErr_ = -1;
    bool stopped_ = false;
    std::string out_, err_;
};

// The number of descriptors this process has open.
int openDescriptorCount();

// A fresh empty folder under `parent`, named by its absolute path and removed
// with its contents when the object goes away.
class TempDir : Pinned {
  public:
    explicit TempDir(const std::string &parent = "/tmp");
    ~TempDir();
    const std::string &path() const { return path_; }
    bool valid() const { return !path_.empty(); }

  private:
    std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string &path);

// The text of the charger's data log (the file named "...zor.log") in
// `folder`; "<none>" when there is none.
std::string dataLogIn(const std::string &folder);

// A program run in the background in `dir`, its standard output and error
// stream going to files (the same one when errPath is empty) or to
// descriptors the caller holds; stopped (TERM, then KILL) and reaped when the
// object goes away.
class Child : Pinned {
  public:
    Child(std::vector<std::string> argv, const std::string &dir, const std::string &outPath,
          const std::string &errPath = "");
    Child(std::vector<std::string> argv, const std::string &dir, int outFd, int errFd);
    ~Child() { stop(); }
    bool running();
    // Waits up to `limit` for the program to end; returns its exit status
    // (128 + the signal's number when a signal ended it), or -1 when it still
    // runs.
    int wait(std::chrono::milliseconds limit);
    void signal(int number);
    void stop();

  private:
    void start(std::vector<std::string> argv, const std::string &dir, int outFd, int errFd);
    pid_t pid_ = -1;
    int status_ = -1;
};

// Waits up to `limit`, checking every 100 ms, until `done` holds; returns
// whether it did.
bool waitFor(std::chrono::milliseconds limit, const std::function<bool()> &done);

// A /dev of the calling thread's own, in a mount namespace of its own, made
// as bubblewrap's --dev makes one: a small tmpfs with the machine's null,
// zero, full, random, urandom and tty nodes, its pseudo-terminals and shared
// memory bound in. What a test puts there (a stand-in logger at /dev/log) is
// seen by this thread and the threads and children it starts from then on,
// never by the rest of the machine, and it is gone with the namespace
// however the test ends. Needs root (CAP_SYS_ADMIN).
class PrivateDev : Pinned {
  public:
    ~PrivateDev();  // the thread goes back to the machine's /dev
    // False, with the reason, when the thread cannot have one.
    bool enter(std::string *why);

  private:
    void leave();
    UniqueFd home_;  // the mount namespace the thread came from
};

// Stands in for the system logger at /dev/log, in a private /dev of the
// calling thread's (above), so that the records are ours and nothing is
// bound at the machine's /dev/log. It reads only when asked, so a test can
// stop reading and let the logger's queue fill, as a stalled journald's or
// rsyslog's does.
class SystemLogStandIn : Pinned {
  public:
    ~SystemLogStandIn();
    // False, with the reason, when no private /dev or no socket can be had.
    bool start(std::string *why);
    int fd() const { return fd_.get(); }
    // The records queued now, oldest first, waiting up to `waitMs` for the first.
    std::vector<std::string> take(int waitMs = 0);

  private:
    PrivateDev dev_;
    UniqueFd fd_;
};

// Stands in for a service manager's notify socket: an AF_UNIX datagram
// socket at `name` (a path, or "@" and an abstract name), whose thread keeps
// every datagram with the time it arrived. Stops when it goes away.
class NotifyListener : Pinned {
  public:
    struct Datagram {
        std::chrono::steady_clock::time_point at;
        std::string text;
    };
    explicit NotifyListener(const std::string &name);
    ~NotifyListener();
    bool valid() const { return fd_.valid(); }
    std::vector<Datagram> datagrams();

  private:
    UniqueFd fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Datagram> datagrams_;
    std::thread thread_;
};

// ser2net in front of two serial devices, run with the configuration that the
// project ships for a real bench, its accepters moved to 127.0.0.1 at the
// given TCP ports. Stopped when the object goes away.
class Ser2net {
  public:
    static bool installed();
    // Starts it and waits until it listens; false, with a reason, otherwise.
    bool start(const std::string &supplyDevice, const std::string &batteryDevice, int supplyPort,
               int batteryPort, std::string *why);
    std::string supplyEndpoint() const { return "tcp:127.0.0.1:" + std::to_string(supplyPort_); }
    std::string batteryEndpoint() const { return "tcp:127.0.0.1:" + std::to_string(batteryPort_); }

  private:
    TempDir dir_;
    std::unique_ptr<Child> server_;
    int supplyPort_ = 0, batteryPort_ = 0;
};

}  // namespace zortest
