#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Notifications.h"

namespace vantrel {

// The text and number rules by which tool output and progress texts become numbers. Pure
// functions, safe on any thread; the same text gives the same number everywhere.

// The chunk's bytes as UTF-8 text; absent when they are not valid UTF-8. Empty bytes give
// the empty text.
std::optional<std::string> chunkText(std::string_view bytes);
// The bytes as UTF-8, every ill-formed sequence replaced by U+FFFD.
std::string decodeUtf8Leniently(std::string_view bytes);
// Splits off an incomplete UTF-8 sequence at the end of `bytes` (a character cut between two
// reads), so it can be carried over to the next chunk. Returns the length to decode now.
std::size_t completeUtf8Prefix(std::string_view bytes);

// Turns the bytes of one pipe into text chunks: bad bytes become U+FFFD, and a character cut
// between two reads is carried over to the next chunk instead of being mangled.
class ChunkDecoder {
  public:
    std::string decode(std::string_view bytes);
    // At the end of the stream: whatever is still carried, decoded as it is.
    std::string finish();

  private:
    std::string carried_;
};

bool textContains(std::string_view text, std::string_view marker);
// Every occurrence of `marker`, found left to right without overlap, removed.
std::string removingAll(std::string_view text, std::string_view marker);
// Without white space and line ends (Unicode Z categories, U+0009..U+000D, U+0085) at either end.
std::string trimmedText(std::string_view text);
// The characters of `text` that are in `allowed` (ASCII), in order.
std::string keepingOnly(std::string_view text, std::string_view allowed);
// The whole text read as a C-locale strtod number; absent unless strtod consumed all of it,
// it is all ASCII and holds no blank or control white space anywhere.
std::optional<double> decimalValue(std::string_view text);

ProgressReport progressReport(std::string key, std::optional<double> value);

}  // namespace vantrel
