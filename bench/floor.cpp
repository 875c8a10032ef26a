// vantrel-bench-floor: a C++ program that loads the libraries the Vantrel executable loads
// (the C++ runtime, libplist, pugixml) and does nothing else. The "status" benchmark runs it
// to show what any program on these libraries pays before its own first line runs.

#include <plist/plist.h>

#include <pugixml.hpp>

int main() {
    pugi::xml_document document;
    plist_t dictionary = plist_new_dict();
    plist_free(dictionary);
    return document.first_child() ? 1 : 0;  // an empty document: 0
}
