#include "plist/PlistXmlStream.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

namespace vantrel::plist {

namespace {

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

bool plainIdentifier(const XML_Char* text) {
    return !text || std::strpbrk(text, "\"'<>[]") == nullptr;
}

bool makesValue(std::string_view name) {
    return name != "plist";
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

    static void XMLCALL opened(void* data, const XML_Char* tag, const XML_Char** attributes) {
        PlistXmlStream& stream = of(data);
        const std::string_view name(tag);
        if (stream.refused_) {
            return;
        }
        for (const XML_Char** attribute = attributes; *attribute; attribute += 2) {
            if (std::strpbrk(attribute[1], "\"'<>")) {
                return refuse(stream);
            }
        }
        std::size_t depth = 0;
        if (makesValue(name)) {
            depth = ++stream.depth_;
            if (depth > stream.maxDepth_ || (depth == 1 && stream.rootSeen_)) {
                return refuse(stream);
            }
            stream.rootSeen_ = stream.rootSeen_ || depth == 1;
        }
        const auto at = static_cast<std::size_t>(XML_GetCurrentByteIndex(parser(stream)));
        const auto count = static_cast<std::size_t>(XML_GetCurrentByteCount(parser(stream)));
        const bool selfClosing =
            count >= 2 && at + count <= stream.xml_.size() && stream.xml_[at + count - 2] == '/';
        if (!stream.opened(name, depth, at, selfClosing)) {
            refuse(stream);
        }
    }

    static void XMLCALL closed(void* data, const XML_Char* tag) {
        PlistXmlStream& stream = of(data);
        const std::string_view name(tag);
        if (stream.refused_) {
            return;
        }
        std::size_t depth = 0;
        if (makesValue(name)) {
            depth = stream.depth_--;
        }
        const auto at = static_cast<std::size_t>(XML_GetCurrentByteIndex(parser(stream)));
        const auto count = static_cast<std::size_t>(XML_GetCurrentByteCount(parser(stream)));
        if (!stream.closed(name, depth, at + count)) {
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

bool PlistXmlStream::read(std::string_view xml) {
    if (xml.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser) {
        return false;
    }
    parser_ = parser.get();
    xml_ = xml;
    depth_ = 0;
    rootSeen_ = false;
    inCData_ = false;
    refused_ = false;
    using Events = PlistXmlStreamEvents;
    XML_SetUserData(parser.get(), this);
    XML_SetElementHandler(parser.get(), &Events::opened, &Events::closed);
    XML_SetCharacterDataHandler(parser.get(), &Events::text);
    XML_SetCdataSectionHandler(parser.get(), &Events::cdataStarted, &Events::cdataEnded);
    XML_SetProcessingInstructionHandler(parser.get(), &Events::instruction);
    XML_SetStartDoctypeDeclHandler(parser.get(), &Events::doctype);
    XML_SetEntityDeclHandler(parser.get(), &Events::entity);
    // In pieces: given the whole text at once, expat would copy all of it. Smaller pieces
    // cost time at each piece's end.
    constexpr std::size_t kPiece = 1024 * 1024;
    std::string_view rest = xml;
    bool ok = true;
    do {
        const std::size_t size = std::min(kPiece, rest.size());
        const bool last = size == rest.size();
        if (XML_Parse(parser.get(), rest.data(), static_cast<int>(size),
                      last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK ||
            refused_) {
            ok = false;
            break;
        }
        rest.remove_prefix(size);
    } while (!rest.empty());
    parser_ = nullptr;
    return ok;
}

}  // namespace vantrel::plist
