#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace vantrel {

// An XML document read from a fetched text; absent when the text is not well-formed XML.
// No external entity or DTD is ever loaded.
std::optional<pugi::xml_document> parseXmlDocument(std::string_view text);

// The values of the nodes that `path` reaches from the document node, in document order:
// each path element replaces the current nodes by all their children of that name. Elements
// are named by their tag; text and CDATA nodes are named "#text" and their value is their
// text. Nodes without a value (elements) are left out.
std::vector<std::string> nodeValues(const pugi::xml_document& document,
                                    std::initializer_list<std::string_view> path);

}  // namespace vantrel
