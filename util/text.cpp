#include "util/text.h"

#include <math.h>
#include <stdio.h>

namespace zortext {

std::string_view withoutPlus(std::string_view text) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') {
        text.remove_prefix(1);
    }
    return text;
}

bool parseNumber(std::string_view text, double *value) {
    text = withoutPlus(text);
    const char *end = text.data() + text.size();
    double v = 0.0;
    auto [stop, error] = std::from_chars(text.data(), end, v);
    if (error != std::errc() || stop != end || !isfinite(v)) {
        return false;
    }
    *value = v;
    return true;
}

bool parseNumber(std::string_view text, double low, double high, double *value) {
    double v = 0.0;
    if (!parseNumber(text, &v) || v < low || v > high) {
        return false;
    }
    *value = v;
    return true;
}

std::string escape(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char hex[8];
                    snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

}  // namespace zortext
