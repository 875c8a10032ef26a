#include "caching/DownloadProgress.h"

#include <charconv>
#include <cmath>

#include "base/ToolOutput.h"

namespace vantrel {

double combinedPercentage(const std::map<std::uint64_t, ProgressRecord>& records) {
    std::int64_t written = 0;
    std::int64_t expected = 0;
    for (const auto& [identifier, record] : records) {
        // Wrapping sums, as 64-bit counters do; never undefined behaviour.
        written = static_cast<std::int64_t>(static_cast<std::uint64_t>(written) +
                                            static_cast<std::uint64_t>(record.written));
        expected = static_cast<std::int64_t>(static_cast<std::uint64_t>(expected) +
                                             static_cast<std::uint64_t>(record.expected));
    }
    return static_cast<double>(written) / static_cast<double>(expected) * 100.0;
}

std::optional<std::string> formattedPercentage(double percentage) {
    if (!std::isfinite(percentage)) {
        return std::nullopt;
    }
    // Rounds the exact binary value, ties to even, whatever locale a toolkit may have set.
    char buffer[400];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, percentage, std::chars_format::fixed, 2);
    if (error != std::errc()) {
        return std::nullopt;
    }
    std::string text(buffer, end);
    const std::size_t digitsStart = text.front() == '-' ? 1 : 0;
    if (text.find('.') - digitsStart < 2) {
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(digitsStart), '0');
    }
    return text;
}

std::optional<double> reportedPercentage(double percentage) {
    const auto text = formattedPercentage(percentage);
    if (!text) {
        return std::nullopt;
    }
    return decimalValue(*text);
}

}  // namespace vantrel
