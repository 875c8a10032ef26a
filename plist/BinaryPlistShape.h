#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantrel::plist {

// Measures a binary property list from its object table, without building anything and
// without recursion, the way the property-list library would expand it into a tree: every
// reference copied out in full, so an object named twice counts twice. True when the list is
// well-formed enough to measure, holds no reference cycle, nests no deeper than `maxDepth`
// values (the innermost included) and expands to at most `maxValues` values and `maxTextBytes`
// bytes of text and data. Object kinds the library does not build (ordered sets, unknown markers)
// are refused.
bool binaryPlistWithinLimits(std::string_view bytes, std::size_t maxDepth, std::size_t maxValues,
                             std::uint64_t maxTextBytes);

}  // namespace vantrel::plist
