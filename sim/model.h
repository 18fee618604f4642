// The physical model behind the simulated bench: an XFR supply charging a
// stack of eight cells through the battery's own electronics.
//
// Principles of operation. Model holds both instruments and the simulated
// clock. Each instrument takes one received line at a time (its terminator
// already removed) and gives back the reply text, empty when the command has
// none. advance() moves simulated time on; between calls the supply's output
// and the battery's state are piecewise constant, so the caller may advance
// lazily (by wall-clock time times a speed factor, or by a fixed step per
// status request). Everything is deterministic for a given seed.
//
// The supply regulates constant current (ISET, capped by IMAX) until the
// stack's voltage reaches VSET (capped by VMAX), then constant voltage. It
// delivers nothing while its output is off or the battery is switched off.
// A command it cannot take sets its error code, which ERR? reads back and
// CLR clears.
//
// The battery answers "@RQ" with a 77-byte status reply: 24 fixed-width
// upper-case hexadecimal fields (74 characters) followed by "*\r\n".
#pragma once

#include <stdint.h>

#include <array>
#include <random>
#include <string>
#include <string_view>

#include "util/text.h"  // escape(), for what the bench logs

namespace zorsim {

constexpr int CELLS = 8;
constexpr size_t STATUS_REPLY_SIZE = 77;

// Error codes of the supply, read back with ERR?.
constexpr int ERR_NONE = 0;
constexpr int ERR_UNDEFINED_HEADER = -113;  // unknown command word
constexpr int ERR_PARAMETER_NOT_ALLOWED = -108;
constexpr int ERR_MISSING_PARAMETER = -109;
constexpr int ERR_DATA_TYPE = -104;     // a number that does not parse
constexpr int ERR_OUT_OF_RANGE = -222;  // a number outside the supply's limits
constexpr int ERR_TOO_LONG = -223;      // a line longer than the input buffer

// Bits of the supply's STS (and, latched since CLR, ASTS) register.
constexpr int STS_CONSTANT_VOLTAGE = 0x01;
constexpr int STS_CONSTANT_CURRENT = 0x02;
constexpr int STS_OVER_VOLTAGE = 0x04;
constexpr int STS_OUTPUT_ON = 0x08;
// Bit of the FAULT register: the over-voltage protection tripped.
constexpr int FAULT_OVER_VOLTAGE = 0x04;

// Bits of the battery's status register that the model drives.
constexpr int STATUS_FAN = 0x0008;
constexpr int STATUS_CHARGE_MODE = 0x0400;
constexpr int STATUS_BATTERY_HOT = 0x4000;
constexpr int STATUS_HEATSINK_HOT = 0x2000;
constexpr int STATUS_ENABLE = 0x8000;

struct SupplySettings {
    bool output = false;
    double vset = 0.0, iset = 0.0;
    double ovset = 44.0, vmax = 40.0, imax = 60.0;
    int err = ERR_NONE;
    int latchedStatus = 0;  // ASTS
    int fault = 0;
};

struct Cell {
    double capacityAh;
    double soc;  // state of charge, 0 to 1
};

class Model {
  public:
    static constexpr double RATED_VOLTS = 40.0;
    static constexpr double RATED_AMPS = 60.0;
    static constexpr double BALANCE_SOC = 0.97;  // a cell starts balancing here

    explicit Model(uint32_t seed = 1);

    // Moves simulated time on by `seconds` (negative or non-finite: ignored).
    void advance(double seconds);
    double simSeconds() const { return simSeconds_; }

    // One received line of each instrument, without its terminator. Returns
    // the reply, or empty text when the command has none.
    std::string supplyCommand(std::string_view line);
    std::string batteryCommand(std::string_view line);

    // What the supply delivers now, in amperes, and the voltage at its output.
    double outputAmps() const;
    double outputVolts() const;

    // The battery's derived state.
    bool batteryEnabled() const { return enabled_; }
    double cellVolts(int cell) const;  // cell 0 to 7, at the present current
    double stackVolts() const;
    double openCircuitVolts() const;
    double gasGaugePercent() const;
    int balanceRegister() const;
    int statusRegister() const;
    const std::array<Cell, CELLS> &cells() const { return cells_; }
    const std::array<double, 9> &temperatures() const { return temps_; }
    const SupplySettings &supply() const { return supply_; }

    // What happens to real instruments, played at a given moment.
    void restartSupply();               // back in its power-up state: output off, 0 V, 0 A
    void switchOutput(bool on);         // by hand, at the front panel
    void tripOverVoltage();             // output off, the fault latched until cleared
    void clearProtection();             // the fault cleared by hand, the output on again
    void restartBattery();              // its electronics come up switched off
    void holdHeatsinkLimit(bool held);  // switched off by its heatsink hot limit while held
    void holdBalance();                 // the balance register keeps its value from now on
    // A charge already under way: the supply set up as the charger does it and on, the battery on.
    void startUnderWay();

    // Sets the supply's error code, as a command it cannot take does.
    void fail(int code);
    // How many times the supply's error code has been set.
    long errorsRaised() const { return errorsRaised_; }

    // The 77-byte status reply as of now.
    std::string statusReply();

  private:
    double cellOpenCircuitVolts(int cell) const;
    void step(double seconds);
    void checkProtection();
    int supplyStatus() const;
    void setNumber(std::string_view arg, char unit, double low, double high, double *target);

    double simSeconds_ = 0.0;
    SupplySettings supply_;
    bool enabled_ = false;
    bool heatsinkLimit_ = false;  // the battery holds itself off
    int stuckBalance_ = -1;       // the balance register's value while stuck; -1: not stuck
    bool fanOn_ = false;
    std::array<Cell, CELLS> cells_{};
    std::array<double, 9> temps_{};  // layers 8 down to 1, then the heatsink
    double humidityPhase_ = 0.0;
    long errorsRaised_ = 0;
    std::mt19937 rng_;
};

}  // namespace zorsim
