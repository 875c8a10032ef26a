#pragma once

#include <cstddef>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace vantrel {

// The document tree takes about 64 bytes for each element, text run and attribute, so a
// text is read only when it holds at most this many tags and attributes (counted by their
// "<" and "="): a few hundred make a distribution file or server metadata.
inline constexpr std::size_t kMaxXmlMarkup = 250'000;

// An XML document read from a fetched text; absent when the text holds more markup than
// kMaxXmlMarkup or is not well-formed XML, with why in `failure` ("holds more than ... tags
// and attributes", "is not XML"). No external entity or DTD is ever loaded.
std::optional<pugi::xml_document> parseXmlDocument(std::string_view text,
                                                   std::string* failure = nullptr);

// The values of the nodes that `path` reaches from the document node, in document order:
// each path element replaces the current nodes by all their children of that name. Elements
// are named by their tag; text and CDATA nodes are named "#text" and their value is their
// text. Nodes without a value (elements) are left out. At most `limit` values, the first.
std::vector<std::string> nodeValues(const pugi::xml_document& document,
                                    std::initializer_list<std::string_view> path,
                                    std::size_t limit = std::numeric_limits<std::size_t>::max());

}  // namespace vantrel
