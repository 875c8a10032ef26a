#pragma once

#include <cstddef>

namespace vantrel::platform {

// Fills `buffer` from the system's cryptographic random source (getrandom). Never a seeded
// or time-based generator.
void fillRandomBytes(void* buffer, std::size_t length);

}  // namespace vantrel::platform
