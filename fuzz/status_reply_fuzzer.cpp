// Scans any text as a battery status reply, then derives and reports what the
// record holds. An accepted reply is 77 bytes and a NUL, but every length is
// tried: the scan must stay inside the text whatever it holds. The same bytes
// are also taken as a raw record, so the reports see values no scan gives.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/fuzz_text.h"
#include "tests/support/status_reply.h"
#include "zor_charger/zor_charger.h"

namespace {

// Values outside every field's range, standing for what earlier replies left.
constexpr int32_t EARLIER_A = 0x5A5A5A5A;
constexpr int32_t EARLIER_B = -0x12345678;

using zortest::FIELD_TEXT;
using zortest::FIELD_WIDTHS;
using zortest::Fields;
using zortest::fieldsOf;
using zortest::recordOf;
using zortest::REPLY_FIELDS;

BatteryStatus decoded(const char *text, size_t length, int32_t earlier) {
    Fields f;
    f.fill(earlier);
    BatteryStatus s = recordOf(f);
    decodeStatusReply(text, &s, length);
    return s;
}

FILE *devNull() {
    static FILE *file = fopen("/dev/null", "w");
    FUZZ_CHECK(file != nullptr);
    return file;
}

// The data log line must be one whole line of eight non-empty fields.
void checkDataLogLine(const BatteryStatus &s) {
    char *line = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&line, &len);
    FUZZ_CHECK(out != nullptr);
    writeDataLogLine(out, &s, 1700000000);
    FUZZ_CHECK(fclose(out) == 0);
    FUZZ_CHECK(len > 0 && line[len - 1] == '\n');
    FUZZ_CHECK(memchr(line, '\n', len) == line + len - 1);
    int fields = 1;
    size_t fieldLen = 0;
    for (size_t i = 0; i + 1 < len; ++i) {
        if (line[i] == ',') {
            FUZZ_CHECK(fieldLen > 0);
            ++fields;
            fieldLen = 0;
        } else {
            ++fieldLen;
        }
    }
    FUZZ_CHECK(fieldLen > 0 && fields == 8);
    free(line);
}

void report(const BatteryStatus &s) {
    FUZZ_CHECK(!isnan(gasGaugeOf(&s)) && !isnan(stackVoltageOf(&s)));
    for (int cell = 1; cell <= 8; ++cell) {
        FUZZ_CHECK(!isnan(cellVoltageOf(&s, cell)));
    }
    const double current = batteryCurrentOf(&s);
    FUZZ_CHECK(current >= -327.68 && current <= 327.67);
    for (int bit = 3; bit <= 15; ++bit) {
        FUZZ_CHECK(statusBitWord(s.statusRegister, bit) != nullptr);
    }
    writeConsoleReport(devNull(), &s, 1700000000);
    checkDataLogLine(s);
}

int hexValue(char c) {
    const char *digits = "0123456789abcdef";
    const char *at = strchr(digits, c | 0x20);
    return at != nullptr && c != '\0' ? static_cast<int>(at - digits) : -1;
}

// A reply of hexadecimal digits only, from the input's bytes, must give every
// field the value of its own digits whatever its three trailing bytes are.
void checkCleanReply(const uint8_t *data, size_t size) {
    static const char HEX[] = "0123456789abcdefABCDEF";
    char reply[STATUS_REPLY_SIZE + 1];
    for (int i = 0; i < STATUS_REPLY_SIZE; ++i) {
        const uint8_t byte = size > 0 ? data[static_cast<size_t>(i) % size] : 0;
        reply[i] = i < FIELD_TEXT ? HEX[byte % 22] : (byte == 0 ? '\n' : static_cast<char>(byte));
    }
    reply[STATUS_REPLY_SIZE] = '\0';
    const Fields got = fieldsOf(decoded(reply, STATUS_REPLY_SIZE, EARLIER_A));
    int at = 0;
    for (int i = 0; i < REPLY_FIELDS; ++i) {
        int32_t want = 0;
        for (int k = 0; k < FIELD_WIDTHS[i]; ++k) {
            want = want * 16 + hexValue(reply[at + k]);
        }
        FUZZ_CHECK(got[i] == want);
        at += FIELD_WIDTHS[i];
    }
    memcpy(reply + FIELD_TEXT, "\r\n>", 3);
    FUZZ_CHECK(fieldsOf(decoded(reply, STATUS_REPLY_SIZE, EARLIER_B)) == got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzText text(data, size);
    // A field either holds what its own text gave, the same whatever came
    // before, or keeps its earlier value untouched.
    const BatteryStatus a = decoded(text.get(), size, EARLIER_A);
    const Fields fa = fieldsOf(a), fb = fieldsOf(decoded(text.get(), size, EARLIER_B));
    for (int i = 0; i < REPLY_FIELDS; ++i) {
        const int32_t limit = FIELD_WIDTHS[i] == 4 ? 0xFFFF : 0xFF;
        if (fa[i] == EARLIER_A) {
            FUZZ_CHECK(fb[i] == EARLIER_B);
        } else {
            FUZZ_CHECK(fa[i] == fb[i] && fa[i] >= -limit && fa[i] <= limit);
        }
    }
    report(a);
    checkCleanReply(data, size);

    if (size >= sizeof(BatteryStatus)) {
        Fields raw;
        memcpy(raw.data(), data, sizeof raw);
        report(recordOf(raw));
    }
    return 0;
}
