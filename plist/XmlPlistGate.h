#pragma once

#include <cstddef>
#include <string_view>

namespace vantrel::plist {

// True when the property-list library may be given XML text whole: it passes the rules of
// PlistXmlStream (well-formed, cut into the same tags by both parsers, nested no deeper than
// `maxDepth` elements) and holds at most `maxElements` elements (<plist> not counted). The
// library's tree, or the part of it built before the library gives up, then has no more
// values and no deeper nesting than that.
bool xmlPlistWithinLimits(std::string_view xml, std::size_t maxDepth, std::size_t maxElements);

}  // namespace vantrel::plist
