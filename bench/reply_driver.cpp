// zor_bench_replies MODE N: handles the sample status reply N times, for
// counting instructions under callgrind. The difference between two runs
// with different N gives the instructions per reply without start-up.
//   decode   the scan only
//   console  the console report (to a file in the working folder, line-buffered)
//   datalog  the data log line (to data.log, flushed and synced)
//   syslog   the two system-log messages
//   reply    the scan and all three reports, as the charge loop does them
// Files are written in the working folder.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench/bench_support.h"
#include "tests/support/status_reply.h"
#include "zor_charger/zor_charger.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: zor_bench_replies decode|console|datalog|syslog|reply N\n");
        return 2;
    }
    const char *mode = argv[1];
    long n = strtol(argv[2], nullptr, 10);
    zortest::StdCapture console(".");
    FILE *dataLog = fopen("data.log", "a");
    if (!console.valid() || dataLog == nullptr || n < 0) {
        console.stop();
        fprintf(stderr, "zor_bench_replies: cannot open a console file or data.log\n");
        return 1;
    }
    BatteryStatus status{};
    decodeStatusReply(zortest::TYPICAL_REPLY, &status);
    const time_t reportTime = 1700000000;
    bool known = true;
    for (long i = 0; i < n && known; ++i) {
        if (strcmp(mode, "decode") == 0) {
            decodeStatusReply(zortest::TYPICAL_REPLY, &status);
        } else if (strcmp(mode, "console") == 0) {
            writeConsoleReport(stdout, &status, reportTime);
        } else if (strcmp(mode, "datalog") == 0) {
            writeDataLogLine(dataLog, &status, reportTime);
        } else if (strcmp(mode, "syslog") == 0) {
            writeSystemLog(&status);
        } else if (strcmp(mode, "reply") == 0) {
            decodeStatusReply(zortest::TYPICAL_REPLY, &status);
            reportStatus(&status, dataLog);
        } else {
            known = false;
        }
    }
    fclose(dataLog);
    console.stop();
    if (!known) {
        fprintf(stderr, "zor_bench_replies: unknown mode %s\n", mode);
        return 2;
    }
    return 0;
}
