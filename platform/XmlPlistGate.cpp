#include "platform/XmlPlistGate.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

namespace vantrel::platform {

namespace {

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

class Gate {
  public:
    Gate(std::size_t maxDepth, std::size_t maxElements)
        : parser_(XML_ParserCreate(nullptr)), maxDepth_(maxDepth), maxElements_(maxElements) {}

    bool judge(std::string_view xml) {
        if (!parser_ || xml.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            return false;
        }
        XML_SetUserData(parser_.get(), this);
        XML_SetElementHandler(parser_.get(), &Gate::opened, &Gate::closed);
        XML_SetProcessingInstructionHandler(parser_.get(), &Gate::instruction);
        XML_SetStartDoctypeDeclHandler(parser_.get(), &Gate::doctype);
        XML_SetEntityDeclHandler(parser_.get(), &Gate::entity);
        // In pieces: given the whole text at once, expat would copy all of it.
        constexpr std::size_t kPiece = 64 * 1024;
        do {
            const std::size_t size = std::min(kPiece, xml.size());
            const bool last = size == xml.size();
            if (XML_Parse(parser_.get(), xml.data(), static_cast<int>(size),
                          last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK ||
                refused_) {
                return false;
            }
            xml.remove_prefix(size);
        } while (!xml.empty());
        return true;
    }

  private:
    static Gate& of(void* data) { return *static_cast<Gate*>(data); }

    void refuse() {
        refused_ = true;
        XML_StopParser(parser_.get(), XML_FALSE);
    }

    static bool plainIdentifier(const XML_Char* text) {
        return !text || std::strpbrk(text, "\"'<>[]") == nullptr;
    }

    // The library makes no value of a <plist> element: it counts neither in the depth nor
    // among the elements.
    static bool makesValue(const XML_Char* name) { return std::strcmp(name, "plist") != 0; }

    static void XMLCALL opened(void* data, const XML_Char* name, const XML_Char** attributes) {
        Gate& gate = of(data);
        if (makesValue(name)) {
            ++gate.depth_;
            ++gate.elements_;
        }
        if (gate.depth_ > gate.maxDepth_ || gate.elements_ > gate.maxElements_) {
            gate.refuse();
            return;
        }
        for (const XML_Char** attribute = attributes; *attribute; attribute += 2) {
            if (std::strpbrk(attribute[1], "\"'<>")) {
                gate.refuse();
                return;
            }
        }
    }

    static void XMLCALL closed(void* data, const XML_Char* name) {
        if (makesValue(name)) {
            --of(data).depth_;
        }
    }

    static void XMLCALL instruction(void* data, const XML_Char*, const XML_Char*) {
        of(data).refuse();
    }

    static void XMLCALL doctype(void* data, const XML_Char*, const XML_Char* systemId,
                                const XML_Char* publicId, int hasInternalSubset) {
        if (hasInternalSubset || !plainIdentifier(systemId) || !plainIdentifier(publicId)) {
            of(data).refuse();
        }
    }

    static void XMLCALL entity(void* data, const XML_Char*, int, const XML_Char*, int,
                               const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
        of(data).refuse();
    }

    std::unique_ptr<XML_ParserStruct, ParserFree> parser_;
    std::size_t maxDepth_;
    std::size_t maxElements_;
    std::size_t depth_ = 0;
    std::size_t elements_ = 0;
    bool refused_ = false;
};

}  // namespace

bool xmlPlistWithinLimits(std::string_view xml, std::size_t maxDepth, std::size_t maxElements) {
    return Gate(maxDepth, maxElements).judge(xml);
}

}  // namespace vantrel::platform
