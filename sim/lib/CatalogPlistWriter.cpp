#include "sim/lib/CatalogPlistWriter.h"

namespace vantrel::sim {

std::string xmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string PlistText::header() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n";
}

std::string PlistText::footer() {
    return "</plist>\n";
}

void PlistText::line(std::string_view content) {
    text_.append(static_cast<std::size_t>(depth_), '\t');
    text_.append(content);
    text_.push_back('\n');
}

PlistText& PlistText::beginDict() {
    line("<dict>");
    ++depth_;
    return *this;
}

PlistText& PlistText::endDict() {
    --depth_;
    line("</dict>");
    return *this;
}

PlistText& PlistText::beginArray() {
    line("<array>");
    ++depth_;
    return *this;
}

PlistText& PlistText::endArray() {
    --depth_;
    line("</array>");
    return *this;
}

PlistText& PlistText::key(std::string_view name) {
    line("<key>" + xmlEscape(name) + "</key>");
    return *this;
}

PlistText& PlistText::string(std::string_view value) {
    line("<string>" + xmlEscape(value) + "</string>");
    return *this;
}

PlistText& PlistText::integer(std::int64_t value) {
    line("<integer>" + std::to_string(value) + "</integer>");
    return *this;
}

PlistText& PlistText::date(std::string_view iso8601) {
    line("<date>" + std::string(iso8601) + "</date>");
    return *this;
}

PlistText& PlistText::boolean(bool value) {
    line(value ? "<true/>" : "<false/>");
    return *this;
}

PlistText& PlistText::raw(std::string_view xml) {
    line(xml);
    return *this;
}

}  // namespace vantrel::sim
