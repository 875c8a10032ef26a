#include "plist/PlistXmlStream.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace vantrel::plist {

namespace {

bool plainIdentifier(const XML_Char* text) {
    return !text || std::strpbrk(text, "\"'<>[]") == nullptr;
}

bool makesValue(const XML_Char* name) {
    return name[0] != 'p' || std::strcmp(name, "plist") != 0;
}

}  // namespace

// expat's callbacks, turned into the stream's events and rules.
struct PlistXmlStreamEvents {
    static PlistXmlStream& of(void* data) { return *static_cast<PlistXmlStream*>(data); }
    static XML_Parser parser(PlistXmlStream& stream) {
        return static_cast<XML_Parser>(stream.parser_);
    }

    static void refuse(PlistXmlStream& stream) {
        if (!stream.refused_) {
            stream.refused_ = true;
            XML_StopParser(parser(stream), XML_FALSE);
        }
    }

    // "<name/>": the tag's bytes, which expat still holds, end in "/>".
    static bool selfClosing(XML_Parser parser) {
        int offset = 0;
        int size = 0;
        const char* context = XML_GetInputContext(parser, &offset, &size);
        const int count = XML_GetCurrentByteCount(parser);
        return context && count >= 2 && offset >= 0 && offset + count <= size &&
               context[offset + count - 2] == '/';
    }

    static void XMLCALL opened(void* data, const XML_Char* tag, const XML_Char** attributes) {
        PlistXmlStream& stream = of(data);
        if (stream.refused_) {
            return;
        }
        for (const XML_Char** attribute = attributes; *attribute; attribute += 2) {
            if (std::strpbrk(attribute[1], "\"'<>")) {
                return refuse(stream);
            }
        }
        std::size_t depth = 0;
        if (makesValue(tag)) {
            depth = ++stream.depth_;
            if (depth > stream.maxDepth_ || (depth == 1 && stream.rootSeen_)) {
                return refuse(stream);
            }
            stream.rootSeen_ = stream.rootSeen_ || depth == 1;
        }
        const XML_Parser expat = parser(stream);
        const auto at = static_cast<std::size_t>(XML_GetCurrentByteIndex(expat));
        stream.tagEnd_ = at + static_cast<std::size_t>(XML_GetCurrentByteCount(expat));
        if (!stream.opened(tag, depth, at)) {
            refuse(stream);
        }
    }

    static void XMLCALL closed(void* data, const XML_Char* tag) {
        PlistXmlStream& stream = of(data);
        if (stream.refused_) {
            return;
        }
        std::size_t depth = 0;
        if (makesValue(tag)) {
            depth = stream.depth_--;
        }
        const XML_Parser expat = parser(stream);
        const auto at = static_cast<std::size_t>(XML_GetCurrentByteIndex(expat));
        const auto count = static_cast<std::size_t>(XML_GetCurrentByteCount(expat));
        stream.tagEnd_ = std::max(stream.tagEnd_, at + count);  // "<a/>" ends with no bytes
        if (!stream.closed(depth, at + count)) {
            refuse(stream);
        }
    }

    static void XMLCALL text(void* data, const XML_Char* text, int length) {
        PlistXmlStream& stream = of(data);
        if (!stream.refused_ &&
            !stream.textRead(std::string_view(text, static_cast<std::size_t>(length)),
                             stream.depth_, stream.inCData_)) {
            refuse(stream);
        }
    }

    static void XMLCALL cdataStarted(void* data) { of(data).inCData_ = true; }
    static void XMLCALL cdataEnded(void* data) { of(data).inCData_ = false; }

    static void XMLCALL instruction(void* data, const XML_Char*, const XML_Char*) {
        refuse(of(data));
    }

    static void XMLCALL doctype(void* data, const XML_Char*, const XML_Char* systemId,
                                const XML_Char* publicId, int hasInternalSubset) {
        if (hasInternalSubset || !plainIdentifier(systemId) || !plainIdentifier(publicId)) {
            refuse(of(data));
        }
    }

    static void XMLCALL entity(void* data, const XML_Char*, int, const XML_Char*, int,
                               const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
        refuse(of(data));
    }
};

bool PlistXmlStream::openedSelfClosing() const {
    return parser_ && PlistXmlStreamEvents::selfClosing(static_cast<XML_Parser>(parser_));
}

PlistXmlStream::PlistXmlStream(std::size_t maxDepth) : maxDepth_(maxDepth) {}

PlistXmlStream::~PlistXmlStream() {
    if (parser_) {
        XML_ParserFree(static_cast<XML_Parser>(parser_));
    }
}

bool PlistXmlStream::start() {
    const XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) {
        return false;
    }
    parser_ = parser;
    using Events = PlistXmlStreamEvents;
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, &Events::opened, &Events::closed);
    XML_SetCharacterDataHandler(parser, &Events::text);
    XML_SetCdataSectionHandler(parser, &Events::cdataStarted, &Events::cdataEnded);
    XML_SetProcessingInstructionHandler(parser, &Events::instruction);
    XML_SetStartDoctypeDeclHandler(parser, &Events::doctype);
    XML_SetEntityDeclHandler(parser, &Events::entity);
    return true;
}

bool PlistXmlStream::feed(std::string_view piece, bool last) {
    if (refused_ || ended_) {
        return false;
    }
    if (!parser_ && !start()) {
        refused_ = true;
        return false;
    }
    const auto expat = static_cast<XML_Parser>(parser_);
    // expat takes an int length; a larger piece goes in parts.
    constexpr std::size_t kLargestPart = std::numeric_limits<int>::max() / 2;
    do {
        const std::size_t size = std::min(kLargestPart, piece.size());
        const bool final = last && size == piece.size();
        if (XML_Parse(expat, piece.data(), static_cast<int>(size), final ? XML_TRUE : XML_FALSE) !=
                XML_STATUS_OK ||
            refused_) {
            refused_ = true;
            break;
        }
        piece.remove_prefix(size);
    } while (!piece.empty());
    if (last || refused_) {
        ended_ = true;
        XML_ParserFree(expat);
        parser_ = nullptr;
    }
    return !refused_;
}

bool PlistXmlStream::read(std::string_view xml) {
    // In pieces: given the whole text at once, expat would hold a copy of all of it.
    constexpr std::size_t kPiece = 1024 * 1024;
    do {
        const std::size_t size = std::min(kPiece, xml.size());
        if (!feed(xml.substr(0, size), size == xml.size())) {
            return false;
        }
        xml.remove_prefix(size);
    } while (!xml.empty());
    return true;
}

}  // namespace vantrel::plist
