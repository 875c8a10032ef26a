#include "net/ContentDigest.h"

#include <algorithm>
#include <cctype>

namespace vantrel::net {

std::optional<Digest::Algorithm> ContentDigest::algorithmOf(std::string_view hex) {
    if (!std::all_of(hex.begin(), hex.end(),
                     [](unsigned char c) { return std::isxdigit(c) != 0; })) {
        return std::nullopt;
    }
    if (hex.size() == 40) {
        return Digest::Algorithm::SHA1;
    }
    if (hex.size() == 64) {
        return Digest::Algorithm::SHA256;
    }
    return std::nullopt;
}

std::string lowerHex(std::string_view hex) {
    std::string text(hex);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace vantrel::net
