#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vantrel {

// A 64-bit number from the system's cryptographic random source.
std::uint64_t drawRandomNumber();

// A code of four ASCII digits, "0000" to "9999", every one equally likely. Draws from `draw`
// until a number of 1616 or more comes (2^64 modulo 10000 is 1616, so rejecting the values
// below it leaves a range that divides evenly) and keeps the last four decimal digits.
std::string makeChallengeCode(const std::function<std::uint64_t()>& draw = drawRandomNumber);

}  // namespace vantrel
