#include "platform/PrintableText.h"

#include <cstdint>
#include <cstdio>

namespace vantrel::platform {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text` and its code point;
// 0 when the first byte does not begin one (a stray continuation byte, an overlong form, a
// surrogate, a code point past U+10FFFF, a cut-off sequence).
std::size_t decodeOne(std::string_view text, char32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    return length;
}

// Code points that end a line, move the cursor or reorder what is shown.
bool mustEscape(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

std::string escaped(std::string_view text, bool escapeBackslashes) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t c = 0;
        const std::size_t length = decodeOne(text, c);
        char buffer[16];
        if (length == 0) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned char>(text[0]));
            out += buffer;
            text.remove_prefix(1);
            continue;
        }
        if (c == '\\' && escapeBackslashes) {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (mustEscape(c)) {
            std::snprintf(buffer, sizeof buffer, "\\u{%X}", static_cast<std::uint32_t>(c));
            out += buffer;
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

}  // namespace

std::string printableText(std::string_view text) {
    return escaped(text, true);
}

std::string printableKeepingBackslashes(std::string_view text) {
    return escaped(text, false);
}

}  // namespace vantrel::platform
