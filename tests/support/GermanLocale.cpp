#include "tests/support/GermanLocale.h"

#include <stdlib.h>

#include <string>

#include "tests/support/ProgramRun.h"

namespace vantrel::testsupport {

GermanLocale::GermanLocale() {
    std::string pattern = (std::filesystem::temp_directory_path() / "locale-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        return;
    }
    temporary_ = pattern;
    const auto target = temporary_ / kName;
    // localedef warns about some sources and then exits 1 with the locale written.
    (void)runProgram("/usr/bin/localedef", {"-i", "de_DE", "-f", "UTF-8", target.string()},
                     std::chrono::seconds(60));
    std::error_code ec;
    if (std::filesystem::exists(target / "LC_NUMERIC", ec)) {
        folder_ = temporary_;
    }
}

GermanLocale::~GermanLocale() {
    std::error_code ec;
    if (!temporary_.empty()) {
        std::filesystem::remove_all(temporary_, ec);
    }
}

}  // namespace vantrel::testsupport
