// Parses any text as the supply's answer to each of its questions. The first
// input byte picks the question, the rest is the reply text. The result must
// be what the reply form allows: -1 only for a text that ends inside the
// keyword or after it and white space, 0 for another keyword, 1 for the keyword
// and a number (but for a hexadecimal one to "%lf"); a value is written only on 1.
#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include "fuzz/fuzz_text.h"
#include "xfr/xfr_reply.h"

namespace {

struct Question {
    const char *keyword;
    bool real;  // a "%lf" reply; else "%d"
};

// Every query's reply keyword: IOUT, ISET, OUT, VOUT, VSET, ERR and the three
// registers of the status query.
constexpr Question QUESTIONS[] = {
    {"IOUT", true}, {"ISET", true},  {"OUT", false}, {"VOUT", true},   {"VSET", true},
    {"ERR", false}, {"ASTS", false}, {"STS", false}, {"FAULT", false},
};
constexpr size_t QUESTION_COUNT = sizeof QUESTIONS / sizeof QUESTIONS[0];

bool isSpace(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Checks the parse's result against the reply's shape; returns the number's
// text when the keyword and white space are followed by something.
const char *checkResult(const char *keyword, const char *reply, int result, bool real) {
    FUZZ_CHECK(result >= -1 && result <= 1);
    const size_t keyLen = strlen(keyword), replyLen = strlen(reply);
    if (replyLen < keyLen && strncmp(reply, keyword, replyLen) == 0) {
        FUZZ_CHECK(result == -1);  // cut off inside the keyword
        return nullptr;
    }
    if (strncmp(reply, keyword, keyLen) != 0) {
        FUZZ_CHECK(result == 0);
        return nullptr;
    }
    const char *number = reply + keyLen;
    while (isSpace(*number)) {
        ++number;
    }
    if (*number == '\0') {
        FUZZ_CHECK(result == -1);
        return nullptr;
    }
    // "0x" opens a hexadecimal number for "%lf", and whether the library then
    // converts anything ("0x", "0x.", "0x1") is its own affair.
    const bool hexPrefix = real && number[0] == '0' && (number[1] == 'x' || number[1] == 'X');
    if (hexPrefix) {
        return number;
    }
    if (isDigit(*number)) {
        FUZZ_CHECK(result == 1);
    } else if (!strchr("+-.iInN", *number)) {
        FUZZ_CHECK(result == 0);  // nothing a number can start with
    }
    return number;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const Question &question = QUESTIONS[data[0] % QUESTION_COUNT];
    FuzzText reply(data + 1, size - 1);
    if (question.real) {
        double value = -1234.5;
        const int result = parseXfrReply(question.keyword, reply.get(), &value);
        checkResult(question.keyword, reply.get(), result, true);
        if (result != 1) {
            FUZZ_CHECK(value == -1234.5);
        }
    } else {
        int value = -12345;
        const int result = parseXfrReply(question.keyword, reply.get(), &value);
        const char *number = checkResult(question.keyword, reply.get(), result, false);
        if (result != 1) {
            FUZZ_CHECK(value == -12345);
        } else {
            // Up to nine digits fit an int exactly; the value is theirs.
            FUZZ_CHECK(number != nullptr);
            const bool negative = *number == '-';
            const char *digits = number + (*number == '+' || *number == '-');
            int want = 0, count = 0;
            for (; isDigit(digits[count]) && count < 10; ++count) {
                want = count < 9 ? want * 10 + (digits[count] - '0') : want;
            }
            FUZZ_CHECK(count > 0);
            if (count <= 9) {
                FUZZ_CHECK(value == (negative ? -want : want));
            }
        }
    }
    return 0;
}
