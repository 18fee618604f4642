// Pieces shared by the benchmark programs: a stand-in system logger and the
// clocks they read. Scratch folders (zortest::TempDir) and standard output
// sent to a file (zortest::StdCapture) come from the tests' support layer.
#pragma once

#include <stdio.h>
#include <time.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace zorbench {

// Where glibc's syslog sends its messages.
constexpr char SYSTEM_LOG_PATH[] = "/dev/log";

// Stands in for the system logger when the machine has none: binds a datagram
// socket at /dev/log and reads away what arrives, on a thread of its own, so
// that syslog() neither fails to connect nor blocks on a full queue. Leaves
// an existing /dev/log alone (the real logger then takes the messages).
// Removes its socket file when stopped.
class SystemLogSink {
  public:
    SystemLogSink() = default;
    ~SystemLogSink() { stop(); }
    SystemLogSink(const SystemLogSink &) = delete;
    SystemLogSink &operator=(const SystemLogSink &) = delete;

    // True when messages reach a logger: ours or one already there. *note
    // says which.
    bool start(std::string *note);
    void stop();
    long messages() const { return messages_; }

  private:
    void drain();
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> running_{false};
    std::atomic<long> messages_{0};
    std::thread thread_;
};

// Seconds on the monotonic clock and of this thread's CPU time.
double monotonicSeconds();
double threadCpuSeconds();

// A "key: value kB" line of /proc/self/status, in kB; -1 when absent.
long procStatusKb(const char *key);

}  // namespace zorbench
