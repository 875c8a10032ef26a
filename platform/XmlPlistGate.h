#pragma once

#include <cstddef>
#include <string_view>

namespace vantrel::platform {

// Judges XML text with expat before the property-list library reads it. Passes only
// well-formed XML whose markup the library splits into the same tags as expat, nested no
// deeper than `maxDepth` elements and holding at most `maxElements` of them (<plist> elements
// not counted: they make no value):
// - no processing instruction (the library skips quoted text inside one; expat does not);
// - no DOCTYPE with an internal subset, no quote, bracket or angle bracket in its identifiers
//   (the library ends the DOCTYPE at the first "]>" or ">" it finds);
// - no quote or angle bracket in an attribute value (the library ends a tag at a ">" between
//   single quotes).
// So the library's tree, or the part of it built before the library gives up, has no more
// values and no deeper nesting than the elements measured here.
bool xmlPlistWithinLimits(std::string_view xml, std::size_t maxDepth, std::size_t maxElements);

}  // namespace vantrel::platform
