#include "ui/ChallengeCode.h"

#include <cstdio>

#include "platform/Random.h"

namespace vantrel {

namespace {
constexpr std::uint64_t kCodes = 10000;
// 2^64 modulo 10000.
constexpr std::uint64_t kRejectBelow = (~std::uint64_t{0} % kCodes + 1) % kCodes;
static_assert(kRejectBelow == 1616);
}  // namespace

std::uint64_t drawRandomNumber() {
    std::uint64_t number = 0;
    platform::fillRandomBytes(&number, sizeof number);
    return number;
}

std::string makeChallengeCode(const std::function<std::uint64_t()>& draw) {
    std::uint64_t number = draw();
    while (number < kRejectBelow) {
        number = draw();
    }
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(number % kCodes));
    return digits;
}

}  // namespace vantrel
