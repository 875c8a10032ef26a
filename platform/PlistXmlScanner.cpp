#include "platform/PlistXmlScanner.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/PlistLimits.h"
#include "platform/XmlPlistGate.h"

namespace vantrel::platform {

namespace {

// The property-list library's XML reader, step for step: where it moves the position, where
// it gives up, where it stops early without a fault. Comparisons are plain byte comparisons,
// as the document holds no NUL (checked first).
class Reader {
  public:
    Reader(std::string_view xml, std::size_t maxDepth, PlistXmlVisitor& visitor)
        : pos_(xml.data()), end_(xml.data() + xml.size()), maxDepth_(maxDepth), visitor_(visitor) {}

    bool run();

  private:
    enum class Path { Plist, Dictionary, Array };

    struct OpenValue {
        const char* start = nullptr;
        std::string key;
        PlistXmlKind kind = PlistXmlKind::Other;
    };

    // The key read last in the current dictionary, waiting for its value.
    struct PendingKey {
        bool present = false;
        std::string text;  // decoded, for keys of the levels reported
    };

    static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    std::size_t left() const { return static_cast<std::size_t>(end_ - pos_); }
    bool startsWith(std::string_view text) const {
        return left() >= text.size() && std::memcmp(pos_, text.data(), text.size()) == 0;
    }

    void skipBlanks();
    void findQuoteEnd();
    void findText(std::string_view text, bool skipQuotes);
    void findAnyOf(std::string_view chars, bool skipQuotes);
    bool readText(std::string_view tag, bool skipBlanksFirst, std::string_view* plain);
    bool readTag();
    bool addValue(PlistXmlKind kind, bool empty, const char* start);
    bool closeValue(std::string_view name);
    bool decodeKey(const char* start, std::string_view plain, std::string* out) const;

    const char* pos_;
    const char* end_;
    std::size_t maxDepth_;
    PlistXmlVisitor& visitor_;

