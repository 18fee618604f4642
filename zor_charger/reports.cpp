// The three reports of an accepted status reply: the console report, the data
// log line and the system-log messages; and the data log file itself.
#include <errno.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <deque>
#include <string>

#include "util/util.h"
#include "zor_charger/zor_charger.h"

namespace {

// The console line label of each reported status bit, bit 3 first.
constexpr const char *STATUS_BIT_FORMATS[] = {
    "Fan state: %s\n",          "Main Fuse: %s\n",          "Safe Operating Area: %s\n",
    "Overcurrent: %s\n",        "Undervoltage: %s\n",       "Overvoltage: %s\n",
    "Discharge Mode: %s\n",     "Charge Mode: %s\n",        "Discharge Transient: %s\n",
    "Battery Cold Limit: %s\n", "Heatsink Hot Limit: %s\n", "Battery Hot Limit: %s\n",
    "Battery Enable: %s\n",
};

// Data log lines not yet in the file, oldest first, for the one stream they
// were meant for, and what an outage has cost so far.
struct KeptLines {
    FILE *stream = nullptr;
    std::deque<std::string> lines;
    size_t bytes = 0;
    bool failing = false;  // the failure has been reported, the recovery not yet
    long kept = 0;
    long lost = 0;
};
KeptLines keep;
long linesLostTotal = 0;  // since the process started; keep.lost is an outage's

// Removes the last `bytes` written on fd, so that no part of a line stays.
void cutBack(int fd, off_t bytes) {
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (bytes > 0 && end >= bytes && ftruncate(fd, end - bytes) == 0) {
        lseek(fd, end - bytes, SEEK_SET);  // a stream not in append mode goes on from there
    }
}

// Writes all of `line` on fd. Returns 0, or the error with the file cut back
// to where the line began.
int writeWhole(int fd, const std::string &line) {
    size_t done = 0;
    int error = writeAll(fd, line.data(), line.size(), &done);
    if (error != 0) {
        cutBack(fd, static_cast<off_t>(done));
    }
    return error;
}

// Writes the kept lines, oldest first, up to the first that the file does
// not take, and syncs them; a line counts as written only once synced, so
// the lines of a failed sync are cut back and kept. Returns 0 when every
// kept line is written, else the error that stopped them.
int writeKeptLines(FILE *dataLog) {
    int fd = fileno(dataLog);
    if (fd < 0) {  // a stream in memory takes every line: nothing to cut back or to sync
        for (const std::string &line : keep.lines) {
            fputs(line.c_str(), dataLog);
        }
        fflush(dataLog);
        keep.lines.clear();
        keep.bytes = 0;
        return 0;
    }
    fflush(dataLog);  // whatever the stream holds goes before our lines
    int error = 0;
    size_t written = 0;
    off_t writtenBytes = 0;
    for (const std::string &line : keep.lines) {
        error = writeWhole(fd, line);
        if (error != 0) {
            break;
        }
        ++written;
        writtenBytes += static_cast<off_t>(line.size());
    }
    // The lines must survive a power cut, not only a crash of the process.
    // A file that cannot be synced at all (a pipe, a device) took them as
    // they are: keeping them would write them again.
    if (written > 0 && fsync(fd) != 0 && errno != EINVAL && errno != EROFS) {
        error = errno;
        cutBack(fd, writtenBytes);
        written = 0;
    }
    for (; written > 0; --written) {
        keep.bytes -= keep.lines.front().size();
        keep.lines.pop_front();
    }
    return error;
}

}  // namespace

FILE *openDataLog(char *fileName) {
    char name[DATA_LOG_NAME_SIZE];
    // The whole time_t, so that the name stays right after 2038.
    snprintf(name, sizeof name, "%lldzor.log", static_cast<long long>(time(nullptr)));
    if (fileName != nullptr) {
        snprintf(fileName, DATA_LOG_NAME_SIZE, "%s", name);
    }
    return fopen(name, "a");
}

FILE *reopenDataLog(const char *name, bool *wasGone) {
    *wasGone = access(name, F_OK) != 0 && errno == ENOENT;
    FILE *dataLog = fopen(name, "a+");
    // A last line cut by a power failure gets its end before the first new
    // one, so that the charge's one file holds only whole lines.
    if (dataLog != nullptr && fseeko(dataLog, -1, SEEK_END) == 0 && fgetc(dataLog) != '\n' &&
        fseeko(dataLog, 0, SEEK_END) == 0) {
        fputc('\n', dataLog);
        fflush(dataLog);
    }
    return dataLog;
}

