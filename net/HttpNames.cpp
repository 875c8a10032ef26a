#include <algorithm>
#include <cctype>
#include <cstring>

#include "net/Http.h"
#include "net/NetworkLibrary.h"

namespace vantrel::net {

namespace {

bool hasControlOrBlank(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7F;
    });
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexDigit(text[i + 1]);
            const int low = hexDigit(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view withoutLineEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// One safe file name out of whatever a server offered: the part after the last separator,
// without control characters and surrounding blanks; empty for "", "." and "..".
std::string safeFileName(std::string_view offered) {
    const std::size_t cut = offered.find_last_of("/\\");
    if (cut != std::string_view::npos) {
        offered.remove_prefix(cut + 1);
    }
    std::string name;
    for (char c : offered) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            name.push_back(c);
        }
    }
    name = std::string(trimmed(name));
    if (name == "." || name == "..") {
        return {};
    }
    return name;
}

// The parameters of a Content-Disposition value, split at semicolons outside quotes.
std::string dispositionFilename(std::string_view value) {
    std::string plain;
    std::string extended;
    std::size_t i = 0;
    while (i < value.size()) {
        std::size_t end = i;
        bool quoted = false;
        while (end < value.size() && (quoted || value[end] != ';')) {
            if (value[end] == '"') {
                quoted = !quoted;
            } else if (value[end] == '\\' && quoted && end + 1 < value.size()) {
                ++end;
            }
            ++end;
        }
        const std::string_view parameter = trimmed(value.substr(i, end - i));
        i = end + 1;
        const std::size_t equals = parameter.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        std::string name(trimmed(parameter.substr(0, equals)));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string_view raw = trimmed(parameter.substr(equals + 1));
        if (name == "filename*") {
            // charset'language'percent-encoded-name
            const std::size_t first = raw.find('\'');
            const std::size_t second =
                first == std::string_view::npos ? first : raw.find('\'', first + 1);
            if (second != std::string_view::npos) {
                extended = percentDecoded(raw.substr(second + 1));
            }
        } else if (name == "filename") {
            if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
                raw = raw.substr(1, raw.size() - 2);
                std::string unescaped;
                for (std::size_t k = 0; k < raw.size(); ++k) {
                    if (raw[k] == '\\' && k + 1 < raw.size()) {
                        ++k;
                    }
                    unescaped.push_back(raw[k]);
                }
                plain = unescaped;
            } else {
                plain = std::string(raw);
            }
        }
    }
    return extended.empty() ? plain : extended;
}

std::string lastPathComponent(NetworkPlugIn& network, std::string_view url) {
    NetworkLibrary* library = network.library();
    const auto path = library ? library->urlPath(std::string(url)) : std::nullopt;
    if (!path) {
        return {};
    }
    std::string_view view(*path);
    while (!view.empty() && view.back() == '/') {
        view.remove_suffix(1);
    }
    const std::size_t slash = view.rfind('/');
    return percentDecoded(slash == std::string_view::npos ? view : view.substr(slash + 1));
}

}  // namespace

bool isValidURL(NetworkPlugIn& network, std::string_view text) {
    if (text.empty() || hasControlOrBlank(text) || text.find('\0') != std::string_view::npos) {
        return false;
    }
    NetworkLibrary* library = network.library();
    const auto host = library ? library->urlHost(std::string(text)) : std::nullopt;
    return host && !host->empty();
}

std::string suggestedFilename(NetworkPlugIn& network, std::string_view contentDisposition,
                              std::string_view url) {
    if (std::string name = safeFileName(dispositionFilename(contentDisposition)); !name.empty()) {
        return name;
    }
    return safeFileName(lastPathComponent(network, url));
}

void noteContentDisposition(std::string_view headerLine, std::string& contentDisposition) {
    if (startsWithNoCase(headerLine, "HTTP/")) {
        contentDisposition.clear();  // a new response, e.g. after a redirect
    } else if (startsWithNoCase(headerLine, "content-disposition:")) {
        contentDisposition =
            std::string(withoutLineEnd(headerLine.substr(std::strlen("content-disposition:"))));
    }
}

}  // namespace vantrel::net
