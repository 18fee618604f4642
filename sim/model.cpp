#include "sim/model.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string_view>
#include <utility>
#include <variant>

namespace zorsim {
namespace {

constexpr double CELL_OHMS = 0.0025;
constexpr double AMBIENT = 22.0;
constexpr double THERMAL_SECONDS = 1200.0;
constexpr double MAX_STEP = 5.0;          // seconds of one integration step
constexpr double BALANCING_SHARE = 0.05;  // of the current a balancing cell still takes
constexpr double FAN_ON = 30.0, FAN_OFF = 28.0;
constexpr double HOT_LAYER = 60.0, HOT_HEATSINK = 75.0, ALERT_TEMP = 55.0;
constexpr double HIGH_CELL = 4.40, LOW_CELL = 3.0;

// The cells differ a little, as real ones do: the charge that the first one
// to balance has left over decides how long the last stage takes.
constexpr std::array<double, CELLS> CAPACITY_AH = {100, 97, 103, 99, 101, 96, 104, 100};
constexpr std::array<double, CELLS> START_SOC = {0.52, 0.55, 0.50, 0.54, 0.51, 0.56, 0.49, 0.53};
// Degrees of steady rise per ampere squared: the middle layers run warmest.
constexpr std::array<double, 9> HEATING = {0.0050, 0.0058, 0.0065, 0.0070, 0.0071,
                                           0.0066, 0.0059, 0.0051, 0.0125};

double uniform(std::mt19937 &rng, double low, double high) {
    return low + (high - low) * (static_cast<double>(rng()) / 4294967296.0);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::string keywordValue(const char *keyword, double value) {
    char text[64];
    snprintf(text, sizeof text, "%s %.4f\r\n", keyword, value);
    return text;
}

std::string keywordValue(const char *keyword, int value) {
    char text[64];
    snprintf(text, sizeof text, "%s %d\r\n", keyword, value);
    return text;
}

int clampInt(double v, int low, int high) {
    if (!(v >= low)) {
        return low;
    }
    if (v > high) {
        return high;
    }
    return static_cast<int>(lround(v));
}

}  // namespace

Model::Model(uint32_t seed) : rng_(seed) {
    for (int i = 0; i < CELLS; ++i) {
        cells_[i].capacityAh = CAPACITY_AH[i] * uniform(rng_, 0.99, 1.01);
        cells_[i].soc = START_SOC[i] + uniform(rng_, -0.005, 0.005);
    }
    for (double &t : temps_) {
        t = AMBIENT + uniform(rng_, -0.3, 0.3);
    }
    humidityPhase_ = uniform(rng_, 0.0, 6.28);
}

double Model::cellOpenCircuitVolts(int cell) const {
    double s = cells_[cell].soc;
    // A flat middle, a knee near empty and a steep rise near full.
    return 3.35 + 0.80 * s + 0.15 * pow(s, 8) - 0.10 * exp(-20.0 * s);
}

double Model::openCircuitVolts() const {
    double v = 0.0;
    for (int i = 0; i < CELLS; ++i) {
        v += cellOpenCircuitVolts(i);
    }
    return v;
}

double Model::outputAmps() const {
    if (!supply_.output || !enabled_ || heatsinkLimit_) {
        return 0.0;
    }
    double limit = std::min(supply_.iset, supply_.imax);
    double volts = std::min(supply_.vset, supply_.vmax);
    double amps = (volts - openCircuitVolts()) / (CELLS * CELL_OHMS);
    return std::clamp(amps, 0.0, std::max(limit, 0.0));
}

double Model::cellVolts(int cell) const {
    return cellOpenCircuitVolts(cell) + outputAmps() * CELL_OHMS;
}

double Model::stackVolts() const {
    return openCircuitVolts() + outputAmps() * CELLS * CELL_OHMS;
}

double Model::outputVolts() const {
    if (!supply_.output) {
        return 0.0;
    }
    if (!enabled_ || heatsinkLimit_) {
        return std::min(supply_.vset, supply_.vmax);  // no load
    }
    return stackVolts();
}

double Model::gasGaugePercent() const {
    double sum = 0.0;
    for (const Cell &c : cells_) {
        sum += c.soc;
    }
    return 100.0 * sum / CELLS;
}

int Model::balanceRegister() const {
    if (stuckBalance_ >= 0) {
        return stuckBalance_;
    }
    int reg = 0;
    for (int i = 0; i < CELLS; ++i) {
        if (cells_[i].soc >= BALANCE_SOC) {
            reg |= 1 << i;
        }
    }
    return reg;
}

int Model::statusRegister() const {
    int reg = 0;
    if (enabled_ && !heatsinkLimit_) {
        reg |= STATUS_ENABLE;
    }
    if (outputAmps() > 0.05) {
        reg |= STATUS_CHARGE_MODE;
    }
    if (fanOn_) {
        reg |= STATUS_FAN;
    }
    for (int i = 0; i < 8; ++i) {
        if (temps_[i] >= HOT_LAYER) {
            reg |= STATUS_BATTERY_HOT;
        }
    }
    if (temps_[8] >= HOT_HEATSINK || heatsinkLimit_) {
        reg |= STATUS_HEATSINK_HOT;
    }
    return reg;
}

void Model::advance(double seconds) {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) {
        return;
    }
    while (seconds > 0.0) {
        double dt = std::min(seconds, MAX_STEP);
        step(dt);
        seconds -= dt;
    }
}

void Model::step(double dt) {
    double amps = outputAmps();
    for (Cell &c : cells_) {
        double share = c.soc >= BALANCE_SOC ? BALANCING_SHARE : 1.0;
        c.soc = std::min(1.0, c.soc + share * amps * dt / (3600.0 * c.capacityAh));
    }
    double k = 1.0 - exp(-dt / THERMAL_SECONDS);
    for (size_t i = 0; i < temps_.size(); ++i) {
        double target = AMBIENT + HEATING[i] * amps * amps;
        temps_[i] += (target - temps_[i]) * k;
    }
    if (temps_[8] >= FAN_ON) {
        fanOn_ = true;
    } else if (temps_[8] < FAN_OFF) {
        fanOn_ = false;
    }
    simSeconds_ += dt;
    checkProtection();
}

void Model::fail(int code) {
    supply_.err = code;
    ++errorsRaised_;
}

void Model::restartSupply() {
    supply_ = SupplySettings{};
}

void Model::switchOutput(bool on) {
    supply_.output = on;
    checkProtection();
}

void Model::tripOverVoltage() {
    supply_.output = false;
    supply_.fault |= FAULT_OVER_VOLTAGE;
    supply_.latchedStatus |= STS_OVER_VOLTAGE;
}

void Model::clearProtection() {
    supply_.fault = 0;
    supply_.latchedStatus = 0;
    switchOutput(true);
}

void Model::restartBattery() {
    enabled_ = false;
}

void Model::holdHeatsinkLimit(bool held) {
    heatsinkLimit_ = held;
}

void Model::holdBalance() {
    stuckBalance_ = balanceRegister();
}

void Model::startUnderWay() {
    supply_.vset = 35.9;
    supply_.iset = 45.0;
    supply_.output = true;
    enabled_ = true;
}

void Model::checkProtection() {
    if (supply_.output && outputVolts() > supply_.ovset) {
        supply_.output = false;
        supply_.fault |= FAULT_OVER_VOLTAGE;
        supply_.latchedStatus |= STS_OVER_VOLTAGE;
    }
}

int Model::supplyStatus() const {
    int sts = 0;
    if (supply_.output) {
        sts |= STS_OUTPUT_ON;
        double limit = std::min(supply_.iset, supply_.imax);
        sts |= (enabled_ && outputAmps() >= limit - 1e-9) ? STS_CONSTANT_CURRENT
                                                          : STS_CONSTANT_VOLTAGE;
    }
    if (supply_.fault & FAULT_OVER_VOLTAGE) {
        sts |= STS_OVER_VOLTAGE;
    }
    return sts;
}

void Model::setNumber(std::string_view arg, char unit, double low, double high, double *target) {
    if (arg.empty()) {
        fail(ERR_MISSING_PARAMETER);
        return;
    }
    // The unit is optional and either case: "12V", "12v" and "12" all set 12.
    if (arg.back() == unit || arg.back() == unit - 'A' + 'a') {
        arg.remove_suffix(1);
    }
    double value = 0.0;
    if (!zortext::parseNumber(arg, &value)) {
        fail(ERR_DATA_TYPE);
    } else if (value < low || value > high) {
        fail(ERR_OUT_OF_RANGE);
    } else {
        *target = value;
    }
}

std::string Model::supplyCommand(std::string_view line) {
    line = trim(line);
    if (line.empty()) {
        return {};
    }
    size_t gap = line.find_first_of(" \t");
    std::string word = upper(line.substr(0, gap));
    std::string_view arg =
        gap == std::string_view::npos ? std::string_view() : trim(line.substr(gap));

    if (!word.empty() && word.back() == '?') {
        if (!arg.empty()) {
            fail(ERR_PARAMETER_NOT_ALLOWED);
            return {};
        }
        supply_.latchedStatus |= supplyStatus();
        // Every value the supply can be asked for, under its keyword.
        const std::pair<std::string_view, std::variant<double, int>> values[] = {
            {"IOUT", outputAmps()},          {"ISET", supply_.iset},
            {"VOUT", outputVolts()},         {"VSET", supply_.vset},
            {"OUT", supply_.output ? 1 : 0}, {"ERR", supply_.err},
            {"ASTS", supply_.latchedStatus}, {"STS", supplyStatus()},
            {"FAULT", supply_.fault},
        };
        std::string_view keyword = std::string_view(word).substr(0, word.size() - 1);
        for (const auto &[name, value] : values) {
            if (name == keyword) {
                return std::visit([&](auto v) { return keywordValue(name.data(), v); }, value);
            }
        }
        fail(ERR_UNDEFINED_HEADER);
        return {};
    }

    if (word == "CLR" || word == "RST" || word == "TRG") {
        if (!arg.empty()) {
            fail(ERR_PARAMETER_NOT_ALLOWED);
        } else if (word == "CLR") {
            supply_.err = ERR_NONE;
            supply_.latchedStatus = 0;
            supply_.fault = 0;
        } else if (word == "RST") {
            int err = supply_.err;
            supply_ = SupplySettings{};
            supply_.err = err;
        }
    } else if (word == "OUT") {
        if (arg == "0" || arg == "1") {
            supply_.output = arg == "1";
        } else {
            fail(arg.empty() ? ERR_MISSING_PARAMETER : ERR_DATA_TYPE);
        }
    } else if (word == "VSET") {
        setNumber(arg, 'V', 0.0, supply_.vmax, &supply_.vset);
    } else if (word == "ISET") {
        setNumber(arg, 'A', 0.0, supply_.imax, &supply_.iset);
    } else if (word == "OVSET") {
        setNumber(arg, 'V', 0.0, RATED_VOLTS * 1.1, &supply_.ovset);
    } else if (word == "VMAX") {
        setNumber(arg, 'V', 0.0, RATED_VOLTS, &supply_.vmax);
    } else if (word == "IMAX") {
        setNumber(arg, 'A', 0.0, RATED_AMPS, &supply_.imax);
    } else {
        fail(ERR_UNDEFINED_HEADER);
    }
    checkProtection();
    return {};
}

std::string Model::batteryCommand(std::string_view line) {
    line = trim(line);
    if (line == "@AC") {
        enabled_ = true;
    } else if (line == "@AF") {
        enabled_ = false;
    } else if (line == "@RQ") {
        return statusReply();
    }
    return {};
}

std::string Model::statusReply() {
    int reg[24];
    int n = 0;
    reg[n++] = clampInt(gasGaugePercent() * 100.0, 0, 0xFFFF);
    for (int i = 0; i < CELLS; ++i) {
        reg[n++] = clampInt(cellVolts(i) * 1000.0, 0, 0xFFFF);
    }
    int hundredths = clampInt(outputAmps() * 100.0, -32768, 32767);
    reg[n++] = hundredths & 0xFFFF;
    int tempAlert = 0;
    for (size_t i = 0; i < temps_.size(); ++i) {
        double t = temps_[i] + uniform(rng_, -0.4, 0.4);
        reg[n++] = clampInt(t, 0, 0xFF);
        if (temps_[i] >= ALERT_TEMP) {
            tempAlert |= 1 << i;
        }
    }
    double humidity = 40.0 + 5.0 * sin(simSeconds_ / 5400.0 + humidityPhase_);
    reg[n++] = clampInt(humidity + uniform(rng_, -0.6, 0.6), 0, 100);
    reg[n++] = balanceRegister();
    int voltAlert = 0;
    for (int i = 0; i < CELLS; ++i) {
        double v = cellVolts(i);
        if (v >= HIGH_CELL) {
            voltAlert |= 1 << i;
        } else if (v <= LOW_CELL) {
            voltAlert |= 1 << (i + 8);
        }
    }
    reg[n++] = tempAlert;
    reg[n++] = voltAlert;
    reg[n++] = statusRegister();

    std::string reply;
    reply.reserve(STATUS_REPLY_SIZE + 1);
    char field[8];
    for (int i = 0; i < n; ++i) {
        bool narrow = i >= 10 && i <= 20;  // temperatures, humidity, balance
        snprintf(field, sizeof field, narrow ? "%02X" : "%04X", static_cast<unsigned>(reg[i]));
        reply += field;
    }
    reply += "*\r\n";
    return reply;
}

}  // namespace zorsim
