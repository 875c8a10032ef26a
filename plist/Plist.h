#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::plist {

// Owning handle of a libplist node tree.
struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistFree>;

// XML or binary property list; empty on any failure, and for any document that nests or
// holds more than platform/PlistLimits.h allows (measured before the library sees it).
Plist parsePlist(std::string_view bytes);
// One value element cut from a text that PlistXmlStream accepted (so the library reads it as
// the element the stream reported), parsed by the library on its own; empty when the library
// refuses it. The caller bounds its values.
Plist parseXmlPlistElement(std::string_view element);
// True when XML text would give a key or string with a NUL character inside: a NUL byte, or
// a character reference to U+0000. XML allows neither, and the property-list library aborts
// the process when it meets such a key or string later, so such text is refused whole.
bool holdsNulCharacter(std::string_view xml);
Plist readPlistFile(const std::filesystem::path& hostPath);
// Writes XML through a temporary file and a rename, so readers never see half a file.
bool writePlistFile(const std::filesystem::path& hostPath, plist_t root);
std::string plistToXml(plist_t root);

// Typed reads that answer "absent" for a missing key or another type.
plist_t dictItem(plist_t dict, const char* key);
std::optional<std::string> stringValue(plist_t node);
std::optional<bool> boolValue(plist_t node);
std::optional<std::vector<std::uint8_t>> dataValue(plist_t node);

// Shorthands for the common "string under a key of the root dictionary" read.
std::optional<std::string> stringForKey(plist_t dict, const char* key);

// Calls `visit` with each key and value of a dictionary, in the dictionary's order, until it
// answers false; nothing for a node that is not a dictionary. The key is valid during the call.
void forEachDictItem(plist_t dict,
                     const std::function<bool(const char* key, plist_t value)>& visit);

}  // namespace vantrel::plist
