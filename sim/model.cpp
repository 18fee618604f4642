#include "sim/model.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>

namespace zorsim {
namespace {

constexpr double kCellOhms = 0.0025;
constexpr double kAmbient = 22.0;
constexpr double kThermalSeconds = 1200.0;
constexpr double kMaxStep = 5.0;          // seconds of one integration step
constexpr double kBalancingShare = 0.05;  // of the current a balancing cell still takes
constexpr double kFanOn = 30.0, kFanOff = 28.0;
constexpr double kHotLayer = 60.0, kHotHeatsink = 75.0, kAlertTemp = 55.0;
constexpr double kHighCell = 4.40, kLowCell = 3.0;

// The cells differ a little, as real ones do: the charge that the first one
// to balance has left over decides how long the last stage takes.
constexpr std::array<double, kCells> kCapacityAh = {100, 97, 103, 99, 101, 96, 104, 100};
constexpr std::array<double, kCells> kStartSoc = {0.52, 0.55, 0.50, 0.54, 0.51, 0.56, 0.49, 0.53};
// Degrees of steady rise per ampere squared: the middle layers run warmest.
constexpr std::array<double, 9> kHeating = {0.0050, 0.0058, 0.0065, 0.0070, 0.0071,
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
    for (int i = 0; i < kCells; ++i) {
        cells_[i].capacityAh = kCapacityAh[i] * uniform(rng_, 0.99, 1.01);
        cells_[i].soc = kStartSoc[i] + uniform(rng_, -0.005, 0.005);
    }
    for (double &t : temps_) {
        t = kAmbient + uniform(rng_, -0.3, 0.3);
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
    for (int i = 0; i < kCells; ++i) {
        v += cellOpenCircuitVolts(i);
    }
    return v;
}

double Model::outputAmps() const {
    if (!supply_.output || !enabled_) {
        return 0.0;
    }
    double limit = std::min(supply_.iset, supply_.imax);
    double volts = std::min(supply_.vset, supply_.vmax);
    double amps = (volts - openCircuitVolts()) / (kCells * kCellOhms);
    return std::clamp(amps, 0.0, std::max(limit, 0.0));
}

double Model::cellVolts(int cell) const {
    return cellOpenCircuitVolts(cell) + outputAmps() * kCellOhms;
}

double Model::stackVolts() const {
    return openCircuitVolts() + outputAmps() * kCells * kCellOhms;
}

double Model::outputVolts() const {
    if (!supply_.output) {
        return 0.0;
    }
    if (!enabled_) {
        return std::min(supply_.vset, supply_.vmax);  // no load
    }
    return stackVolts();
}

double Model::gasGaugePercent() const {
    double sum = 0.0;
    for (const Cell &c : cells_) {
        sum += c.soc;
    }
    return 100.0 * sum / kCells;
}

int Model::balanceRegister() const {
    int reg = 0;
    for (int i = 0; i < kCells; ++i) {
        if (cells_[i].soc >= kBalanceSoc) {
            reg |= 1 << i;
        }
    }
    return reg;
}

int Model::statusRegister() const {
    int reg = 0;
    if (enabled_) {
        reg |= kStatusEnable;
    }
    if (outputAmps() > 0.05) {
        reg |= kStatusChargeMode;
    }
    if (fanOn_) {
        reg |= kStatusFan;
    }
    for (int i = 0; i < 8; ++i) {
        if (temps_[i] >= kHotLayer) {
            reg |= kStatusBatteryHot;
        }
    }
    if (temps_[8] >= kHotHeatsink) {
        reg |= kStatusHeatsinkHot;
    }
    return reg;
}

void Model::advance(double seconds) {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) {
        return;
    }
    while (seconds > 0.0) {
        double dt = std::min(seconds, kMaxStep);
        step(dt);
        seconds -= dt;
    }
}

void Model::step(double dt) {
    double amps = outputAmps();
    for (Cell &c : cells_) {
        double share = c.soc >= kBalanceSoc ? kBalancingShare : 1.0;
        c.soc = std::min(1.0, c.soc + share * amps * dt / (3600.0 * c.capacityAh));
    }
    double k = 1.0 - exp(-dt / kThermalSeconds);
    for (size_t i = 0; i < temps_.size(); ++i) {
        double target = kAmbient + kHeating[i] * amps * amps;
        temps_[i] += (target - temps_[i]) * k;
    }
    if (temps_[8] >= kFanOn) {
        fanOn_ = true;
    } else if (temps_[8] < kFanOff) {
        fanOn_ = false;
    }
    simSeconds_ += dt;
    checkProtection();
}

void Model::fail(int code) {
    supply_.err = code;
    ++errorsRaised_;
}

void Model::checkProtection() {
    if (supply_.output && outputVolts() > supply_.ovset) {
        supply_.output = false;
        supply_.fault |= kFaultOverVoltage;
        supply_.latchedStatus |= kStsOverVoltage;
    }
}

int Model::supplyStatus() const {
    int sts = 0;
    if (supply_.output) {
        sts |= kStsOutputOn;
        double limit = std::min(supply_.iset, supply_.imax);
        sts |=
            (enabled_ && outputAmps() >= limit - 1e-9) ? kStsConstantCurrent : kStsConstantVoltage;
    }
    if (supply_.fault & kFaultOverVoltage) {
        sts |= kStsOverVoltage;
    }
    return sts;
}

void Model::setNumber(std::string_view arg, char unit, double low, double high, double *target) {
    if (arg.empty()) {
        fail(kErrMissingParameter);
        return;
    }
    // The unit is optional and either case: "12V", "12v" and "12" all set 12.
    if (arg.back() == unit || arg.back() == unit - 'A' + 'a') {
        arg.remove_suffix(1);
    }
    double value = 0.0;
    if (!parseNumber(arg, &value)) {
        fail(kErrDataType);
    } else if (value < low || value > high) {
        fail(kErrOutOfRange);
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

    std::string reply;
    if (!word.empty() && word.back() == '?') {
        if (!arg.empty()) {
            fail(kErrParameterNotAllowed);
            return {};
        }
        supply_.latchedStatus |= supplyStatus();
        if (word == "IOUT?") {
            reply = keywordValue("IOUT", outputAmps());
        } else if (word == "ISET?") {
            reply = keywordValue("ISET", supply_.iset);
        } else if (word == "VOUT?") {
            reply = keywordValue("VOUT", outputVolts());
        } else if (word == "VSET?") {
            reply = keywordValue("VSET", supply_.vset);
        } else if (word == "OUT?") {
            reply = keywordValue("OUT", supply_.output ? 1 : 0);
        } else if (word == "ERR?") {
            reply = keywordValue("ERR", supply_.err);
        } else if (word == "ASTS?") {
            reply = keywordValue("ASTS", supply_.latchedStatus);
        } else if (word == "STS?") {
            reply = keywordValue("STS", supplyStatus());
        } else if (word == "FAULT?") {
            reply = keywordValue("FAULT", supply_.fault);
        } else {
            fail(kErrUndefinedHeader);
        }
        return reply;
    }

    if (word == "CLR" || word == "RST" || word == "TRG") {
        if (!arg.empty()) {
            fail(kErrParameterNotAllowed);
        } else if (word == "CLR") {
            supply_.err = kErrNone;
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
            fail(arg.empty() ? kErrMissingParameter : kErrDataType);
        }
    } else if (word == "VSET") {
        setNumber(arg, 'V', 0.0, supply_.vmax, &supply_.vset);
    } else if (word == "ISET") {
        setNumber(arg, 'A', 0.0, supply_.imax, &supply_.iset);
    } else if (word == "OVSET") {
        setNumber(arg, 'V', 0.0, kRatedVolts * 1.1, &supply_.ovset);
    } else if (word == "VMAX") {
        setNumber(arg, 'V', 0.0, kRatedVolts, &supply_.vmax);
    } else if (word == "IMAX") {
        setNumber(arg, 'A', 0.0, kRatedAmps, &supply_.imax);
    } else {
        fail(kErrUndefinedHeader);
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
    for (int i = 0; i < kCells; ++i) {
        reg[n++] = clampInt(cellVolts(i) * 1000.0, 0, 0xFFFF);
    }
    int hundredths = clampInt(outputAmps() * 100.0, -32768, 32767);
    reg[n++] = hundredths & 0xFFFF;
    int tempAlert = 0;
    for (size_t i = 0; i < temps_.size(); ++i) {
        double t = temps_[i] + uniform(rng_, -0.4, 0.4);
        reg[n++] = clampInt(t, 0, 0xFF);
        if (temps_[i] >= kAlertTemp) {
            tempAlert |= 1 << i;
        }
    }
    double humidity = 40.0 + 5.0 * sin(simSeconds_ / 5400.0 + humidityPhase_);
    reg[n++] = clampInt(humidity + uniform(rng_, -0.6, 0.6), 0, 100);
    reg[n++] = balanceRegister();
    int voltAlert = 0;
    for (int i = 0; i < kCells; ++i) {
        double v = cellVolts(i);
        if (v >= kHighCell) {
            voltAlert |= 1 << i;
        } else if (v <= kLowCell) {
            voltAlert |= 1 << (i + 8);
        }
    }
    reg[n++] = tempAlert;
    reg[n++] = voltAlert;
    reg[n++] = statusRegister();

    std::string reply;
    reply.reserve(kStatusReplySize + 1);
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
