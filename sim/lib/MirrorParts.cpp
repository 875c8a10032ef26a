#include "sim/lib/MirrorParts.h"

#include <cstdio>

namespace vantrel::sim {

namespace fs = std::filesystem;

std::string MirrorRandom::token(std::size_t length) {
    static const char* alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(alphabet[engine_() % 36]);
    }
    return out;
}

std::string MirrorRandom::hex(std::size_t length) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(digits[engine_() % 16]);
    }
    return out;
}

std::string MirrorRandom::productKey() {
    while (true) {
        char key[16];
        std::snprintf(key, sizeof(key), "%03d-%05d", between(1, 99), between(0, 99999));
        if (keys_.insert(key).second) {
            return key;
        }
    }
}

std::string MirrorRandom::postDate() {
    char date[32];
    std::snprintf(date, sizeof(date), "%04d-%02d-%02dT%02d:%02d:%02dZ", between(2015, 2021),
                  between(1, 12), between(1, 28), between(0, 23), between(0, 59), between(0, 59));
    return date;
}

std::string MirrorLayout::productPath(const std::string& key, MirrorRandom& random) const {
    // Two levels of two digits taken from the key spread the products over folders.
    std::string digits;
    for (const char c : key) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        }
    }
    while (digits.size() < 4) {
        digits.push_back('0');
    }
    return "/content/downloads/" + digits.substr(digits.size() - 4, 2) + "/" +
           digits.substr(digits.size() - 2) + "/" + key + "/" + random.token(34) + "/";
}

fs::path MirrorLayout::host(const std::string& urlPath) const {
    return folder_ / fs::path(urlPath).relative_path();
}

}  // namespace vantrel::sim
