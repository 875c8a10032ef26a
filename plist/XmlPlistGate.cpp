#include "plist/XmlPlistGate.h"

#include "plist/PlistXmlStream.h"

namespace vantrel::plist {

namespace {

// Counts the value elements of the text: the library makes at most one value of each.
class Count : public PlistXmlStream {
  public:
    Count(std::size_t maxDepth, std::size_t maxElements)
        : PlistXmlStream(maxDepth), maxElements_(maxElements) {}

  private:
    bool opened(const char*, std::size_t depth, std::size_t) override {
        return depth == 0 || ++elements_ <= maxElements_;
    }
    bool closed(std::size_t, std::size_t) override { return true; }
    bool textRead(std::string_view, std::size_t, bool) override { return true; }

    std::size_t maxElements_;
    std::size_t elements_ = 0;
};

}  // namespace

bool xmlPlistWithinLimits(std::string_view xml, std::size_t maxDepth, std::size_t maxElements) {
    return Count(maxDepth, maxElements).read(xml);
}

}  // namespace vantrel::plist
