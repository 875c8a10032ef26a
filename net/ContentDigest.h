#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/NetworkLibrary.h"

namespace vantrel::net {

// What a catalog's digest of a package is. The digests are computed while the bytes stream
// past (Digest, made by the network library), so a package is never read a second time to be
// checked. The catalog's digests are lower-case or upper-case hex: 40 digits for SHA-1 (what
// the vendor's catalogs hold), 64 for SHA-256.
struct ContentDigest {
    // The algorithm whose hex digest `hex` is; absent for any other text.
    static std::optional<Digest::Algorithm> algorithmOf(std::string_view hex);
};

// `hex` in lower case.
std::string lowerHex(std::string_view hex);

}  // namespace vantrel::net
