#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/status_reply.h"
#include "tests/support/test_support.h"
#include "zor_charger/zor_charger.h"

// The clock as the code under test reads it: the real one, unless a test
// fixes it so that what depends on the second cannot change between calls.
static time_t fixedNow = 0;
extern "C" time_t time(time_t *out) noexcept {
    static auto real = reinterpret_cast<time_t (*)(time_t *)>(dlsym(RTLD_NEXT, "time"));
    time_t now = fixedNow != 0 ? fixedNow : real(nullptr);
    if (out != nullptr) {
        *out = now;
    }
    return now;
}

// The syncs as the code under test makes them, once a test shares this record
// with its forked child: the next `failing` fail with EIO, and each that
// succeeds records the size of its file then.
struct SyncRecord {
    long failing;
    long count;
    off_t sizes[8];
};
static SyncRecord *syncs = nullptr;
extern "C" int fsync(int fd) {
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (syncs != nullptr && syncs->failing > 0) {
        --syncs->failing;
        errno = EIO;
        return -1;
    }
    int result = real(fd);
    struct stat st;
    if (syncs != nullptr && result == 0 && fstat(fd, &st) == 0 && syncs->count < 8) {
        syncs->sizes[syncs->count++] = st.st_size;
    }
    return result;
}

namespace {

BatteryStatus known() {
    BatteryStatus status{};
    decodeStatusReply(zortest::KNOWN_REPLY, &status);
    return status;
}

// What one of the report writers puts into a stream.
template <typename Writer>
std::string written(Writer write) {
    FILE *file = tmpfile();
    write(file);
    fflush(file);
    rewind(file);
    std::string text;
    for (int c; (c = fgetc(file)) != EOF;) {
        text += static_cast<char>(c);
    }
    fclose(file);
    return text;
}

TEST(ReportTest, ConsoleReportOfAKnownReply) {
    BatteryStatus status = known();
    EXPECT_EQ(written([&](FILE *f) { writeConsoleReport(f, &status, 1700000000); }),
              "time: 1700000000\n"
              "gasGauge : 5.000000\n"
              "V1:3.600 V2:3.601 V3:3.602 V4:3.603\n"
              "V5:3.604 V6:3.605 V7:3.606 V8:3.607\n"
              "Current: -1.25\n"
              "Stack Voltage: 28.828000\n"
              "Temps(layer 8 to layer 1):  5 10 20 30 255  0  1 99\n"
              "Heatsink temp: 45\n"
              "relative Humidity: 42\n"
              "balance register:  0\n"
              "WARNING: temp alert register:  1\n"
              "WARNING: volt alert register: 1a2b\n"
              "Battery Status Register: 8408\n"
              "Fan state: On\nMain Fuse: Good\nSafe Operating Area: Good\nOvercurrent: Good\n"
              "Undervoltage: Good\nOvervoltage: Good\nDischarge Mode: Off\nCharge Mode: On\n"
              "Discharge Transient: Good\nBattery Cold Limit: Good\nHeatsink Hot Limit: Good\n"
              "Battery Hot Limit: Good\nBattery Enable: On\n\n");

    BatteryStatus quiet{};
    quiet.statusRegister = 8;
    std::string text = written([&](FILE *f) { writeConsoleReport(f, &quiet, 4102444800); });
    EXPECT_EQ(text.find("WARNING"), std::string::npos);
    EXPECT_NE(text.find("time: 4102444800\n"), std::string::npos) << "times after 2038";
    EXPECT_NE(text.find("\ntemp alert register:  0\n"), std::string::npos);
    EXPECT_NE(text.find("Battery Status Register:    8\n"), std::string::npos);
}

TEST(ReportTest, DataLogLineOfAKnownReply) {
    BatteryStatus status = known();
    EXPECT_EQ(written([&](FILE *f) { writeDataLogLine(f, &status, 1700000000); }),
              "1700000000,5.00,-1.25,42, 0, 1,1a2b,8408\n");
}

TEST(ReportTest, DataLogIsNamedByStartTimeAndAppended) {
    zortest::TempDir dir;
    char home[4096];
    ASSERT_NE(getcwd(home, sizeof home), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    char name[DATA_LOG_NAME_SIZE];
    for (time_t start : {1700000000L, 1700000000L, 4102444800L}) {  // the last after 2038
        fixedNow = start;
        FILE *log = openDataLog(name);
        fixedNow = 0;
        ASSERT_NE(log, nullptr);
        EXPECT_EQ(name, std::to_string(start) + "zor.log");
        fprintf(log, "%ld\n", static_cast<long>(start));
        fclose(log);
    }
    EXPECT_EQ(zortest::readFile(dir.path() + "/1700000000zor.log"), "1700000000\n1700000000\n");
    EXPECT_EQ(zortest::readFile(dir.path() + "/4102444800zor.log"), "4102444800\n");
    ASSERT_EQ(chdir(home), 0);
}

using LoggerStandIn = zortest::SystemLogStandIn;

TEST(ReportTest, SystemLogMessagesReachTheLogger) {
    std::optional<LoggerStandIn> logger(std::in_place);
    std::string why;
    if (!logger->start(&why)) {
        GTEST_SKIP() << why;
    }

    BatteryStatus status{};
    status.gasGauge = 3000;
    status.current = 0x1234;
    status.relativeHumidity = 7;
    writeSystemLog(&status);

    // LOG_ERR without a facility: glibc adds its default facility, LOG_USER.
    const std::string want[] = {"<11>", ": ZOR Battery Current & Gas Gauge: 46.60 30.00", "<11>",
                                ": ZOR Battery RH:  7"};
    size_t found = 0;
    for (const std::string &record : logger->take(2000)) {
        // Other tests may log at the same time: take ours, in order.
        if (found < 4 && record.ends_with(want[found + 1])) {
            EXPECT_TRUE(record.starts_with(want[found])) << record;
            found += 2;
        }
    }
    EXPECT_EQ(found, 4u) << "both messages reach the logger, in order";

    // Byte for byte what the C library's syslog() sends, but for the clock's
    // "Mmm dd hh:mm:ss", which may tick between the two.
    // Each time after the logger restarted, its socket a new one, and with a
    // message first that the mask leaves out.
    for (int priority : {LOG_ERR, LOG_NOTICE, LOG_LOCAL3 | LOG_WARNING}) {
        logger.reset();
        ASSERT_TRUE(logger.emplace().start(&why)) << why;
        const int mask = setlogmask(LOG_UPTO(LOG_WARNING));
        systemLog(LOG_NOTICE, "ZOR masked");
        setlogmask(mask);
        syslog(priority, "ZOR battery link lost: %s", "connection closed by peer");
        systemLog(priority, "ZOR battery link lost: %s", "connection closed by peer");
        // Other tests' chargers may log at the same time: ours carry our name.
        std::vector<std::string> both = logger->take(2000);
        std::erase_if(both, [](const std::string &record) {
            return record.find(std::string(" ") + program_invocation_short_name + ": ") ==
                   std::string::npos;
        });
        ASSERT_EQ(both.size(), 2u);
        for (std::string &record : both) {
            size_t stamp = record.find('>') + 1;
            ASSERT_GT(record.size(), stamp + 16);
            record.replace(stamp, 15, "Mmm dd hh:mm:ss");
        }
        EXPECT_EQ(both[1], both[0]);
    }
}

// A file system that fills up and frees again: a file size limit in a child
// process, SIGXFSZ ignored, so that a write stops short at the limit and the
// next one fails with EFBIG, the way a full disk does; or syncs that fail, as
// on a disk that reports a write error.
TEST(ReportTest, DataLogThroughAFullFileSystem) {
    const BatteryStatus status = known();
    const auto lineAt = [](long i) {
        return std::to_string(1700000000 + i) + ",5.00,-1.25,42, 0, 1,1a2b,8408\n";
    };
    const long size = static_cast<long>(lineAt(0).size());
    const long bound = static_cast<long>(DATA_LOG_KEEP_BYTES) / size;
    // Lines written before the limit, bytes it leaves after them, lines written while it
    // holds; or, for `syncFails`, while every sync fails instead.
    const struct {
        const char *what;
        long before, room, full;
        bool syncFails;
    } rows[] = {
        {"a normal run", 2, size, 0, false},
        {"the limit inside a line", 1, size / 2, 1, false},
        {"five lines while full", 1, 0, 5, false},
        {"more lines than are kept", 0, 0, bound + 3, false},
        {"a failed sync", 1, 0, 1, true},
        {"three failed syncs", 0, 0, 3, true},
    };
    syncs = static_cast<SyncRecord *>(
        mmap(nullptr, sizeof *syncs, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(syncs, MAP_FAILED);
    LoggerStandIn logger;
    std::string why;
    const bool standIn = logger.start(&why);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        zortest::TempDir dir;
        const std::string path = dir.path() + "/data.log";
        int err[2];  // a pipe: the limit would hold back reports to a file too
        ASSERT_EQ(pipe(err), 0);
        *syncs = SyncRecord{};
        pid_t child = fork();
        if (child == 0) {
            dup2(err[1], STDERR_FILENO);
            signal(SIGXFSZ, SIG_IGN);
            FILE *log = fopen(path.c_str(), "a");
            rlimit space;
            getrlimit(RLIMIT_FSIZE, &space);
            const rlimit full{static_cast<rlim_t>(row.before * size + row.room), space.rlim_max};
            long i = 0;
            for (; i < row.before + row.full; ++i) {
                if (i == row.before && row.syncFails) {
                    syncs->failing = row.full;
                } else if (i == row.before) {
                    setrlimit(RLIMIT_FSIZE, &full);
                }
                writeDataLogLine(log, &status, 1700000000 + i);
            }
            struct stat st;
            bool whole = fstat(fileno(log), &st) == 0 && st.st_size == row.before * size;
            setrlimit(RLIMIT_FSIZE, &space);
            writeDataLogLine(log, &status, 1700000000 + i);
            _exit(whole ? 0 : 1);
        }
        close(err[1]);
        zortest::UniqueFd errRead(err[0]);
        int waited = -1;
        ASSERT_EQ(waitpid(child, &waited, 0), child);
        EXPECT_EQ(waited, 0) << "while full, the file holds the whole lines before, no part of one";

        const long kept = std::min(row.full, bound);
        std::string want;
        for (long i = 0; i < row.before + kept; ++i) {
            want += lineAt(i);
        }
        want += lineAt(row.before + row.full);
        EXPECT_EQ(zortest::readFile(path), want) << "the oldest lines, whole, in order, once";
        std::vector<off_t> synced(syncs->sizes, syncs->sizes + syncs->count), wantSynced;
        for (long i = 1; i <= row.before; ++i) {
            wantSynced.push_back(i * size);
        }
        wantSynced.push_back(static_cast<off_t>(want.size()));
        EXPECT_EQ(synced, wantSynced) << "each call's lines synced once, after they are written";
        const std::string report =
            row.full == 0
                ? ""
                : "data log write failed: " + std::string(strerror(row.syncFails ? EIO : EFBIG)) +
                      "\ndata log written again: " + std::to_string(kept) + " lines kept, " +
                      std::to_string(row.full - kept) + " lost\n";
        EXPECT_EQ(zortest::drain(errRead.get(), 100), report);
        std::string logged;
        for (const std::string &record : standIn ? logger.take(100) : std::vector<std::string>{}) {
            if (size_t at = record.find(": data log "); at != std::string::npos) {
                logged += record.substr(at + 2) + "\n";
            }
        }
        EXPECT_EQ(standIn ? logged : report, report);
    }
    munmap(syncs, sizeof *syncs);
    syncs = nullptr;
}

}  // namespace
