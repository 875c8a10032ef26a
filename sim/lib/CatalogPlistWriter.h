#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::sim {

// Appends an XML property list to a string, element by element, indented with tabs as the
// vendor's servers write them. Catalogs are built product by product with it, so a catalog of
// tens of thousands of products never exists as a tree in memory.
class PlistText {
  public:
    // The XML declaration, the DOCTYPE and "<plist version=\"1.0\">".
    static std::string header();
    static std::string footer();

    explicit PlistText(int depth = 0) : depth_(depth) {}

    PlistText& beginDict();
    PlistText& endDict();
    PlistText& beginArray();
    PlistText& endArray();
    PlistText& key(std::string_view name);
    PlistText& string(std::string_view value);
    PlistText& integer(std::int64_t value);
    PlistText& date(std::string_view iso8601);
    PlistText& boolean(bool value);
    // Text written as it stands (already XML), on its own indented line.
    PlistText& raw(std::string_view xml);

    const std::string& text() const { return text_; }
    std::string take() { return std::move(text_); }

  private:
    void line(std::string_view content);

    std::string text_;
    int depth_;
};

// &, <, > and quotes as XML entities; line feeds and carriage returns as character references,
// which every reader keeps as they are (raw ones are normalised, and would split the catalog's
// one-line entries).
std::string xmlEscape(std::string_view text);

}  // namespace vantrel::sim
