#pragma once

#include <string>
#include <string_view>

namespace vantrel::platform {

// Text from outside the program (catalog keys, builds, versions, names, URLs, error texts that
// quote them) made safe to put into one line of standard output or one log message: nothing
// in it can end the line, move the cursor, recolour the terminal or pose as a line of the
// program's own. Ordinary text comes back unchanged. Escapes:
//
//   backslash                                  \\      (so every other backslash is an escape)
//   line feed, carriage return, tab            \n  \r  \t
//   other C0 controls, DEL, C1 controls        \u{1B}  \u{7F}  \u{85}   (code point in hex)
//   line and paragraph separators, and the
//   bidirectional formatting controls          \u{2028}  \u{202E}  ...
//   a byte that is not part of valid UTF-8     \xFF    (the byte in hex, always two digits)
std::string printableText(std::string_view text);

// The same escapes except that a backslash stays as it is: for writers that keep one message
// per line whatever they are given, where the message may already hold printableText.
std::string printableKeepingBackslashes(std::string_view text);

}  // namespace vantrel::platform
