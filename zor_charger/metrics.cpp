// The charge's state for monitors, in Prometheus's text exposition format.
// The charger opens no port of its own: it writes a file that the node
// exporter's textfile collector (or anything that reads a file) serves. Each
// write builds the whole text, writes it to a temporary file in the same
// folder and renames it over the last one, so a reader sees the old file or
// the new one, never part of one. Nothing here waits on a reader: a file
// that cannot be written costs that file, said once, never a poll.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <string>
#include <utility>

#include "util/util.h"
#include "zor_charger/zor_charger.h"

namespace {

constexpr char FILE_NAME[] = "zor_charger.prom";
constexpr size_t TEXT_BYTES = 8192;  // a whole file, with room to spare
// The node exporter runs as a user of its own: the file is for all to read,
// whatever the service's umask.
constexpr mode_t FILE_MODE = 0644;

struct Metrics {
    std::string path;  // empty: nothing is written
    std::string tempPath;
    long long startTime = 0;  // seconds since the epoch
    bool failing = false;     // said "not written", not yet "written again"
    std::string text;         // kept from write to write, so it is allocated once
};
Metrics metrics;

// Label sets from a fixed list, written out so that a write allocates nothing.
constexpr const char *CELL_LABELS[] = {"cell=\"1\"", "cell=\"2\"", "cell=\"3\"", "cell=\"4\"",
                                       "cell=\"5\"", "cell=\"6\"", "cell=\"7\"", "cell=\"8\""};
// In the record's order: layers 8 down to 1, then the heatsink.
constexpr const char *SENSOR_LABELS[] = {
    "sensor=\"layer8\"", "sensor=\"layer7\"", "sensor=\"layer6\"",
    "sensor=\"layer5\"", "sensor=\"layer4\"", "sensor=\"layer3\"",
    "sensor=\"layer2\"", "sensor=\"layer1\"", "sensor=\"heatsink\""};

void appendNumber(std::string &out, long long value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// The shortest text that reads back as the same double: 0.6435, not
// 0.643500, and no locale's decimal comma.
void appendNumber(std::string &out, double value) {
    char digits[32];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// The HELP and TYPE lines that open a family.
void family(std::string &out, const char *name, const char *type, const char *help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// One sample; `labels` is empty or `key="value"` from a fixed set.
template <typename Number>
void sample(std::string &out, const char *name, const char *labels, Number value) {
    out += name;
    if (labels[0] != '\0') {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    appendNumber(out, value);
    out += '\n';
}

// A family of one sample.
template <typename Number>
void single(std::string &out, const char *name, const char *type, const char *help, Number value) {
    family(out, name, type, help);
    sample(out, name, "", value);
}

// What the last accepted reply said, and when.
void batteryText(std::string &out, const ChargeState *state) {
    const BatteryStatus &s = state->status;
    single(out, "zor_battery_charge_ratio", "gauge",
           "Gas gauge of the last accepted reply: the state of charge, 0 to 1.",
           s.gasGauge / 10000.0);
    single(out, "zor_battery_current_amperes", "gauge",
           "Battery current of the last accepted reply, negative while discharging.",
           batteryCurrentOf(&s));
    single(out, "zor_battery_stack_volts", "gauge",
           "Stack voltage of the last accepted reply: the sum of the cells.", stackVoltageOf(&s));
    family(out, "zor_battery_cell_volts", "gauge", "Cell voltages of the last accepted reply.");
    for (int cell = 1; cell <= 8; ++cell) {
        sample(out, "zor_battery_cell_volts", CELL_LABELS[cell - 1], cellVoltageOf(&s, cell));
    }
    family(out, "zor_battery_temperature_celsius", "gauge",
           "Temperatures of the last accepted reply: each layer and the heatsink.");
    for (int i = 0; i < 9; ++i) {
        sample(out, "zor_battery_temperature_celsius", SENSOR_LABELS[i],
               static_cast<long long>(s.temperature[i]));
    }
    single(out, "zor_battery_relative_humidity_ratio", "gauge",
           "Relative humidity of the last accepted reply, 0 to 1.", s.relativeHumidity / 100.0);
    single(out, "zor_battery_balance_register", "gauge",
           "Balance register of the last accepted reply: one bit per balanced cell.",
           static_cast<long long>(s.balanceRegister));
    single(out, "zor_battery_temperature_alert_register", "gauge",
           "Temperature alert register of the last accepted reply.",
           static_cast<long long>(s.tempAlertRegister));
    single(out, "zor_battery_voltage_alert_register", "gauge",
           "Voltage alert register of the last accepted reply.",
           static_cast<long long>(s.voltAlertRegister));
    single(out, "zor_battery_status_register", "gauge",
           "Status register of the last accepted reply.", static_cast<long long>(s.statusRegister));
    single(out, "zor_battery_last_reply_timestamp_seconds", "gauge",
           "When the last reply was accepted, seconds since the epoch.",
           static_cast<long long>(state->lastReplyTime));
}

// Whether the charge current flows, and while it does not, why: one series
// a cause of the fixed set, 1 for each that the instruments gave.
void flowText(std::string &out, const ChargeState *state) {
    const ChargeFlow &flow = state->flow;
    single(out, "zor_charge_current_flowing", "gauge",
           "Whether the charge current flows: 0 while a charge stopped before its end.",
           static_cast<long long>(flow.stopped ? 0 : 1));
    family(out, "zor_charge_current_stop_cause", "gauge",
           "1 for each cause found while the charge current does not flow, else 0.");
    char labels[48];
    for (unsigned bit = 0; bit < NO_CURRENT_CAUSES; ++bit) {
        snprintf(labels, sizeof labels, "cause=\"%s\"", noCurrentCauseName(1u << bit));
        sample(out, "zor_charge_current_stop_cause", labels,
               static_cast<long long>(flow.stopped && (flow.causes & (1u << bit)) ? 1 : 0));
    }
    sample(out, "zor_charge_current_stop_cause", "cause=\"unknown\"",
           static_cast<long long>(flow.stopped && flow.causes == 0 ? 1 : 0));
}

void stateText(std::string &out, const ChargeState *state) {
    if (state->acceptedReplies > 0) {  // until then the record holds no reply's values
        batteryText(out, state);
    }
    single(out, "zor_charge_stage", "gauge", "Stage of the charge-current schedule, 1 to 4.",
           static_cast<long long>(state->ChargeStage + 1));
    single(out, "zor_charge_current_setpoint_amperes", "gauge",
           "Charge current the schedule chose for the supply.", state->chargeCurrent);
    single(out, "zor_charge_ended", "gauge",
           "1 once the battery has been told to switch off at the end of charge.",
           static_cast<long long>(state->endOfCharge ? 1 : 0));
    flowText(out, state);
    // Where a hold can happen, or one resumed goes on with the setting since
    // turned off: a console's file is as it was.
    if (state->hold.seconds > 0 || state->hold.held || state->hold.wanted) {
        single(out, "zor_charge_held", "gauge",
               "1 while the charge current is held at 0 A for want of an accepted battery reply.",
               static_cast<long long>(state->hold.held ? 1 : 0));
    }
    if (state->limit.minutes > 0 || state->limit.reached) {
        single(out, "zor_charge_time_limit_reached", "gauge",
               "1 once the charge time limit ended the charge before its end of charge.",
               static_cast<long long>(state->limit.reached ? 1 : 0));
    }

    if (keepingCharge()) {  // only where a state folder keeps the charge
        single(out, "zor_charge_state_saved", "gauge",
               "0 while the charge's state cannot be written: a restart would resume an older one.",
               static_cast<long long>(chargeStateSaved() ? 1 : 0));
        single(out, "zor_new_charge_asked", "gauge",
               "1 while a new charge is asked for: any restart, a crash included, begins it.",
               static_cast<long long>(newChargeAsked() ? 1 : 0));
    }

    const std::pair<const LinkWatch *, const char *> links[] = {
        {&state->batteryLink, "instrument=\"battery\""},
        {&state->supplyLink, "instrument=\"supply\""}};
    family(out, "zor_link_up", "gauge",
           "1 while the instrument's link is open, 0 while it is lost.");
    for (auto [link, labels] : links) {
        sample(out, "zor_link_up", labels, static_cast<long long>(link->lost ? 0 : 1));
    }
    family(out, "zor_link_losses_total", "counter", "Times the instrument's link was found lost.");
    for (auto [link, labels] : links) {
        sample(out, "zor_link_losses_total", labels, static_cast<long long>(link->losses));
    }

    family(out, "zor_polls_total", "counter",
           "Status requests by outcome: a reply of 77 bytes, of another length, or none.");
    const long noReply = state->polls - state->acceptedReplies - state->otherReplies;
    sample(out, "zor_polls_total", "outcome=\"accepted\"",
           static_cast<long long>(state->acceptedReplies));
    sample(out, "zor_polls_total", "outcome=\"other_length\"",
           static_cast<long long>(state->otherReplies));
    sample(out, "zor_polls_total", "outcome=\"no_reply\"", static_cast<long long>(noReply));

    single(out, "zor_system_log_messages_dropped_total", "counter",
           "System-log messages dropped while the logger took none.",
           static_cast<long long>(systemLogMessagesDropped()));
    single(out, "zor_console_lines_dropped_total", "counter",
           "Console lines dropped while their reader took none.",
           static_cast<long long>(consoleLinesDropped()));
    single(out, "zor_data_log_lines_kept", "gauge",
           "Data log lines held in memory now, for a file that takes none.",
           static_cast<long long>(dataLogLinesKept()));
    single(out, "zor_data_log_lines_lost_total", "counter",
           "Data log lines lost past what is held in memory.",
           static_cast<long long>(dataLogLinesLost()));
    single(out, "zor_process_start_time_seconds", "gauge",
           "When the charger started, seconds since the epoch.", metrics.startTime);
    single(out, "zor_charge_start_time_seconds", "gauge",
           "When the charge under way began, seconds since the epoch; it outlives restarts.",
           static_cast<long long>(state->chargeStartTime));
}

// Puts the text in place; false, with errno set, when it is not. The
// temporary file is never followed through a link nor waited on (a FIFO in
// its place), and is gone again after a failure.
bool replaceFile(const std::string &text) {
    int fd = open(metrics.tempPath.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, FILE_MODE);
    if (fd < 0) {
        return false;
    }
    int error = fchmod(fd, FILE_MODE) == 0 ? writeAll(fd, text.data(), text.size()) : errno;
    if (close(fd) != 0 && error == 0) {  // a file system that reports a full disk only here
        error = errno;
    }
    if (error == 0 && rename(metrics.tempPath.c_str(), metrics.path.c_str()) == 0) {
        return true;
    }
    if (error == 0) {
        error = errno;
    }
    unlink(metrics.tempPath.c_str());
    errno = error;
    return false;
}

}  // namespace

void openMetrics() {
    metrics = Metrics();
    metrics.startTime = static_cast<long long>(time(nullptr));
    const char *file = getenv("ZOR_METRICS_FILE");
    const char *runtime = getenv("RUNTIME_DIRECTORY");
    if (file != nullptr && file[0] != '\0') {
        metrics.path = file;
    } else if (runtime != nullptr && runtime[0] != '\0') {
        // The service manager lists one folder per RuntimeDirectory= name, joined by ':'.
        std::string folder(runtime, strcspn(runtime, ":"));
        metrics.path = folder + "/" + FILE_NAME;
    } else {
        return;
    }
    // Beside the file, so that rename never crosses a file system; not
    // "*.prom", so that the textfile collector never reads it; the process's
    // own, so that no other writer's is replaced.
    metrics.tempPath = metrics.path + "." + std::to_string(getpid()) + ".tmp";
    metrics.text.reserve(TEXT_BYTES);
}

void writeMetrics(const ChargeState *state) {
    if (metrics.path.empty()) {
        return;
    }
    metrics.text.clear();
    stateText(metrics.text, state);
    if (!replaceFile(metrics.text)) {
        if (!metrics.failing) {
            metrics.failing = true;
            const char *why = strerror(errno);
            fprintf(stderr, "metrics file not written: %s: %s\n", metrics.path.c_str(), why);
            systemLog(LOG_ERR, "metrics file not written: %s: %s", metrics.path.c_str(), why);
        }
        return;
    }
    if (metrics.failing) {
        metrics.failing = false;
        fputs("metrics file written again\n", stderr);
        systemLog(LOG_NOTICE, "metrics file written again");
    }
}
