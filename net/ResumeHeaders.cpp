#include "net/ResumeHeaders.h"

#include <strings.h>
#include <charconv>

namespace vantrel::net {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

bool nameIs(std::string_view name, const char* wanted) {
    return name.size() == std::char_traits<char>::length(wanted) &&
           ::strncasecmp(name.data(), wanted, name.size()) == 0;
}

// A header value the program sends back must not carry a line end or other control
// character: it would make up headers of its own.
bool printable(std::string_view value) {
    for (const unsigned char c : value) {
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return !value.empty() && value.size() <= 256;
}

}  // namespace

void ResumeHeaders::note(std::string_view line) {
    if (line.rfind("HTTP/", 0) == 0) {
        *this = ResumeHeaders();
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return;
    }
    const std::string_view name = trimmed(line.substr(0, colon));
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (nameIs(name, "ETag")) {
        etag = printable(value) && value.rfind("W/", 0) != 0 ? std::string(value) : std::string();
    } else if (nameIs(name, "Last-Modified")) {
        lastModified = printable(value) ? std::string(value) : std::string();
    } else if (nameIs(name, "Content-Range")) {
        rangeStart.reset();
        constexpr std::string_view unit = "bytes ";
        if (value.rfind(unit, 0) != 0) {
            return;
        }
        const std::string_view range = value.substr(unit.size());
        std::int64_t start = -1;
        const auto [end, error] = std::from_chars(range.data(), range.data() + range.size(), start);
        if (error == std::errc() && end != range.data() + range.size() && *end == '-' &&
            start >= 0) {
            rangeStart = start;
        }
    }
}

std::string ResumeHeaders::validator() const {
    return etag.empty() ? lastModified : etag;
}

std::string rangeHeader(std::int64_t offset) {
    return "Range: bytes=" + std::to_string(offset) + "-";
}

std::string ifRangeHeader(const std::string& validator) {
    return "If-Range: " + validator;
}

}  // namespace vantrel::net
