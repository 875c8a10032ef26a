#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel::plist {

// What one property list may hold before the property-list library is given it. The library
// frees, copies and writes out its trees recursively (a list nested a few ten thousand deep
// overflows the stack) and spends about 120 bytes on each value, so a document is measured
// first and refused whole when it would pass either bound.

// Values inside values, the innermost included. Property lists that programs write nest
// about ten deep.
inline constexpr std::size_t kMaxPlistDepth = 128;

// Values (keys included) in one tree: about 60 MiB of tree, so that reading a document as
// large as a fetch admits stays well under 256 MiB.
inline constexpr std::size_t kMaxPlistValues = 500'000;

// Text and data bytes of a binary list once its shared objects are copied out: a binary list
// may name one large string from everywhere, and the library copies it each time.
inline constexpr std::uint64_t kMaxPlistTextBytes = 32ull * 1024 * 1024;

}  // namespace vantrel::plist
