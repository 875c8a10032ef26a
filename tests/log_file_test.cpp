// The Mac's log file: each line stamped with the clock the log is given, in UTC to the
// microsecond, whatever time zone the caller left.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <string>

#include "platform/simmac/MacLogFile.h"
#include "tests/mirror_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

class FixedClock final : public platform::Clock {
  public:
    explicit FixedClock(system_clock::time_point at) : at_(at) {}
    system_clock::time_point now() const override { return at_; }
    steady_clock::time_point steadyNow() const override { return {}; }

  private:
    system_clock::time_point at_;
};

TEST(MacLogFileTest, StampsEachLineWithItsClocksTimeInUTC) {
    mirrortest::TempFolder folder("log");
    const platform::MacRoot root(folder.path());
    // 2026-03-04 05:06:07.089012 UTC.
    const auto at = system_clock::time_point(seconds(1772600767)) + microseconds(89012);
    const FixedClock clock(at);
    // Five hours west of UTC: a stamp in local time would read 00:06:07.
    ::setenv("TZ", "XYZ5", 1);
    ::tzset();
    {
        simmac::MacLogFile log(root, clock);
        log.write("com.corvane.vantrel", "main", platform::LogLevel::Error, "first");
        log.write("com.corvane.vantrel", "networking", platform::LogLevel::Debug, "second");
    }
    ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(mirrortest::readText(root.host("/private/var/log/vantrel.log")),
              "2026-03-04 05:06:07.089012 com.corvane.vantrel [main] <Error> first\n"
              "2026-03-04 05:06:07.089012 com.corvane.vantrel [networking] <Debug> second\n");
}

}  // namespace
}  // namespace vantrel
