#include "plist/Plist.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include "plist/BinaryPlistShape.h"
#include "plist/PlistLimits.h"
#include "plist/XmlPlistGate.h"

namespace vantrel::plist {

namespace {

plist_t parseXmlPlist(std::string_view xml) {
    if (holdsNulCharacter(xml) || !xmlPlistWithinLimits(xml, kMaxPlistDepth, kMaxPlistValues)) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_memory(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    return root;
}

}  // namespace

// "&#0;", "&#x00;" and the like, with any number of zeros.
bool holdsNulCharacter(std::string_view xml) {
    if (xml.find('\0') != std::string_view::npos) {
        return true;
    }
    for (std::size_t at = xml.find("&#"); at != std::string_view::npos;
         at = xml.find("&#", at + 2)) {
        std::size_t i = at + 2;
        const bool hex = i < xml.size() && (xml[i] == 'x' || xml[i] == 'X');
        if (hex) {
            ++i;
        }
        const std::size_t digits = i;
        while (i < xml.size() && xml[i] == '0') {
            ++i;
        }
        if (i > digits && i < xml.size() && xml[i] == ';') {
            return true;
        }
    }
    return false;
}

Plist parsePlist(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    plist_t root = nullptr;
    if (!plist_is_binary(bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
        return Plist(parseXmlPlist(bytes));
    }
    if (!binaryPlistWithinLimits(bytes, kMaxPlistDepth, kMaxPlistValues, kMaxPlistTextBytes)) {
        return nullptr;
    }
    // A binary list may hold keys and strings with NUL characters inside; written out as XML
    // and read back with the check above, it either loses them or is refused.
    plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (!root) {
        return nullptr;
    }
    const std::string xml = plistToXml(root);
    plist_free(root);
    if (xml.empty() || xml.size() > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    return Plist(parseXmlPlist(xml));
}

Plist parseXmlPlistElement(std::string_view element) {
    if (element.empty() || element.size() > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_xml(element.data(), static_cast<std::uint32_t>(element.size()), &root);
    return Plist(root);
}

Plist readPlistFile(const std::filesystem::path& hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in) {
        return nullptr;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return parsePlist(content.str());
}

std::string plistToXml(plist_t root) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    std::string out = xml ? std::string(xml, length) : std::string();
    plist_to_xml_free(xml);
    return out;
}

bool writePlistFile(const std::filesystem::path& hostPath, plist_t root) {
    const std::string xml = plistToXml(root);
    const std::string tmp = hostPath.string() + ".tmp." + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < xml.size()) {
        ssize_t n = ::write(fd, xml.data() + done, xml.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return std::rename(tmp.c_str(), hostPath.c_str()) == 0;
}

plist_t dictItem(plist_t dict, const char* key) {
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) {
        return nullptr;
    }
    return plist_dict_get_item(dict, key);
}

std::optional<std::string> stringValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    // By pointer and length: the library's copying getter aborts on a NUL inside the text.
    std::uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    return value ? std::string(value, static_cast<std::size_t>(length)) : std::string();
}

std::optional<bool> boolValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_BOOLEAN) {
        return std::nullopt;
    }
    std::uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

std::optional<std::vector<std::uint8_t>> dataValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_DATA) {
        return std::nullopt;
    }
    char* value = nullptr;
    std::uint64_t length = 0;
    plist_get_data_val(node, &value, &length);
    std::vector<std::uint8_t> out(value, value + length);
    std::free(value);
    return out;
}

std::optional<std::string> stringForKey(plist_t dict, const char* key) {
    return stringValue(dictItem(dict, key));
}

void forEachDictItem(plist_t dict,
                     const std::function<bool(const char* key, plist_t value)>& visit) {
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) {
        return;
    }
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(dict, &iterator);
    while (true) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iterator, &key, &value);
        if (!key) {
            break;
        }
        const bool goOn = visit(key, value);
        std::free(key);
        if (!goOn) {
            break;
        }
    }
    std::free(iterator);
}

}  // namespace vantrel::plist
