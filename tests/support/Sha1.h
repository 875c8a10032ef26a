#pragma once

// The SHA-1 of some bytes, as the vendor's catalogs give a package's digest, computed apart
// from the program's own digest so that tests check it against an independent one.

#include <openssl/evp.h>

#include <string>
#include <string_view>

#include "sim/lib/PackageWriter.h"

namespace vantrel::testsupport {

inline std::string sha1Hex(std::string_view bytes) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), value, &length, EVP_sha1(), nullptr);
    return sim::hexString(value, length);
}

}  // namespace vantrel::testsupport
