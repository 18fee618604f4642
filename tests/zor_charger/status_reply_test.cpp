#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/status_reply.h"
#include "zor_charger/zor_charger.h"

namespace {

using zortest::fieldOffset;
using zortest::fieldsOf;
using zortest::KNOWN_STATUS;

const std::string KNOWN = zortest::KNOWN_REPLY;

// What the record holds from an earlier reply.
BatteryStatus earlier() {
    BatteryStatus s;
    memset(&s, 0x77, sizeof s);
    return s;
}

std::string patched(size_t at, const std::string &text, std::string reply = KNOWN) {
    return reply.replace(at, text.size(), text);
}

struct DecodeCase {
    const char *name;
    std::string reply;
    std::function<void(const BatteryStatus &)> check;
};

void expectKnown(const BatteryStatus &s) {
    EXPECT_EQ(fieldsOf(s), fieldsOf(KNOWN_STATUS));
}

const DecodeCase DECODE_CASES[] = {
    {"known reply", KNOWN, expectKnown},
    {"lower case", "01f40e100e110e120e130e140e150e160e17ff83050a141eff0001632d2a0000011a2b8408zz\n",
     expectKnown},
    {"trailing bytes ignored", patched(74, "FFF"), expectKnown},
    {"all zeros", std::string(74, '0') + "\r\n>",
     [](const BatteryStatus &s) {
         EXPECT_EQ(fieldsOf(s), fieldsOf(BatteryStatus{}));
         EXPECT_EQ(gasGaugeOf(&s) + stackVoltageOf(&s) + batteryCurrentOf(&s), 0.0);
     }},
    {"current FFFF", patched(36, "FFFF"),
     [](const BatteryStatus &s) { EXPECT_DOUBLE_EQ(batteryCurrentOf(&s), -0.01); }},
    {"current 7FFF", patched(36, "7FFF"),
     [](const BatteryStatus &s) { EXPECT_DOUBLE_EQ(batteryCurrentOf(&s), 327.67); }},
    {"current 8000", patched(36, "8000"),
     [](const BatteryStatus &s) { EXPECT_DOUBLE_EQ(batteryCurrentOf(&s), -327.68); }},
    {"gas gauge FFFF", patched(0, "FFFF"),
     [](const BatteryStatus &s) { EXPECT_DOUBLE_EQ(gasGaugeOf(&s), 655.35); }},
    {"cells FFFF", patched(4, std::string(32, 'F')),
     [](const BatteryStatus &s) { EXPECT_DOUBLE_EQ(stackVoltageOf(&s), 524.28); }},
    {"temperatures FF", patched(40, std::string(18, 'F')),
     [](const BatteryStatus &s) { EXPECT_EQ(s.temperature[0] + s.temperature[8], 510); }},
    {"bad first character keeps every field", patched(0, "G"),
     [](const BatteryStatus &s) { EXPECT_EQ(fieldsOf(s), fieldsOf(earlier())); }},
    {"blank takes digits of the next field", patched(0, " 1F4"),
     [](const BatteryStatus &s) {
         EXPECT_EQ(s.gasGauge, 0x1F40);
         EXPECT_EQ(s.cellVoltage[0], 0xE10);
     }},
    {"digits stop inside a field", patched(0, "12z4"),
     [](const BatteryStatus &s) {
         EXPECT_EQ(s.gasGauge, 0x12);
         EXPECT_EQ(s.cellVoltage[0], 0xE10);
     }},
    {"NUL inside a field ends that field only", patched(2, std::string(1, '\0')),
     [](const BatteryStatus &s) {
         BatteryStatus want = KNOWN_STATUS;
         want.gasGauge = 0x01;
         EXPECT_EQ(fieldsOf(s), fieldsOf(want));
     }},
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, ScansFieldByField) {
    ASSERT_EQ(GetParam().reply.size(), size_t{STATUS_REPLY_SIZE});
    BatteryStatus status = earlier();
    decodeStatusReply(GetParam().reply.c_str(), &status);
    GetParam().check(status);
}

INSTANTIATE_TEST_SUITE_P(Replies, DecodeTest, ::testing::ValuesIn(DECODE_CASES),
                         [](const auto &info) {
                             std::string name = info.param.name;
                             std::replace_if(
                                 name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
                             return name;
                         });

TEST(DecodeTest, TruncatedTextIsNeverReadPastItsEnd) {
    // Each text ends at the end of a page whose successor cannot be read.
    long page = sysconf(_SC_PAGESIZE);
    void *pages =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char *>(pages) + page, page, PROT_NONE), 0);
    for (size_t length = 0; length < KNOWN.size(); ++length) {
        char *text = static_cast<char *>(pages) + page - (length + 1);
        memcpy(text, KNOWN.data(), length);
        text[length] = '\0';
        BatteryStatus status{};
        decodeStatusReply(text, &status, length);
        auto got = fieldsOf(status), want = fieldsOf(KNOWN_STATUS);
        for (int i = 0; i < zortest::REPLY_FIELDS; ++i) {
            if (static_cast<size_t>(fieldOffset(i + 1)) <= length) {
                EXPECT_EQ(got[i], want[i]) << "field " << i << " of a " << length << "-byte text";
            }
        }
    }
    munmap(pages, 2 * page);
}

}  // namespace
