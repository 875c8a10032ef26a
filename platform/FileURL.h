#pragma once

#include <string>

namespace vantrel::platform {

// A folder's Mac path written as an absolute file URL, as a Mac writes it in its logs:
// "file://" + the path with reserved bytes percent-escaped, ending in "/".
std::string directoryFileURL(const std::string& macPath);

}  // namespace vantrel::platform