    // The library keeps these two apart: a <plist> opens a path but no container, and an
    // empty root (<dict/>) is a container without a path that takes the values after it.
    std::vector<Path> path_;             // the open <plist>, <dict> and <array> tags
    std::vector<PlistXmlKind> parents_;  // the containers new values go into
    std::vector<OpenValue> open_;        // the open containers of the levels reported
    PendingKey key_;
    bool rootSeen_ = false;
    bool hasContent_ = false;
    bool done_ = false;  // the reader stops here without a fault
};

void Reader::skipBlanks() {
    while (pos_ < end_ && isBlank(*pos_)) {
        ++pos_;
    }
}

// From an opening quote: to the closing one, or to the end.
void Reader::findQuoteEnd() {
    ++pos_;
    const void* quote = std::memchr(pos_, '"', left());
    pos_ = quote ? static_cast<const char*>(quote) : end_;
}

// To the first `text` that starts before the last text.size() bytes, else to where that tail
// starts; quoted stretches are stepped over when asked.
void Reader::findText(std::string_view text, bool skipQuotes) {
    if (!skipQuotes) {
        const std::string_view rest(pos_, left());
        const std::size_t at = rest.find(text);
        if (at != std::string_view::npos) {
            pos_ += at;
        } else if (left() > text.size()) {
            pos_ = end_ - text.size();
        }
        return;
    }
    while (left() > text.size()) {
        if (std::memcmp(pos_, text.data(), text.size()) == 0) {
            return;
        }
        if (*pos_ == '"') {
            findQuoteEnd();
            if (pos_ >= end_) {
                return;
            }
        }
        ++pos_;
    }
}

// To the first of `chars`, or to the end; quoted stretches are stepped over when asked.
void Reader::findAnyOf(std::string_view chars, bool skipQuotes) {
    while (pos_ < end_) {
        if (skipQuotes && *pos_ == '"') {
            findQuoteEnd();
            if (pos_ >= end_) {
                return;
            }
        }
        if (chars.find(*pos_) != std::string_view::npos) {
            return;
        }
        ++pos_;
    }
}

// The text of an element up to its closing tag, with comments and CDATA sections inside;
// false where the reader gives up. `plain` gets the text when it is one stretch without
// comments or CDATA, else stays empty.
bool Reader::readText(std::string_view tag, bool skipBlanksFirst, std::string_view* plain) {
    if (skipBlanksFirst) {
        skipBlanks();
    }
    const char* textStart = pos_;
    bool oneStretch = true;
    const char* textEnd = nullptr;
    while (true) {
        const void* open = std::memchr(pos_, '<', left());
        if (!open) {
            return false;
        }
        pos_ = static_cast<const char*>(open);
        textEnd = pos_;
        ++pos_;
        if (pos_ >= end_) {
            return false;
        }
        if (*pos_ == '/') {
            break;
        }
        if (*pos_ != '!') {
            return false;  // an element inside text
        }
        oneStretch = false;
        ++pos_;
        if (pos_ >= end_ - 1) {
            return false;
        }
        if (pos_[0] == '-' && pos_[1] == '-') {
            pos_ += 2;
            findText("-->", false);
            if (left() < 3 || std::memcmp(pos_, "-->", 3) != 0) {
                return false;
            }
            pos_ += 3;
        } else if (*pos_ == '[') {
            ++pos_;
            if (left() <= 8 || std::memcmp(pos_, "CDATA[", 6) != 0) {
                return false;
            }
            pos_ += 6;
            findText("]]>", false);
            if (left() < 3 || std::memcmp(pos_, "]]>", 3) != 0) {
                return false;
            }
            pos_ += 3;
        } else {
            return false;
        }
    }
    ++pos_;
    if (left() <= tag.size() || std::memcmp(pos_, tag.data(), tag.size()) != 0) {
        return false;
    }
    pos_ += tag.size();
    skipBlanks();
    if (pos_ >= end_ || *pos_ != '>') {
        return false;
    }
    ++pos_;
    if (plain && oneStretch) {
        *plain = std::string_view(textStart, static_cast<std::size_t>(textEnd - textStart));
    }
    return true;
}

// A key's text as the library decodes it. Plain text without references is taken as it is;
// anything else is left to the library, parsing the key element on its own (as a string).
bool Reader::decodeKey(const char* start, std::string_view plain, std::string* out) const {
    if (plain.data() && plain.find('&') == std::string_view::npos) {
        out->assign(plain);
        return true;
    }
    const Plist node =
        parseXmlPlistElement(std::string_view(start, static_cast<std::size_t>(pos_ - start)));
    const auto text = stringValue(node.get());
    if (!text) {
        return false;
    }
    *out = *text;
    return true;
}

bool Reader::addValue(PlistXmlKind kind, bool empty, const char* start) {
    const bool container = kind != PlistXmlKind::Other;
    if (!rootSeen_) {
        rootSeen_ = true;
        PlistXmlValue root;
        root.kind = kind;
        root.element = std::string_view(start, static_cast<std::size_t>(pos_ - start));
        if (!visitor_.valueOpened(root)) {
            return false;
        }
        if (!container) {
            done_ = true;  // a root that is no container is the whole document
            return true;
        }
        parents_.push_back(kind);
        if (!empty) {
            path_.push_back(kind == PlistXmlKind::Dictionary ? Path::Dictionary : Path::Array);
        }
        key_ = {};
        return true;
    }
    if (parents_.back() == PlistXmlKind::Dictionary && !key_.present) {
        return false;  // a value without a key
    }
    PlistXmlValue value;
    value.depth = parents_.size();
    value.key = key_.text;
    value.kind = kind;
    value.element = std::string_view(start, static_cast<std::size_t>(pos_ - start));
    const bool reported = value.depth <= maxDepth_;
    if (reported && !visitor_.valueOpened(value)) {
        return false;
    }
    if (container && !empty) {
        path_.push_back(kind == PlistXmlKind::Dictionary ? Path::Dictionary : Path::Array);
        parents_.push_back(kind);
        if (reported) {
            open_.push_back({start, std::move(key_.text), kind});
        }
    } else if (reported && !visitor_.valueClosed(value)) {
        return false;
    }
    key_ = {};
    return true;
}

bool Reader::closeValue(std::string_view name) {
    if (path_.empty()) {
        return false;
    }
    const std::string_view open = path_.back() == Path::Plist        ? "plist"
                                  : path_.back() == Path::Dictionary ? "dict"
                                                                     : "array";
    if (name != open) {
        return false;
    }
    path_.pop_back();
    parents_.pop_back();
    key_ = {};
    if (parents_.empty()) {
        done_ = true;  // the root is complete; the reader looks no further
        return true;
    }
    const std::size_t depth = parents_.size();
    if (depth > maxDepth_) {
        return true;
    }
    OpenValue finished = std::move(open_.back());
    open_.pop_back();
    PlistXmlValue value;
    value.depth = depth;
    value.key = finished.key;
    value.kind = finished.kind;
    value.element =
        std::string_view(finished.start, static_cast<std::size_t>(pos_ - finished.start));
    return visitor_.valueClosed(value);
}

// One tag from just after its '<': false where the reader gives up.
bool Reader::readTag() {
    const char* start = pos_ - 1;
    const char* nameStart = pos_;
    while (pos_ < end_ && !isBlank(*pos_) && *pos_ != '<' && *pos_ != '>') {
        ++pos_;
    }
    if (pos_ >= end_) {
        return false;
    }
    std::string_view tag(nameStart, static_cast<std::size_t>(pos_ - nameStart));
    if (*pos_ != '>') {
        findAnyOf("<>", true);
    }
    if (pos_ >= end_ || *pos_ != '>') {
        return false;
    }
    bool empty = false;
    if (pos_[-1] == '/') {
        const auto slash = static_cast<std::size_t>(pos_ - nameStart - 1);
        if (slash < tag.size()) {
            tag = tag.substr(0, slash);
        }
        empty = true;
    }
    ++pos_;

    if (tag == "plist") {
        hasContent_ = false;
        if (path_.empty() && rootSeen_) {
            done_ = true;  // a second top-level <plist> ends the reading
            return true;
        }
        if (empty) {
            return false;
        }
        path_.push_back(Path::Plist);
        return true;
    }
    if (tag == "/plist") {
        if (!hasContent_ || path_.empty() || path_.back() != Path::Plist) {
            return false;
        }
        path_.pop_back();
        return true;
    }
    hasContent_ = true;
    if (tag == "dict") {
        return addValue(PlistXmlKind::Dictionary, empty, start);
    }
    if (tag == "array") {
        return addValue(PlistXmlKind::Array, empty, start);
    }
    if (tag == "integer" || tag == "real" || tag == "date" || tag == "data" || tag == "true" ||
        tag == "false") {
        if (!empty && !readText(tag, true, nullptr)) {
            return false;
        }
        return addValue(PlistXmlKind::Other, true, start);
    }
    if (tag == "string" || tag == "key") {
        if (empty) {
            return addValue(PlistXmlKind::Other, true, start);  // even <key/> is a string
        }
        std::string_view plain;
        if (!readText(tag, false, &plain)) {
            return false;
        }
        const bool namesValue = tag == "key" && !key_.present && !parents_.empty() &&
                                parents_.back() == PlistXmlKind::Dictionary;
        if (!namesValue) {
            return addValue(PlistXmlKind::Other, true, start);
        }
        key_.present = true;
        // Keys below the levels reported are judged with the value that holds them.
        return parents_.size() > maxDepth_ || decodeKey(start, plain, &key_.text);
    }
    if (!tag.empty() && tag.front() == '/') {
        return closeValue(tag.substr(1));
    }
    return false;  // a tag the library does not know
}

bool Reader::run() {
    while (pos_ < end_ && !done_) {
        skipBlanks();
        if (pos_ >= end_) {
            break;
        }
        if (*pos_ != '<') {
            return false;
        }
        ++pos_;
        if (pos_ >= end_) {
            return false;
        }
        if (*pos_ == '?') {
            findText("?>", true);
            if (left() < 2 || std::memcmp(pos_, "?>", 2) != 0) {
                return false;
            }
            pos_ += 2;
        } else if (*pos_ == '!') {
            if (left() > 3 && startsWith("!--")) {
                pos_ += 3;
                findText("-->", false);
                if (left() < 3 || std::memcmp(pos_, "-->", 3) != 0) {
                    return false;
                }
                pos_ += 3;
            } else if (left() > 8 && startsWith("!DOCTYPE")) {
                pos_ += 8;
                bool embedded = false;
                while (pos_ < end_) {
                    findAnyOf(" \t\r\n[>", true);
                    if (pos_ >= end_) {
                        return false;
                    }
                    if (*pos_ == '[') {
                        embedded = true;
                        break;
                    }
                    if (*pos_ == '>') {
                        ++pos_;
                        break;
                    }
                    skipBlanks();
                }
                if (embedded) {
                    findText("]>", true);
                    if (left() < 2 || std::memcmp(pos_, "]>", 2) != 0) {
                        return false;
                    }
                    pos_ += 2;
                }
            } else {
                return false;
            }
        } else if (!readTag()) {
            return false;
        }
    }
    if (done_) {
        return true;
    }
    return path_.empty();
}

}  // namespace

bool scanXmlPlist(std::string_view xml, std::size_t maxDepth, PlistXmlVisitor& visitor) {
    // Only the depth is bounded here: the visitor builds one value at a time.
    if (xml.size() < 8 || xml.size() > std::numeric_limits<std::uint32_t>::max() ||
        holdsNulCharacter(xml) ||
        !xmlPlistWithinLimits(xml, kMaxPlistDepth, std::numeric_limits<std::size_t>::max())) {
        return false;
    }
    return Reader(xml, maxDepth, visitor).run();
}

std::size_t plistValuesAtMost(std::string_view element) {
    return static_cast<std::size_t>(std::count(element.begin(), element.end(), '<'));
}

Plist parseXmlPlistElement(std::string_view element) {
    if (element.empty() || element.size() > std::numeric_limits<std::uint32_t>::max() ||
        plistValuesAtMost(element) > kMaxPlistValues) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_xml(element.data(), static_cast<std::uint32_t>(element.size()), &root);
    return Plist(root);
}

}  // namespace vantrel::platform
