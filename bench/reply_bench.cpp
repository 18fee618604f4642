// Time per accepted reply: the scan and each of the three reports, next to
// the least work that produces the same output (the "floor" benchmarks).
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"
#include "tests/support/status_reply.h"
#include "zor_charger/zor_charger.h"

namespace {

using zortest::TYPICAL_REPLY;

constexpr time_t REPORT_TIME = 1700000000;
constexpr int REWIND_EVERY = 4096;  // reports between truncations of a scratch file

// A scratch file opened as a stream, emptied every REWIND_EVERY uses so that a
// long run does not fill the disk.
class ScratchFile {
  public:
    ScratchFile(const std::string &folder, int bufferMode) {
        path_ = folder + "/report.out";
        stream_ = fopen(path_.c_str(), "w");
        if (stream_ != nullptr) {
            setvbuf(stream_, nullptr, bufferMode, BUFSIZ);
        }
    }
    ~ScratchFile() {
        if (stream_ != nullptr) {
            fclose(stream_);
        }
    }
    FILE *get() const { return stream_; }
    void rewindEvery(benchmark::State &state) {
        if (++uses_ % REWIND_EVERY != 0) {
            return;
        }
        state.PauseTiming();
        fflush(stream_);
        if (ftruncate(fileno(stream_), 0) != 0) {
            state.SkipWithError("cannot empty the scratch file");
        }
        rewind(stream_);
        state.ResumeTiming();
    }

  private:
    std::string path_;
    FILE *stream_ = nullptr;
    long uses_ = 0;
};

// Runs `body` with a scratch stream in a scratch folder under `parent`.
template <typename Body>
void withScratchFile(benchmark::State &state, const char *parent, int bufferMode, Body body) {
    zortest::TempDir dir(parent);
    if (!dir.valid()) {
        state.SkipWithError((std::string("no scratch folder under ") + parent).c_str());
        return;
    }
    ScratchFile file(dir.path(), bufferMode);
    if (file.get() == nullptr) {
        state.SkipWithError("cannot open a scratch file");
        return;
    }
    body(file);
}

void BM_DecodeStatusReply(benchmark::State &state) {
    BatteryStatus status{};
    for (auto _ : state) {
        decodeStatusReply(TYPICAL_REPLY, &status);
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(BM_DecodeStatusReply);

// Floor of the scan: the same 24 fields from plain hexadecimal digits, with
// no set-up per field.
void BM_DecodeFloor(benchmark::State &state) {
    int32_t fields[zortest::REPLY_FIELDS];
    for (auto _ : state) {
        const char *p = TYPICAL_REPLY;
        benchmark::DoNotOptimize(p);
        for (int f = 0; f < zortest::REPLY_FIELDS; ++f) {
            uint32_t v = 0;
            for (int i = 0; i < zortest::FIELD_WIDTHS[f]; ++i, ++p) {
                char c = *p;
                v = v * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
            }
            fields[f] = static_cast<int32_t>(v);
        }
        benchmark::DoNotOptimize(fields);
    }
}
BENCHMARK(BM_DecodeFloor);

BatteryStatus sampleStatus() {
    BatteryStatus status{};
    decodeStatusReply(TYPICAL_REPLY, &status);
    return status;
}

// Writes one report per iteration into a scratch file in `dir`, its stream
// buffered as `buffering` says; `flush` flushes after each report, `rewind`
// keeps the file small.
template <auto write>
void writeReports(benchmark::State &state, const char *dir, int buffering, bool flush,
                  bool rewind) {
    BatteryStatus status = sampleStatus();
    withScratchFile(state, dir, buffering, [&](ScratchFile &file) {
        for (auto _ : state) {
            write(file.get(), &status, REPORT_TIME);
            if (flush) {
                fflush(file.get());
            }
            if (rewind) {
                file.rewindEvery(state);
            }
        }
    });
}

// The console report as the charger writes it: its standard output is
// line-buffered, so each line is a write of its own.
void BM_ConsoleReport(benchmark::State &state) {
    writeReports<writeConsoleReport>(state, ".", _IOLBF, false, true);
}
BENCHMARK(BM_ConsoleReport);

// Floor: the same report formatted into the stream's buffer and written once.
void BM_ConsoleReportFloor(benchmark::State &state) {
    writeReports<writeConsoleReport>(state, ".", _IOFBF, true, true);
}
BENCHMARK(BM_ConsoleReportFloor);

// The data log line in the working folder's file system: formatted, flushed
// and synced to the disk.
void BM_DataLogLine(benchmark::State &state) {
    writeReports<writeDataLogLine>(state, ".", _IOFBF, false, false);
}
// Real time: most of it is spent waiting for the disk, not on the CPU.
BENCHMARK(BM_DataLogLine)->MinTime(0.5)->UseRealTime();

// Floor: the same call on a memory file system, where the sync has no disk to
// wait for; what is left is formatting, the write and the calls.
void BM_DataLogLineNoSync(benchmark::State &state) {
    writeReports<writeDataLogLine>(state, "/dev/shm", _IOFBF, false, true);
}
BENCHMARK(BM_DataLogLineNoSync);

void BM_SystemLog(benchmark::State &state) {
    BatteryStatus status = sampleStatus();
    for (auto _ : state) {
        writeSystemLog(&status);
    }
}
BENCHMARK(BM_SystemLog)->UseRealTime();

// Floor: two datagrams of the messages' size sent on a connected socket to
// the same logger, without formatting or time stamps.
void BM_SystemLogFloor(benchmark::State &state) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", zorbench::SYSTEM_LOG_PATH);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        state.SkipWithError("no system log socket");
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    const char first[] =
        "<3>Nov 14 22:13:20 zor_bench: ZOR Battery Current & Gas Gauge: 45.00 80.00";
    const char second[] = "<3>Nov 14 22:13:20 zor_bench: ZOR Battery RH: 45";
    for (auto _ : state) {
        benchmark::DoNotOptimize(send(fd, first, sizeof first - 1, MSG_NOSIGNAL));
        benchmark::DoNotOptimize(send(fd, second, sizeof second - 1, MSG_NOSIGNAL));
    }
    close(fd);
}
BENCHMARK(BM_SystemLogFloor)->UseRealTime();

// One whole accepted reply as the charge loop handles it: the scan, then the
// three reports; the data log in the working folder, the standard output in a
// file in memory as it would go to the journal (a file on the same disk would
// add its own blocks to every sync of the data log).
void BM_WholeReply(benchmark::State &state) {
    zortest::TempDir dir(".");
    zortest::TempDir memoryDir("/dev/shm");
    if (!dir.valid() || !memoryDir.valid()) {
        state.SkipWithError("no scratch folder");
        return;
    }
    FILE *dataLog = fopen((dir.path() + "/data.log").c_str(), "a");
    if (dataLog == nullptr) {
        state.SkipWithError("cannot open a data log");
        return;
    }
    BatteryStatus status{};
    {
        zortest::StdCapture console(memoryDir.path());
        for (auto _ : state) {
            decodeStatusReply(TYPICAL_REPLY, &status);
            reportStatus(&status, dataLog);
        }
    }
    fclose(dataLog);
}
BENCHMARK(BM_WholeReply)->MinTime(0.5)->UseRealTime();

}  // namespace