void writeConsoleReport(FILE *out, const BatteryStatus *status, time_t reportTime) {
    const BatteryStatus &s = *status;
    fprintf(out, "time: %lld\n", static_cast<long long>(reportTime));
    fprintf(out, "gasGauge : %f\n", gasGaugeOf(status));
    fprintf(out, "V1:%1.3f V2:%1.3f V3:%1.3f V4:%1.3f\n", cellVoltageOf(status, 1),
            cellVoltageOf(status, 2), cellVoltageOf(status, 3), cellVoltageOf(status, 4));
    fprintf(out, "V5:%1.3f V6:%1.3f V7:%1.3f V8:%1.3f\n", cellVoltageOf(status, 5),
            cellVoltageOf(status, 6), cellVoltageOf(status, 7), cellVoltageOf(status, 8));
    fprintf(out, "Current: %.2f\n", batteryCurrentOf(status));
    fprintf(out, "Stack Voltage: %3f\n", stackVoltageOf(status));
    fprintf(out, "Temps(layer 8 to layer 1): %2d %2d %2d %2d %2d %2d %2d %2d\n", s.temperature[0],
            s.temperature[1], s.temperature[2], s.temperature[3], s.temperature[4],
            s.temperature[5], s.temperature[6], s.temperature[7]);
    fprintf(out, "Heatsink temp: %2d\n", s.temperature[8]);
    fprintf(out, "relative Humidity: %d\n", s.relativeHumidity);
    fprintf(out, "balance register: %2x\n", static_cast<unsigned>(s.balanceRegister));
    if (s.tempAlertRegister != 0) {
        fputs("WARNING: ", out);
    }
    fprintf(out, "temp alert register: %2x\n", static_cast<unsigned>(s.tempAlertRegister));
    if (s.voltAlertRegister != 0) {
        fputs("WARNING: ", out);
    }
    fprintf(out, "volt alert register: %2x\n", static_cast<unsigned>(s.voltAlertRegister));
    fprintf(out, "Battery Status Register: %4x\n", static_cast<unsigned>(s.statusRegister));
    int bit = 3;
    for (const char *format : STATUS_BIT_FORMATS) {
        fprintf(out, format, statusBitWord(s.statusRegister, bit++));
    }
    fputs("\n", out);
}

void writeDataLogLine(FILE *dataLog, const BatteryStatus *status, time_t reportTime) {
    const BatteryStatus &s = *status;
    char line[DATA_LOG_LINE_SIZE];
    snprintf(line, sizeof line, "%lld,%4.2f,%.2f,%d,%2x,%2x,%2x,%2x\n",
             static_cast<long long>(reportTime), gasGaugeOf(status), batteryCurrentOf(status),
             s.relativeHumidity, static_cast<unsigned>(s.balanceRegister),
             static_cast<unsigned>(s.tempAlertRegister), static_cast<unsigned>(s.voltAlertRegister),
             static_cast<unsigned>(s.statusRegister));

    if (keep.stream != dataLog) {
        keep = KeptLines();
        keep.stream = dataLog;
    }
    keep.lines.emplace_back(line);
    keep.bytes += keep.lines.back().size();
    int error = writeKeptLines(dataLog);
    if (error == 0) {
        if (keep.failing) {
            fprintf(stderr, "data log written again: %ld lines kept, %ld lost\n", keep.kept,
                    keep.lost);
            systemLog(LOG_ERR, "data log written again: %ld lines kept, %ld lost", keep.kept,
                      keep.lost);
            keep.failing = false;
            keep.kept = keep.lost = 0;
        }
        return;
    }
    if (!keep.failing) {
        keep.failing = true;
        fprintf(stderr, "data log write failed: %s\n", strerror(error));
        systemLog(LOG_ERR, "data log write failed: %s", strerror(error));
    }
    if (keep.bytes > DATA_LOG_KEEP_BYTES) {
        // The oldest lines stay, so the file runs without a gap up to the last one kept.
        keep.bytes -= keep.lines.back().size();
        keep.lines.pop_back();
        ++keep.lost;
        ++linesLostTotal;
    } else {
        ++keep.kept;
    }
}

void writeOutDataLog(FILE *dataLog) {
    if (keep.stream != dataLog || keep.lines.empty()) {
        return;
    }
    int error = writeKeptLines(dataLog);
    if (error != 0) {
        fprintf(stderr, "data log write failed at the stop: %zu lines lost: %s\n",
                keep.lines.size(), strerror(error));
        systemLog(LOG_ERR, "data log write failed at the stop: %zu lines lost: %s",
                  keep.lines.size(), strerror(error));
    } else if (keep.failing) {
        fprintf(stderr, "data log written again: %ld lines kept, %ld lost\n", keep.kept, keep.lost);
        systemLog(LOG_ERR, "data log written again: %ld lines kept, %ld lost", keep.kept,
                  keep.lost);
    }
    keep = KeptLines();
}

void writeSystemLog(const BatteryStatus *status) {
    // The logger's defaults for name and facility apply.
    systemLog(LOG_ERR, "ZOR Battery Current & Gas Gauge: %.2f %4.2f", batteryCurrentOf(status),
              gasGaugeOf(status));
    systemLog(LOG_ERR, "ZOR Battery RH: %2d", status->relativeHumidity);
}

void reportStatus(const BatteryStatus *status, FILE *dataLog) {
    time_t reportTime = time(nullptr);
    writeConsoleReport(stdout, status, reportTime);
    if (dataLog != nullptr) {
        writeDataLogLine(dataLog, status, reportTime);
    }
    writeSystemLog(status);
}

long dataLogLinesKept() {
    return static_cast<long>(keep.lines.size());
}

long dataLogLinesLost() {
    return linesLostTotal;
}
