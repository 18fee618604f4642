// The three reports of an accepted status reply: the console report, the data
// log line and the system-log messages; and the data log file itself.
#include <syslog.h>
#include <unistd.h>

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
    fprintf(dataLog, "%lld,", static_cast<long long>(reportTime));
    fprintf(dataLog, "%4.2f,", gasGaugeOf(status));
    fprintf(dataLog, "%.2f,", batteryCurrentOf(status));
    fprintf(dataLog, "%d,", s.relativeHumidity);
    fprintf(dataLog, "%2x,", static_cast<unsigned>(s.balanceRegister));
    fprintf(dataLog, "%2x,", static_cast<unsigned>(s.tempAlertRegister));
    fprintf(dataLog, "%2x,", static_cast<unsigned>(s.voltAlertRegister));
    fprintf(dataLog, "%2x\n", static_cast<unsigned>(s.statusRegister));
    // The line must survive a power cut, not only a crash of the process.
    fflush(dataLog);
    fsync(fileno(dataLog));
}

void writeSystemLog(const BatteryStatus *status) {
    // No openlog: the logger's defaults for name and facility apply.
    syslog(LOG_ERR, "ZOR Battery Current & Gas Gauge: %.2f %4.2f", batteryCurrentOf(status),
           gasGaugeOf(status));
    syslog(LOG_ERR, "ZOR Battery RH: %2d", status->relativeHumidity);
}

void reportStatus(const BatteryStatus *status, FILE *dataLog) {
    time_t reportTime = time(nullptr);
    writeConsoleReport(stdout, status, reportTime);
    if (dataLog != nullptr) {
        writeDataLogLine(dataLog, status, reportTime);
    }
    writeSystemLog(status);
}
