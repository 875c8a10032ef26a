#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace vantrel {

// The last progress a download task reported.
struct ProgressRecord {
    std::int64_t written = 0;
    std::int64_t expected = 0;  // -1, as it comes, when the size is unknown
};

// The combined percentage W / E x 100 over every task that has reported so far, with W and E
// summed in 64 bits.
double combinedPercentage(const std::map<std::uint64_t, ProgressRecord>& records);

// The percentage as the window's number formatter writes it: at least 2 integer digits and
// exactly 2 fraction digits, rounded half to even, "." as decimal point, no grouping (5.256
// gives "05.26", 100 gives "100.00"). Absent for a value that is not finite, which has no
// digits to show.
std::optional<std::string> formattedPercentage(double percentage);

// The percentage rounded as it is reported: formatted, then read back as a number.
std::optional<double> reportedPercentage(double percentage);

}  // namespace vantrel
