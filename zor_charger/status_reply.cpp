// The battery's status reply: field layout, the scan, derived quantities and
// the words of the status register's bits.
#include <stdio.h>

#include <algorithm>

#include "zor_charger/zor_charger.h"

namespace {

// One field of the reply: where the scan stores it and how wide its text is.
struct Field {
    int32_t *target;
    int width;  // 4 or 2 hexadecimal digits
};

struct StatusBit {
    const char *set;
    const char *clear;
};

// Bits 3 to 15 of the status register; bits 0 to 2 are not reported.
constexpr StatusBit STATUS_BITS[16] = {
    {nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}, {"On", "Off"},  // 3 fan state
    {"Fault", "Good"},                                                          // 4 main fuse
    {"Fault", "Good"},  // 5 safe operating area
    {"Fault", "Good"},  // 6 overcurrent
    {"Fault", "Good"},  // 7 undervoltage
    {"Fault", "Good"},  // 8 overvoltage
    {"On", "Off"},      // 9 discharge mode
    {"On", "Off"},      // 10 charge mode
    {"Fault", "Good"},  // 11 discharge transient
    {"Fault", "Good"},  // 12 battery cold limit
    {"Fault", "Good"},  // 13 heatsink hot limit
    {"Fault", "Good"},  // 14 battery hot limit
    {"On", "Off"},      // 15 battery enable
};

}  // namespace

void decodeStatusReply(const char *reply, BatteryStatus *status, size_t length) {
    BatteryStatus &s = *status;
    const Field fields[] = {
        {&s.gasGauge, 4},          {&s.cellVoltage[0], 4},    {&s.cellVoltage[1], 4},
        {&s.cellVoltage[2], 4},    {&s.cellVoltage[3], 4},    {&s.cellVoltage[4], 4},
        {&s.cellVoltage[5], 4},    {&s.cellVoltage[6], 4},    {&s.cellVoltage[7], 4},
        {&s.current, 4},           {&s.temperature[0], 2},    {&s.temperature[1], 2},
        {&s.temperature[2], 2},    {&s.temperature[3], 2},    {&s.temperature[4], 2},
        {&s.temperature[5], 2},    {&s.temperature[6], 2},    {&s.temperature[7], 2},
        {&s.temperature[8], 2},    {&s.relativeHumidity, 2},  {&s.balanceRegister, 2},
        {&s.tempAlertRegister, 4}, {&s.voltAlertRegister, 4}, {&s.statusRegister, 4},
    };
    // The scan reads from the cursor up to a NUL, so the cursor must stay on
    // the text: within the reply's 77 bytes, or on the NUL of a shorter one.
    const char *const end = reply + std::min<size_t>(length, STATUS_REPLY_SIZE);
    const char *cursor = reply;
    for (const Field &field : fields) {
        // The field is an int32 receiving an unsigned conversion; signed and
        // unsigned forms of one type may alias.
        unsigned *target = reinterpret_cast<unsigned *>(field.target);
        int scanned = sscanf(cursor, field.width == 4 ? "%4x" : "%2x", target);
        if (scanned != 0) {
            // The cursor moves by the field's width, not by what the scan
            // took: a NUL inside the reply ends one field, not every later one.
            cursor = std::min(cursor + field.width, end);
        }
    }
}

double gasGaugeOf(const BatteryStatus *status) {
    return status->gasGauge / 100.0;
}

double cellVoltageOf(const BatteryStatus *status, int cell) {
    return status->cellVoltage[cell - 1] / 1000.0;
}

double stackVoltageOf(const BatteryStatus *status) {
    long long sum = 0;
    for (int32_t cell : status->cellVoltage) {
        sum += cell;
    }
    return static_cast<double>(sum) / 1000.0;
}

double batteryCurrentOf(const BatteryStatus *status) {
    // The battery sends its current as a 16-bit two's-complement number.
    auto raw = static_cast<int16_t>(static_cast<uint16_t>(status->current & 0xFFFF));
    return raw / 100.0;
}

const char *statusBitWord(int statusRegister, int bit) {
    if (bit < 3 || bit > 15) {
        return "";
    }
    const StatusBit &word = STATUS_BITS[bit];
    return (statusRegister & (1 << bit)) != 0 ? word.set : word.clear;
}
