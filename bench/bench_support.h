// Pieces shared by the benchmark programs: a stand-in system logger, scratch
// folders, standard output sent to a file, and the clocks they read.
#pragma once

#include <stdio.h>
#include <time.h>

#include <atomic>
#include <string>
#include <thread>

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

// A scratch folder under the given parent, named by its absolute path and
// removed with its content.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string &parent = ".");
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    bool valid() const { return !path_.empty(); }

  private:
    std::string path_;
};

// Sends the standard output (descriptor and stream) to a file until restored,
// line-buffered as the charger's own standard output is.
class StdoutToFile {
  public:
    explicit StdoutToFile(const std::string &file);
    ~StdoutToFile() { restore(); }
    StdoutToFile(const StdoutToFile &) = delete;
    StdoutToFile &operator=(const StdoutToFile &) = delete;
    bool valid() const { return saved_ >= 0; }
    void restore();

  private:
    int saved_ = -1;
};

// Seconds on the monotonic clock and of this thread's CPU time.
double monotonicSeconds();
double threadCpuSeconds();

// A "key: value kB" line of /proc/self/status, in kB; -1 when absent.
long procStatusKb(const char *key);

}  // namespace zorbench
