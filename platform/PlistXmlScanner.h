#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Plist.h"

namespace vantrel::platform {

// Walks an XML property list the way the property-list library reads one, without building
// its tree, so that a large document can be read one small piece at a time: each value of
// the first levels is handed over as the bytes of its element, which `parseXmlPlistElement`
// turns into the same tree the library would have built for it inside the whole document.
//
// The walk follows the library's reader rule for rule (its tags, comments, CDATA, processing
// instructions, DOCTYPE, keys that name nothing, a second <plist>, text after the root), so
// it accepts a document exactly when `parsePlist` would, as long as the visitor refuses each
// value the library refuses. It does not look inside the values' text apart from keys: the
// visitor must parse every value it is handed (or one that holds it) to have it judged.

enum class PlistXmlKind { Dictionary, Array, Other };

struct PlistXmlValue {
    std::size_t depth = 0;  // 0: the root; 1: an item of the root; 2: an item of such an item
    std::string_view key;   // its key, when its container is a dictionary
    PlistXmlKind kind = PlistXmlKind::Other;
    std::string_view element;  // the value's bytes; from `valueClosed` on, its whole element
};

class PlistXmlVisitor {
  public:
    virtual ~PlistXmlVisitor() = default;
    // A value begins: its opening tag has been read (`element` is that tag). The root is
    // reported here only. Returning false ends the walk as a refused document.
    virtual bool valueOpened(const PlistXmlValue& value) = 0;
    // A value of depth 1 or more has been read to its end (`element` is all of it).
    virtual bool valueClosed(const PlistXmlValue& value) = 0;
};

// Walks `xml` and reports its values down to `maxDepth`. True when the library would accept
// the document (and the visitor refused nothing); the visitor may have been told of values
// before a refusal. Applies the same checks as `parsePlist` (at least 8 bytes, no NUL
// character, the depth bound) except the bound on values. Not for binary lists.
bool scanXmlPlist(std::string_view xml, std::size_t maxDepth, PlistXmlVisitor& visitor);

// An upper bound of the values the library builds from an element: each begins with a tag.
std::size_t plistValuesAtMost(std::string_view element);

// One value element cut from a document that `scanXmlPlist` walked, parsed by the library on
// its own; empty when the library refuses it or when it may hold more than kMaxPlistValues.
Plist parseXmlPlistElement(std::string_view element);

}  // namespace vantrel::platform
