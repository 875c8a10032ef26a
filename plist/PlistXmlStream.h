#pragma once

#include <cstddef>
#include <string_view>

namespace vantrel::plist {

// Streams XML text through expat for a property-list reader, and refuses what the
// property-list library would cut into other tags than expat does, so that any piece of an
// accepted text can be handed to the library and read as the element expat reported:
// - no processing instruction (the library skips quoted text inside one; expat does not);
// - no DOCTYPE with an internal subset, no quote, bracket or angle bracket in its identifiers
//   (the library ends the DOCTYPE at the first "]>" or ">" it finds);
// - no quote or angle bracket in an attribute value (the library ends a tag at a ">" between
//   single quotes);
// - one root value (the library reads the values after an empty root into it).
// Elements nested deeper than `maxDepth` are refused too; <plist> elements, of which the
// library makes no value, do not count.
class PlistXmlStream {
  public:
    explicit PlistXmlStream(std::size_t maxDepth);
    virtual ~PlistXmlStream();
    PlistXmlStream(const PlistXmlStream&) = delete;
    PlistXmlStream& operator=(const PlistXmlStream&) = delete;

    // Reads the whole text; false when expat, a rule above or a handler refused it.
    bool read(std::string_view xml);

    // The same, a piece at a time as the text arrives: `last` marks its final piece (which may
    // be empty). False once the text is refused; later pieces are then ignored. Byte offsets
    // given to the handlers count from the start of the first piece.
    bool feed(std::string_view piece, bool last);

  protected:
    // An element begins at byte `at` of the text. `depth` counts the elements open with it,
    // <plist> elements left out (those get depth 0). `name` is the tag, NUL-terminated.
    // Returning false ends the reading as a refusal.
    virtual bool opened(const char* name, std::size_t depth, std::size_t at) = 0;
    // The element ends just before byte `end`.
    virtual bool closed(std::size_t depth, std::size_t end) = 0;
    // Character data (decoded), inside `depth` elements; `inCData` inside a CDATA section.
    virtual bool textRead(std::string_view text, std::size_t depth, bool inCData) = 0;

    // During opened(): whether the element is written "<name/>".
    bool openedSelfClosing() const;
    // Where the last tag reported ends: every tag still to come begins at or after it.
    std::size_t lastTagEnd() const { return tagEnd_; }

  private:
    friend struct PlistXmlStreamEvents;
    bool start();

    std::size_t maxDepth_;
    std::size_t depth_ = 0;
    bool rootSeen_ = false;
    bool inCData_ = false;
    bool refused_ = false;
    bool ended_ = false;
    std::size_t tagEnd_ = 0;
    void* parser_ = nullptr;  // made by the first piece, freed by the last or the destructor
};

}  // namespace vantrel::plist
