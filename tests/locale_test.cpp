// Numbers in the log are the same in every locale: the window's toolkit takes the caller's
// locale at start, which makes printf write a decimal comma under a German one.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "base/Logging.h"
#include "tests/support/GermanLocale.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using testsupport::GermanLocale;
using testsupport::TempMac;

std::string printed(double number) {
    char text[400];
    std::snprintf(text, sizeof text, "%f", number);
    return text;
}

TEST(NumbersInEveryLocale, AreWrittenWithADecimalPointUnderADecimalCommaLocale) {
    const std::vector<double> numbers = {45.5,
                                         0.0,
                                         -0.0,
                                         100.0,
                                         1234567.125,
                                         2.0 / 3.0,
                                         1e-7,
                                         -1.0,
                                         0.0000005,
                                         1e300,
                                         std::numeric_limits<double>::max(),
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity()};
    std::vector<std::string> inTheCLocale;
    for (double n : numbers) {
        inTheCLocale.push_back(printed(n));
    }

    GermanLocale german;
    if (german.folder().empty()) {
        GTEST_SKIP() << "no German locale can be made here (localedef or its sources missing)";
    }
    TempMac mac;
    mac.useInProcess();
    ::setenv("LOCPATH", german.folder().c_str(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, GermanLocale::kName), nullptr);
    EXPECT_EQ(printed(45.5), "45,500000")
        << "the locale has no decimal comma: the test shows nothing";
    std::vector<std::string> underGerman;
    for (double n : numbers) {
        underGerman.push_back(decimalText(n));
    }
    startosinstallLog().debug("Preparing: %f", 45.5);
    networkingLog().debug("Download: %f", 1234567.125);
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");

    EXPECT_EQ(underGerman, inTheCLocale);
    EXPECT_TRUE(std::isnan(std::nan("")) &&
                decimalText(std::nan("")).find("nan") != std::string::npos);
    EXPECT_TRUE(mac.logged("startosinstall", "Debug", "Preparing: 45.500000"));
    EXPECT_TRUE(mac.logged("networking", "Debug", "Download: 1234567.125000"));
}

}  // namespace
}  // namespace vantrel
