#pragma once

#include <cstdint>
#include <string>

namespace vantrel::net {

// What the catalog promises of a file before it is fetched; a file that differs is not handed
// on. The distribution file is promised nothing.
struct ExpectedFile {
    std::int64_t size = -1;  // bytes; -1 when not known
    std::string digest;      // hex SHA-1 (40 digits) or SHA-256 (64); empty when not known
};

}  // namespace vantrel::net
