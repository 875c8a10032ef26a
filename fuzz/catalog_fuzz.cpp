// The catalog filter: catalog bytes (XML or binary property list) to installer candidates.
// Where the property-list library's parse of the whole document reads a catalog, the reader
// the program uses (one streaming pass) must agree with it in everything: outcome,
// candidates in order with their dictionaries, and "no" lines. It may refuse only what the
// library would cut into other tags than expat; and it may read a document the library
// refuses, since it builds no tree for the values that cannot be installers (the library
// refuses such a value for its text, say a bad <date>). Nothing nested deeper or holding more
// values than the property-list bounds is ever read.

#include <cstdlib>
#include <functional>
#include <string>

#include "caching/Catalog.h"
#include "fuzz/FuzzSupport.h"
#include "plist/Plist.h"
#include "plist/PlistLimits.h"
#include "plist/XmlPlistGate.h"

using namespace vantrel;

namespace {

struct Read {
    CatalogReading reading;
    std::size_t lines = 0;
};

template <typename Reader>
Read readWith(Reader reader, std::string_view body) {
    Read out;
    out.reading = reader(body, [&](std::string_view line) {
        if (line != "no") {
            std::abort();  // the filter's only line
        }
        ++out.lines;
    });
    return out;
}

void expectSame(const Read& streamed, const Read& whole) {
    if (streamed.reading.outcome != whole.reading.outcome || streamed.lines != whole.lines ||
        streamed.reading.candidates.size() != whole.reading.candidates.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < whole.reading.candidates.size(); ++i) {
        const Candidate& ours = streamed.reading.candidates[i];
        const Candidate& theirs = whole.reading.candidates[i];
        if (ours.productKey != theirs.productKey ||
            plist::plistToXml(ours.product.get()) != plist::plistToXml(theirs.product.get())) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body = fuzz::asText(data, size);
    const Read whole = readWith(readCatalogTree, body);
    const Read streamed = readWith(readCatalog, body);
    using Outcome = CatalogReading::Outcome;
    if (streamed.reading.outcome == Outcome::NotADictionary &&
        whole.reading.outcome != Outcome::NotADictionary) {
        // Refusing more is the streaming reader's right only where the library would be handed
        // text it cuts otherwise than expat, or where expat refuses.
        if (plist::xmlPlistWithinLimits(body, plist::kMaxPlistDepth, plist::kMaxPlistValues)) {
            std::abort();
        }
    } else if (whole.reading.outcome != Outcome::NotADictionary) {
        expectSame(streamed, whole);
    }
    // As a transfer hands it on, in pieces of a size the input's first byte picks, the
    // catalog reads as it does whole.
    const std::size_t pieceBytes = size ? 1 + static_cast<std::size_t>(data[0]) * 31 : 1;
    const Read inPieces = readWith(
        [pieceBytes](std::string_view text, const std::function<void(std::string_view)>& line) {
            CatalogStreamReader reader;
            for (std::size_t at = 0; at < text.size(); at += pieceBytes) {
                if (!reader.append(text.substr(at, pieceBytes))) {
                    break;
                }
            }
            return reader.finish(line);
        },
        body);
    expectSame(inPieces, streamed);
    fuzz::expectWithinPlistLimits(plist::parsePlist(body).get());
    for (const auto& candidate : streamed.reading.candidates) {
        fuzz::expectWithinPlistLimits(candidate.product.get());
        plist_t identifiers =
            plist::dictItem(plist::dictItem(candidate.product.get(), "ExtendedMetaInfo"),
                            "InstallAssistantPackageIdentifiers");
        if (plist::stringForKey(identifiers, "OSInstall") != kOSInstallPackageIdentifier) {
            std::abort();  // a product that is no OS installer became a candidate
        }
    }
    return 0;
}
