#include "base/ToolOutput.h"

#include <locale.h>

#include <cstdlib>
#include <cstring>

namespace vantrel {

namespace {

// Length of the well-formed UTF-8 sequence at `s[i]`, or 0 when it is ill-formed or cut off.
std::size_t validSequenceLength(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;  // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    if (i + length > s.size()) {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// Decodes the code point of a valid sequence.
char32_t codePointAt(std::string_view s, std::size_t i, std::size_t length) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    if (length == 1) {
        return byte(i);
    }
    char32_t cp = byte(i) & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    return cp;
}

bool isWhiteSpaceOrLineEnd(char32_t c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680) {
        return true;
    }
    return (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

locale_t cLocale() {
    static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

}  // namespace

std::optional<std::string> chunkText(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = validSequenceLength(bytes, i);
        if (length == 0) {
            return std::nullopt;
        }
        i += length;
    }
    return std::string(bytes);
}

std::string decodeUtf8Leniently(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = validSequenceLength(bytes, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            // Skip the lead byte and the continuation bytes that belonged to it.
            ++i;
            while (i < bytes.size() && (static_cast<unsigned char>(bytes[i]) & 0xC0) == 0x80 &&
                   validSequenceLength(bytes, i) == 0) {
                ++i;
            }
            continue;
        }
        out.append(bytes.substr(i, length));
        i += length;
    }
    return out;
}

std::size_t completeUtf8Prefix(std::string_view bytes) {
    // Look back at most three bytes for a lead byte whose sequence runs past the end.
    const std::size_t size = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const auto c = static_cast<unsigned char>(bytes[size - back]);
        if ((c & 0xC0) == 0x80) {
            continue;  // a continuation byte: keep looking for its lead
        }
        std::size_t needed = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            needed = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            needed = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            needed = 4;
        }
        return needed > back ? size - back : size;
    }
    return size;
}

std::string ChunkDecoder::decode(std::string_view bytes) {
    carried_.append(bytes);
    const std::size_t complete = completeUtf8Prefix(carried_);
    std::string text = decodeUtf8Leniently(std::string_view(carried_).substr(0, complete));
    carried_.erase(0, complete);
    return text;
}

std::string ChunkDecoder::finish() {
    std::string text = decodeUtf8Leniently(carried_);
    carried_.clear();
    return text;
}

bool textContains(std::string_view text, std::string_view marker) {
    return !marker.empty() && text.find(marker) != std::string_view::npos;
}

std::string removingAll(std::string_view text, std::string_view marker) {
    if (marker.empty()) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (true) {
        const std::size_t found = text.find(marker, start);
        if (found == std::string_view::npos) {
            out.append(text.substr(start));
            return out;
        }
        out.append(text.substr(start, found - start));
        start = found + marker.size();
    }
}

std::string trimmedText(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    // Leading: walk forward over white space code points.
    while (begin < end) {
        const std::size_t length = validSequenceLength(text, begin);
        if (length == 0 || !isWhiteSpaceOrLineEnd(codePointAt(text, begin, length))) {
            break;
        }
        begin += length;
    }
    // Trailing: find the start of the last code point each time.
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const std::size_t length = validSequenceLength(text, start);
        if (length != end - start || !isWhiteSpaceOrLineEnd(codePointAt(text, start, length))) {
            break;
        }
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string keepingOnly(std::string_view text, std::string_view allowed) {
    std::string out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x80 && allowed.find(c) != std::string_view::npos) {
            out.push_back(c);
        }
    }
    return out;
}

std::optional<double> decimalValue(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u > 127 || u == 0 || (u >= 9 && u <= 13) || u == 32) {
            return std::nullopt;
        }
    }
    const std::string copy(text);  // strtod needs a terminated string
    char* end = nullptr;
    const double value = strtod_l(copy.c_str(), &end, cLocale());
    const auto consumed = static_cast<std::size_t>(end - copy.c_str());
    if (consumed == 0 || consumed != copy.size()) {
        return std::nullopt;
    }
    return value;
}

ProgressReport progressReport(std::string key, std::optional<double> value) {
    ProgressReport report;
    report.emplace(std::move(key), value);
    return report;
}

}  // namespace vantrel
