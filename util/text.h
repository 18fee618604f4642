// Numbers read from text and text made printable, shared by the charger's
// settings, the commissioning tools and the simulated bench.
//
// Principles of operation. Every number that comes from a command line, a
// setting or an instrument's input goes through parseNumber or parseInteger, so
// that all of them take the same forms: an optional sign, decimal digits,
// for parseNumber also a decimal point and an exponent, and nothing else, no
// blank before or after. Text that came off a line goes through escape before
// it reaches a log or a message.
#pragma once

#include <charconv>
#include <string>
#include <string_view>

namespace zortext {

// `text` without one leading '+', which std::from_chars does not take;
// "+-1" stays as it is, to be refused.
std::string_view withoutPlus(std::string_view text);

// Reads a finite decimal number ("12", "-0.5", "+1e3") that takes up all of
// `text`; refuses "", " 12", "12abc", "0x10", "inf", "nan" and a number
// beyond what a double holds. Returns true and sets *value on success.
bool parseNumber(std::string_view text, double *value);

// The same, for a number from `low` to `high` only.
bool parseNumber(std::string_view text, double low, double high, double *value);

// Reads a whole decimal number from `low` to `high` that takes up all of
// `text`. Returns true and sets *value on success.
template <class Int>
bool parseInteger(std::string_view text, Int low, Int high, Int *value) {
    text = withoutPlus(text);
    const char *end = text.data() + text.size();
    Int v{};
    auto [stop, error] = std::from_chars(text.data(), end, v);
    if (error != std::errc() || stop != end || v < low || v > high) {
        return false;
    }
    *value = v;
    return true;
}

// `text` made printable for a log or a message: "\r", "\n", "\t", "\\" and
// "\"" as C writes them, any other byte outside printable ASCII as "\xHH".
std::string escape(std::string_view text);

}  // namespace zortext
