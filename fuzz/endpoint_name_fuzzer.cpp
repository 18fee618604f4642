// Splits any text as a network endpoint name and compares the fields with a
// plain reading of the format: fields are the non-empty runs between colons,
// the third is read by atoi rules, and the port connected to is its low 16
// bits. Nothing is connected.
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_text.h"
#include "serial/endpoint.h"

namespace {

std::vector<std::string> fieldsOf(const char *name) {
    std::vector<std::string> fields;
    std::string field;
    for (const char *p = name;; ++p) {
        if (*p == ':' || *p == '\0') {
            if (!field.empty()) {
                fields.push_back(field);
            }
            field.clear();
            if (*p == '\0') {
                return fields;
            }
        } else {
            field += *p;
        }
    }
}

bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// atoi as glibc gives it: strtol's value, saturated at the range of long, cut to int.
int atoiRules(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned long magnitude = 0;
    bool saturated = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const unsigned long digit = static_cast<unsigned long>(text[i] - '0');
        if (magnitude > (static_cast<unsigned long>(LONG_MAX) - digit) / 10) {
            saturated = true;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    long value;
    if (saturated) {
        value = negative ? LONG_MIN : LONG_MAX;
    } else {
        value = negative ? -static_cast<long>(magnitude) : static_cast<long>(magnitude);
    }
    return static_cast<int>(value);
}

void checkField(const char *got, const std::vector<std::string> &want, size_t index,
                const char *copy, size_t size) {
    if (index >= want.size()) {
        FUZZ_CHECK(got == nullptr);
        return;
    }
    FUZZ_CHECK(got != nullptr && got >= copy && got < copy + size);
    FUZZ_CHECK(want[index] == got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzText name(data, size);
    const bool network = size >= 3 && memcmp(data, "tcp", 3) == 0;
    FUZZ_CHECK(isNetworkEndpoint(name.get()) == network);

    const std::vector<std::string> want = fieldsOf(name.get());
    FuzzText copy(data, size);
    EndpointFields got;
    memset(&got, 0x5A, sizeof got);
    splitEndpointName(copy.get(), &got);
    checkField(got.protocol, want, 0, copy.get(), size);
    checkField(got.host, want, 1, copy.get(), size);
    checkField(got.portText, want, 2, copy.get(), size);
    const int port = want.size() > 2 ? atoiRules(want[2]) : 0;
    FUZZ_CHECK(got.portNumber == port);
    FUZZ_CHECK(got.tcpPort == static_cast<uint16_t>(port & 0xFFFF));
    return 0;
}
