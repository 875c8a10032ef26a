#include "platform/FileURL.h"

#include <cctype>
#include <cstdio>
#include <string_view>

namespace vantrel::platform {

std::string directoryFileURL(const std::string& macPath) {
    std::string url = "file://";
    for (unsigned char c : macPath) {
        if (std::isalnum(c) ||
            std::string_view("/-._~").find(static_cast<char>(c)) != std::string_view::npos) {
            url.push_back(static_cast<char>(c));
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            url += escaped;
        }
    }
    if (url.back() != '/') {
        url.push_back('/');
    }
    return url;
}

}  // namespace vantrel::platform
