#include "caching/XmlPath.h"

namespace vantrel {

namespace {

bool isText(const pugi::xml_node& node) {
    return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

bool hasName(const pugi::xml_node& node, std::string_view name) {
    if (isText(node)) {
        return name == "#text";
    }
    return node.type() == pugi::node_element && name == node.name();
}

}  // namespace

std::optional<pugi::xml_document> parseXmlDocument(std::string_view text, std::string* failure) {
    std::size_t markup = 0;
    for (const char c : text) {
        markup += c == '<' || c == '=';
    }
    if (markup > kMaxXmlMarkup) {
        if (failure) {
            *failure = "holds more than " + std::to_string(kMaxXmlMarkup) + " tags and attributes";
        }
        return std::nullopt;
    }
    std::optional<pugi::xml_document> document(std::in_place);
    // Whitespace-only text between elements is layout, not content, and is not kept.
    const auto result =
        document->load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto);
    if (!result) {
        if (failure) {
            *failure = "is not XML";
        }
        return std::nullopt;
    }
    return document;
}

std::vector<std::string> nodeValues(const pugi::xml_document& document,
                                    std::initializer_list<std::string_view> path,
                                    std::size_t limit) {
    std::vector<pugi::xml_node> current{document};
    for (const std::string_view element : path) {
        std::vector<pugi::xml_node> next;
        for (const auto& node : current) {
            for (const auto& child : node.children()) {
                if (hasName(child, element)) {
                    next.push_back(child);
                }
            }
        }
        current = std::move(next);
    }
    std::vector<std::string> values;
    for (const auto& node : current) {
        if (values.size() == limit) {
            break;
        }
        if (isText(node)) {
            values.emplace_back(node.value());
        }
    }
    return values;
}

}  // namespace vantrel
