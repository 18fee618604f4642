// Sample battery status replies and the layout of a reply's fields, written
// out once for the tests, the fuzzer and the benchmarks. Free of GoogleTest,
// so that the fuzzer (built with clang) and the benchmarks can include it.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <string>

#include "zor_charger/zor_charger.h"

namespace zortest {

// Gas gauge, cells V1..V8, current, temperatures, humidity, balance, the two
// alert registers, status register, then three bytes that are never read.
inline constexpr char KNOWN_REPLY[] =
    "01F40E100E110E120E130E140E150E160E17FF83050A141EFF0001632D2A0000011A2B8408zz\n";
// clang-format off
inline constexpr BatteryStatus KNOWN_STATUS = {
    500, {3600, 3601, 3602, 3603, 3604, 3605, 3606, 3607}, 0xFF83,
    {5, 10, 20, 30, 255, 0, 1, 99, 45}, 42, 0, 1, 0x1A2B, 0x8408};
// clang-format on

// A typical accepted reply: 80.00 % gauge, eight cells at 3.700 V, 45.00 A,
// 25 degrees, 45 % humidity, no balancing, no alerts, status 8408.
inline constexpr char TYPICAL_REPLY[] =
    "1F400E740E740E740E740E740E740E740E741194191919191919191919"
    "2D00000000008408*\r\n";

static_assert(sizeof KNOWN_REPLY - 1 == STATUS_REPLY_SIZE);
static_assert(sizeof TYPICAL_REPLY - 1 == STATUS_REPLY_SIZE);

// The reply's fields in the order of the record, each a fixed number of
// hexadecimal digits, one right after the other.
inline constexpr int REPLY_FIELDS = 24;
inline constexpr int FIELD_WIDTHS[REPLY_FIELDS] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 2, 2,
                                                   2, 2, 2, 2, 2, 2, 2, 2, 2, 4, 4, 4};

// Where field `field` starts in the text; REPLY_FIELDS gives the end of the last.
constexpr int fieldOffset(int field) {
    int at = 0;
    for (int i = 0; i < field; ++i) {
        at += FIELD_WIDTHS[i];
    }
    return at;
}
inline constexpr int FIELD_TEXT = fieldOffset(REPLY_FIELDS);  // the rest is never read

// The record as its 24 fields, in order, and back.
using Fields = std::array<int32_t, REPLY_FIELDS>;
static_assert(sizeof(BatteryStatus) == sizeof(Fields));

inline Fields fieldsOf(const BatteryStatus &status) {
    Fields fields;
    memcpy(fields.data(), &status, sizeof status);
    return fields;
}

inline BatteryStatus recordOf(const Fields &fields) {
    BatteryStatus status;
    memcpy(&status, fields.data(), sizeof status);
    return status;
}

// The console report the charger writes at `time` for `reply`, scanned into
// an empty record.
inline std::string consoleReportOf(const char *reply, time_t time) {
    BatteryStatus status{};
    decodeStatusReply(reply, &status);
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    writeConsoleReport(out, &status, time);
    fclose(out);
    std::string report(text, size);
    free(text);
    return report;
}

}  // namespace zortest
